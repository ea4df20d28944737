// Reads one value from a profile file by scanning the file as it comes.
#include "platform/standin/profile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/standin/profile_scanner.h"
#include "platform/standin/profile_text.h"

namespace standin {
namespace {

// Even, so that a full chunk never splits a UTF-16 unit.
constexpr std::size_t kChunkBytes = 64 * 1024;

// Feeds the file's units to the scanner until it is done or the file ends. False on a read
// error: a file only partly read is as good as one that could not be read.
bool ScanWholeFile(const std::string& path_bytes, Scanner* scanner) {
  // O_NONBLOCK keeps a FIFO from hanging the open; it is then refused as not a regular file.
  const UniqueFd fd(open(path_bytes.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
  if (!chunk) return false;
  bool utf16 = false;
  for (std::uint64_t offset = 0;; ) {
    const ssize_t got = ReadFullAt(fd.get(), offset, chunk.get(), kChunkBytes);
    if (got < 0) return false;
    const auto bytes = static_cast<std::size_t>(got);
    std::size_t skip = 0;
    if (offset == 0) {
      utf16 = bytes >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE;
      skip = utf16 ? 2 : 0;
    }
    const std::size_t count = utf16 ? (bytes - skip) / 2 : bytes - skip;
    scanner->Feed(Units{chunk.get() + skip, count, utf16});
    if (scanner->done()) return true;
    if (bytes < kChunkBytes) break;
    offset += bytes;
  }
  scanner->End();
  return true;
}

}  // namespace

DWORD ReadProfileString(const std::string& path_bytes, std::u16string_view section,
                        std::u16string_view key, WCHAR* out, DWORD size, bool* found) {
  Scanner scanner(section, key, out, size);
  bool found_value = false;
  const DWORD length = ScanWholeFile(path_bytes, &scanner) ? scanner.Result(&found_value) : 0;
  if (found != nullptr) *found = found_value;
  return found_value ? length : 0;
}

}  // namespace standin
