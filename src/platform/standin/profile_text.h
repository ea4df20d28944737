// What the profile reader and its index share: how bytes become units, what counts as blank, and
// an owned file descriptor.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace standin {

// Windows-1252 for 0x80..0x9F; the five bytes it leaves undefined keep their own value.
inline constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

inline char16_t AnsiUnit(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
}

inline bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

inline bool IsLineEnd(char16_t unit) { return unit == u'\r' || unit == u'\n'; }

// Reads until `capacity` bytes are in or the file ends; the count read, or -1 on an error.
inline ssize_t ReadFull(int fd, unsigned char* buffer, std::size_t capacity) {
  std::size_t filled = 0;
  while (filled < capacity) {
    const ssize_t got = read(fd, buffer + filled, capacity - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(filled);
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace standin
