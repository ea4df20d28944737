// Reads one value from a profile file: from the index where it may answer, else by scanning the
// file as it comes.
#include "platform/standin/profile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <new>

#include "platform/standin/profile_index.h"
#include "platform/standin/profile_scanner.h"
#include "platform/standin/profile_text.h"

namespace standin {
namespace {

// Even, so that a full chunk never splits a UTF-16 unit.
constexpr std::size_t kChunkBytes = 64 * 1024;

bool ScanWholeFile(const std::string& path_bytes, Scanner* scanner) {
  // O_NONBLOCK keeps a FIFO from hanging the open; it is then refused as not a regular file.
  const UniqueFd fd(open(path_bytes.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
  bool utf16 = false;
  return chunk && ScanFrom(fd.get(), 0, true, &utf16, scanner, chunk.get(), kChunkBytes);
}

}  // namespace

DWORD ReadProfileString(const std::string& path_bytes, std::u16string_view section,
                        std::u16string_view key, WCHAR* out, DWORD size, bool* found,
                        const struct stat* known) {
  bool found_value = false;
  DWORD length = 0;
  if (!ReadIndexedProfileString(path_bytes, known, section, key, out, size, &found_value,
                                &length)) {
    Scanner scanner = Scanner::Value(section, key, out, size);
    length = ScanWholeFile(path_bytes, &scanner) ? scanner.Result(&found_value) : 0;
  }
  if (found != nullptr) *found = found_value;
  return found_value ? length : 0;
}

}  // namespace standin
