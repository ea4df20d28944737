// The profile (INI-syntax) grammar, once: a scanner that is fed a file's units block by block and
// stops as soon as its answer is known. Every read of a profile file goes through it, whether the
// file is read as it comes or the index has found where to start.
//
// The rules, as Windows reads a profile:
// - Lines end at CR or LF. Blanks (space, tab) at the start of a line are skipped.
// - A line whose first unit is ';' is a comment.
// - A line whose first unit is '[' is a section header. Its name runs to the first ']' or, when
//   there is none, to the line end; blanks around it are dropped, and a NUL ends it. Text after
//   the ']' is ignored.
// - Any other line is a key line when it has an '=': the name before it (trailing blanks dropped,
//   cut at a NUL), the value after it (leading and trailing blanks dropped, cut at a NUL, then
//   one pair of matching enclosing quotes removed).
// - Section and key names compare ignoring the case of A-Z only. Only the first section of a name
//   counts, and in it only the first key line of a name, even when its value is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/setup_platform.h"
#include "platform/standin/profile_text.h"
#include "platform/standin/wide_text.h"

namespace standin {

inline constexpr std::uint64_t kNoNul = UINT64_MAX;

// FNV-1a over the ASCII-folded units of a name, so that names that compare equal hash alike.
struct NameHash {
  std::uint32_t value = 2166136261u;
  void Add(char16_t unit) { value = (value ^ FoldAsciiCase(unit)) * 16777619u; }
};

std::uint32_t HashOfName(std::u16string_view name);

// Where a header or key line starts in the file (its first non-blank unit), under the hash of its
// name as the grammar reads it.
struct LineEntry {
  std::uint32_t hash;
  std::uint32_t offset;
};

// A name as it streams past, in O(1) memory whatever its length: either compared with a query,
// or hashed for the index (a name that the index records is never compared, and the other way
// round, so each costs only what it needs).
struct NameMatch {
  std::uint64_t length = 0;
  std::uint64_t end_nonblank = 0;
  std::uint64_t nul = kNoNul;
  bool same = true;                               // compared: equal to the query so far
  NameHash hash;                                  // hashed: of every unit so far
  std::uint32_t hash_at_end = NameHash{}.value;  // hashed: of the name as it will be compared

  template <bool kHashed>
  void Feed(char16_t unit, std::u16string_view query) {
    if (nul != kNoNul) return;
    if (unit == 0) {
      // A NUL ends the name where it stands, blanks before it included.
      nul = length;
      hash_at_end = hash.value;
      return;
    }
    if constexpr (kHashed) {
      hash.Add(unit);
    } else if (length < query.size() && FoldAsciiCase(unit) != FoldAsciiCase(query[length])) {
      same = false;
    }
    ++length;
    if (!IsBlank(unit)) {
      end_nonblank = length;
      if constexpr (kHashed) hash_at_end = hash.value;
    }
  }
  // For a compared name.
  bool Equals(std::u16string_view query) const;
};

// The value of the asked key. Only its first `size` units are stored (in the caller's buffer);
// the rest of it is reduced to the few facts that the quote decision and the cut depend on.
struct ValueState {
  std::uint64_t length = 0;
  std::uint64_t end_nonblank = 0;
  std::uint64_t nul = kNoNul;
  char16_t first = 0;
  char16_t last_nonblank = 0;
  char16_t last_before_nul = 0;
  char16_t previous = 0;

  void Feed(char16_t unit, WCHAR* out, DWORD size);
  // Turns the stored prefix into the returned string; 0 units means there is no value.
  DWORD Finish(WCHAR* out, DWORD size, bool* found) const;
};

class Scanner {
 public:
  // Finds the value of key in the first section named section; writes it, cut to size - 1 units,
  // to out.
  static Scanner Value(std::u16string_view section, std::u16string_view key, WCHAR* out,
                       DWORD size);
  // Reads only the line that starts where feeding starts, as a line of the asked section.
  static Scanner OneLine(std::u16string_view key, WCHAR* out, DWORD size);
  // Records every section header of the file, in file order, up to `limit` of them.
  static Scanner Headers(std::vector<LineEntry>* headers, std::size_t limit);
  // Fed from a header onwards: checks that the header names section, then records each key line
  // of the section up to the next header, up to `limit` of them.
  static Scanner KeyLines(std::u16string_view section, std::vector<LineEntry>* key_lines,
                          std::size_t limit);

  // Feeds one block of units; `offset` is the file offset of its first unit.
  void Feed(const Units& units, std::uint64_t offset);
  // At the end of the file.
  void End();
  bool done() const { return done_; }

  // Value and OneLine: the number of units written and whether there was a value.
  DWORD Result(bool* found) const;
  // OneLine: whether the line is a key line of the asked key (its value may still be empty).
  bool key_matched() const { return key_matched_; }
  // KeyLines: whether the header was the asked one; Headers and KeyLines: whether every line
  // found fit under the limit.
  bool entered_section() const { return entered_section_; }
  bool complete() const { return !overflowed_; }

 private:
  enum class Phase { kLineStart, kSkipLine, kHeaderName, kKeyName, kValue };

  Scanner(std::u16string_view section, std::u16string_view key, WCHAR* out, DWORD size)
      : section_(section), key_(key), out_(out), size_(size) {}

  std::size_t SeekHeader(const Units& units, std::size_t i);
  std::size_t FeedName(const Units& units, std::size_t i);
  template <bool kHashed>
  std::size_t FeedNameUnits(const Units& units, std::size_t i);
  bool NameIsRecorded() const;
  void FeedUnit(char16_t unit, std::uint64_t offset);
  void StartLine(char16_t unit, std::uint64_t offset);
  void CloseHeader();
  void EndKeyName();
  void EndLine();
  void Record(std::vector<LineEntry>* entries, const NameMatch& name);

  std::u16string_view section_;
  std::u16string_view key_;
  WCHAR* out_;
  DWORD size_;
  std::vector<LineEntry>* headers_ = nullptr;
  std::vector<LineEntry>* key_lines_ = nullptr;
  std::size_t limit_ = 0;
  bool wants_section_ = true;   // Headers never enters a section
  bool starts_at_header_ = false;
  bool one_line_ = false;

  Phase phase_ = Phase::kLineStart;
  bool in_section_ = false;
  bool entered_section_ = false;
  bool key_matched_ = false;
  bool overflowed_ = false;
  bool done_ = false;
  bool found_ = false;
  DWORD length_ = 0;
  std::uint64_t line_offset_ = 0;
  NameMatch name_;
  ValueState value_;
};

// Feeds the units of fd from byte `offset` (where a unit starts) until the scanner is done or the
// file ends, through `chunk` (an even number of bytes). With `detect_bom`, offset must be 0 and
// the encoding is taken from the file's first two bytes and reported in *utf16. False on a read
// error: a file only partly read is as good as one that could not be read.
bool ScanFrom(int fd, std::uint64_t offset, bool detect_bom, bool* utf16, Scanner* scanner,
              unsigned char* chunk, std::size_t chunk_bytes);

}  // namespace standin
