// Reads one value from a profile (INI-syntax) file by Windows' rules, in memory bounded by the
// caller's buffer whatever the size of the file or of its lines.
#include "platform/standin/profile_reader.h"

#include "platform/standin/profile_index.h"
#include "platform/standin/profile_text.h"
#include "platform/standin/wide_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace standin {
namespace {

// Even, so that a full chunk never splits a UTF-16 unit.
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::uint64_t kNoNul = UINT64_MAX;

// Whether a name read from the file equals the query, decided as the units stream past, so that a
// name of any length costs O(1) memory. A NUL unit ends the name.
struct NameMatch {
  std::uint64_t length = 0;
  std::uint64_t end_nonblank = 0;
  std::uint64_t nul = kNoNul;
  bool same = true;

  void Feed(char16_t unit, std::u16string_view query) {
    if (nul != kNoNul) return;
    if (unit == 0) {
      nul = length;
      return;
    }
    if (length < query.size() && FoldAsciiCase(unit) != FoldAsciiCase(query[length])) same = false;
    ++length;
    if (!IsBlank(unit)) end_nonblank = length;
  }

  bool Equals(std::u16string_view query, bool trim_end) const {
    // The NUL counts as text for the trim, so when there is one the cut always falls at it.
    const std::uint64_t effective = nul != kNoNul ? nul : (trim_end ? end_nonblank : length);
    return same && effective == query.size();
  }
};

// The value of the matching key. Only its first `size` units are stored (in the caller's buffer);
// the rest of it is reduced to the few facts the quote decision and the cut depend on.
struct ValueState {
  std::uint64_t length = 0;
  std::uint64_t end_nonblank = 0;
  std::uint64_t nul = kNoNul;
  char16_t first = 0;
  char16_t last_nonblank = 0;
  char16_t last_before_nul = 0;
  char16_t previous = 0;

  void Feed(char16_t unit, WCHAR* out, DWORD size) {
    if (nul != kNoNul) return;
    if (length == 0 && IsBlank(unit)) return;
    if (unit == 0) {
      nul = length;
      last_before_nul = previous;
      return;
    }
    if (length == 0) first = unit;
    if (length < size) out[length] = unit;
    ++length;
    previous = unit;
    if (!IsBlank(unit)) {
      end_nonblank = length;
      last_nonblank = unit;
    }
  }

  // Turns the stored prefix into the returned string; 0 units means the caller's default applies.
  DWORD Finish(WCHAR* out, DWORD size, bool* found) const {
    std::uint64_t count = nul != kNoNul ? nul : end_nonblank;
    const char16_t last = nul != kNoNul ? last_before_nul : last_nonblank;
    std::uint64_t start = 0;
    if (count >= 2 && (first == u'"' || first == u'\'') && last == first) {
      start = 1;
      count -= 2;
    }
    *found = count > 0;
    if (count == 0 || size == 0) return 0;
    if (count > size - 1) count = size - 1;
    std::memmove(out, out + start, static_cast<std::size_t>(count) * sizeof(WCHAR));
    out[count] = 0;
    return static_cast<DWORD>(count);
  }
};

enum class KeyPhase { kIgnore, kName, kValue };

// Walks the decoded units line by line and stops as soon as the answer is known.
class Scanner {
 public:
  Scanner(std::u16string_view section, std::u16string_view key, WCHAR* out, DWORD size)
      : section_(section), key_(key), out_(out), size_(size) {}

  // Reads only the line that starts where feeding starts, as a line of the wanted section.
  static Scanner OneLine(std::u16string_view key, WCHAR* out, DWORD size) {
    Scanner scanner({}, key, out, size);
    scanner.in_section_ = true;
    scanner.one_line_ = true;
    return scanner;
  }

  bool done() const { return done_; }

  void Feed(char16_t unit) {
    if (unit == u'\r' || unit == u'\n') {
      // CRLF is a line end followed by an empty line, which is skipped anyway.
      EndLine();
      return;
    }
    if (line_start_ && !StartLine(unit)) return;
    if (bracket_open_) {
      if (unit == u']') {
        CloseHeader();
        return;
      }
      header_.Feed(unit, section_);
    }
    FeedKey(unit);
  }

  void EndLine() {
    if (!line_start_ && key_phase_ == KeyPhase::kValue) {
      length_ = value_.Finish(out_, size_, &found_);
      done_ = true;
    }
    if (one_line_) done_ = true;
    line_start_ = true;
    bracket_open_ = false;
    key_phase_ = KeyPhase::kIgnore;
  }

  bool key_matched() const { return key_matched_; }

  DWORD Result(bool* found) const {
    *found = found_;
    return found_ ? length_ : 0;
  }

 private:
  // Sets the line up at its first non-blank unit; false when that unit needs no further handling.
  bool StartLine(char16_t unit) {
    if (IsBlank(unit)) return false;
    line_start_ = false;
    if (unit == u';') return false;
    name_ = NameMatch{};
    key_phase_ = in_section_ ? KeyPhase::kName : KeyPhase::kIgnore;
    bracket_open_ = unit == u'[';
    if (!bracket_open_) return true;
    // Without a ']' later on the line the '[' is the first unit of a key name.
    header_ = NameMatch{};
    FeedKey(unit);
    return false;
  }

  void CloseHeader() {
    bracket_open_ = false;
    key_phase_ = KeyPhase::kIgnore;
    if (in_section_) {
      // Only the first section of the name counts: its end settles the answer.
      done_ = true;
      return;
    }
    in_section_ = header_.Equals(section_, false);
  }

  void FeedKey(char16_t unit) {
    if (key_phase_ == KeyPhase::kValue) {
      value_.Feed(unit, out_, size_);
    } else if (key_phase_ == KeyPhase::kName) {
      if (unit != u'=') {
        name_.Feed(unit, key_);
        return;
      }
      key_phase_ = name_.Equals(key_, true) ? KeyPhase::kValue : KeyPhase::kIgnore;
      key_matched_ = key_matched_ || key_phase_ == KeyPhase::kValue;
      value_ = ValueState{};
    }
  }

  std::u16string_view section_;
  std::u16string_view key_;
  WCHAR* out_;
  DWORD size_;
  bool in_section_ = false;
  bool one_line_ = false;
  bool key_matched_ = false;
  bool done_ = false;
  bool found_ = false;
  DWORD length_ = 0;
  bool line_start_ = true;
  bool bracket_open_ = false;
  KeyPhase key_phase_ = KeyPhase::kIgnore;
  NameMatch header_;
  NameMatch name_;
  ValueState value_;
};

void FeedBytes(const unsigned char* bytes, std::size_t count, bool utf16, Scanner* scanner) {
  if (utf16) {
    // An odd byte can only be the file's last; it is not a unit.
    for (std::size_t i = 0; i + 1 < count && !scanner->done(); i += 2) {
      scanner->Feed(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return;
  }
  for (std::size_t i = 0; i < count && !scanner->done(); ++i) {
    scanner->Feed(AnsiUnit(bytes[i]));
  }
}

// Feeds the units from byte `offset` (where a unit starts) to the end or until the scanner is
// done, in small reads: it is used for single lines.
bool ScanFrom(int fd, std::uint64_t offset, bool utf16, Scanner* scanner) {
  constexpr std::size_t kLineChunkBytes = 4096;
  unsigned char chunk[kLineChunkBytes];
  for (;;) {
    const ssize_t got = pread(fd, chunk, kLineChunkBytes, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    FeedBytes(chunk, static_cast<std::size_t>(got), utf16, scanner);
    if (scanner->done()) return true;
    if (got == 0) break;
    offset += static_cast<std::uint64_t>(got);
  }
  scanner->EndLine();
  return true;
}

// False on a read error: a file only partly read is as good as one that could not be read.
bool ScanFile(int fd, unsigned char* chunk, Scanner* scanner) {
  bool first_chunk = true;
  bool utf16 = false;
  for (;;) {
    const ssize_t got = ReadFull(fd, chunk, kChunkBytes);
    if (got < 0) return false;
    std::size_t start = 0;
    if (first_chunk && got >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) {
      utf16 = true;
      start = 2;
    }
    first_chunk = false;
    FeedBytes(chunk + start, static_cast<std::size_t>(got) - start, utf16, scanner);
    if (scanner->done()) return true;
    if (static_cast<std::size_t>(got) < kChunkBytes) break;
  }
  scanner->EndLine();
  return true;
}

}  // namespace

DWORD ReadProfileString(const std::string& path_bytes, std::u16string_view section,
                        std::u16string_view key, WCHAR* out, DWORD size, bool* found,
                        const struct stat* known) {
  bool found_value = false;
  DWORD length = 0;
  if (!ReadIndexedProfileString(path_bytes, known, section, key, out, size, &found_value,
                                &length)) {
    // O_NONBLOCK keeps a FIFO from hanging the open; it is then refused as not a regular file.
    const UniqueFd fd(open(path_bytes.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (fd.get() >= 0 && fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)) {
      const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
      Scanner scanner(section, key, out, size);
      if (chunk && ScanFile(fd.get(), chunk.get(), &scanner)) length = scanner.Result(&found_value);
    }
  }
  if (found != nullptr) *found = found_value;
  return found_value ? length : 0;
}

bool ReadProfileLine(int fd, std::uint64_t offset, bool utf16, std::u16string_view key,
                     WCHAR* out, DWORD size, LineValue* value) {
  Scanner scanner = Scanner::OneLine(key, out, size);
  if (!ScanFrom(fd, offset, utf16, &scanner)) return false;
  value->key_matched = scanner.key_matched();
  value->length = scanner.Result(&value->found);
  return true;
}

}  // namespace standin
