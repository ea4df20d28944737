// How the bytes of a profile file become units, what counts as blank, and an owned file
// descriptor: what the scanner and the reader that feeds it share.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace standin {

// Windows-1252 for 0x80..0x9F; the five bytes it leaves undefined keep their own value.
inline constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The unit of every byte of an ANSI file, so that decoding one is a single load.
struct AnsiUnits {
  char16_t unit[256];
  constexpr AnsiUnits() : unit() {
    for (int byte = 0; byte < 256; ++byte) {
      unit[byte] = byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : static_cast<char16_t>(byte);
    }
  }
};
inline constexpr AnsiUnits kAnsiUnits;

inline bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

inline bool IsLineEnd(char16_t unit) { return unit == u'\r' || unit == u'\n'; }

// The units of one block of a profile file: Windows-1252 bytes, or UTF-16LE pairs when the file
// starts with FF FE. The only place where file bytes are decoded.
struct Units {
  const unsigned char* bytes;
  std::size_t count;  // in units; an odd last byte of a UTF-16 file is not one
  bool utf16;

  std::size_t width() const { return utf16 ? 2 : 1; }

  char16_t operator[](std::size_t i) const {
    if (utf16) return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return kAnsiUnits.unit[bytes[i]];
  }

  // The first unit from i on that is the ASCII character c, or count. Both encodings keep ASCII
  // as the byte itself, so memchr finds the candidates.
  std::size_t Find(char c, std::size_t i) const {
    const unsigned char* at = bytes + i * width();
    const unsigned char* end = bytes + count * width();
    while (at < end) {
      const auto* hit = static_cast<const unsigned char*>(
          std::memchr(at, c, static_cast<std::size_t>(end - at)));
      if (hit == nullptr) return count;
      const auto byte = static_cast<std::size_t>(hit - bytes);
      if (!utf16) return byte;
      if (byte % 2 == 0 && hit[1] == 0) return byte / 2;
      at = hit + 1;
    }
    return count;
  }

  // The first line end from i on, or count; with `or_equals`, the first '=' too.
  std::size_t FindLineEnd(std::size_t i, bool or_equals = false) const {
    const char16_t equals = or_equals ? u'=' : u'\n';
    if (!utf16) {
      while (i < count && bytes[i] != '\r' && bytes[i] != '\n' && bytes[i] != equals) ++i;
      return i;
    }
    for (; i < count; ++i) {
      const char16_t unit = (*this)[i];
      if (IsLineEnd(unit) || unit == equals) return i;
    }
    return i;
  }
};

// Reads at `offset` until `capacity` bytes are in or the file ends; the count read, or -1.
inline ssize_t ReadFullAt(int fd, std::uint64_t offset, unsigned char* buffer,
                          std::size_t capacity) {
  std::size_t filled = 0;
  while (filled < capacity) {
    const ssize_t got = pread(fd, buffer + filled, capacity - filled,
                              static_cast<off_t>(offset + filled));
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
