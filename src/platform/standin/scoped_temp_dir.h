// Test support: a private directory under /tmp for tests that need real files, removed with them.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include <gtest/gtest.h>

namespace standin_test {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    char pattern[] = "/tmp/standin_test_XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string Child(std::string_view relative) const { return path_ + "/" + std::string(relative); }

  // Writes bytes to the file at relative (parents must exist) and returns its full path.
  std::string Write(std::string_view relative, std::string_view bytes) const {
    const std::string full = Child(relative);
    const int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << full;
    if (fd < 0) return full;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
    }
    close(fd);
    EXPECT_EQ(done, bytes.size()) << full;
    return full;
  }

 private:
  std::string path_;
};

// Bytes of a UTF-16LE file with its byte order mark.
inline std::string Utf16LeFile(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

}  // namespace standin_test
