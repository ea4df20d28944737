// The profile (INI-syntax) grammar, once: a scanner that is fed a file's units block by block and
// stops as soon as its answer is known. Every read of a profile file goes through it.
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

#include "platform/setup_platform.h"
#include "platform/standin/profile_text.h"
#include "platform/standin/wide_text.h"

namespace standin {

inline constexpr std::uint64_t kNoNul = UINT64_MAX;

// A name as it streams past, compared with a query in O(1) memory whatever its length.
struct NameMatch {
  std::uint64_t length = 0;
  std::uint64_t end_nonblank = 0;
  std::uint64_t nul = kNoNul;
  bool same = true;  // equal to the query so far

  void Feed(char16_t unit, std::u16string_view query) {
    if (nul != kNoNul) return;
    if (unit == 0) {
      // A NUL ends the name where it stands, blanks before it included.
      nul = length;
      return;
    }
    if (length < query.size() && FoldAsciiCase(unit) != FoldAsciiCase(query[length])) same = false;
    ++length;
    if (!IsBlank(unit)) end_nonblank = length;
  }
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

// Finds the value of key in the first section named section; writes it, cut to size - 1 units,
// to out.
class Scanner {
 public:
  Scanner(std::u16string_view section, std::u16string_view key, WCHAR* out, DWORD size)
      : section_(section), key_(key), out_(out), size_(size) {}

  // Feeds one block of units.
  void Feed(const Units& units);
  // At the end of the file.
  void End();
  bool done() const { return done_; }

  // The number of units written and whether there was a value.
  DWORD Result(bool* found) const;

 private:
  enum class Phase { kLineStart, kSkipLine, kHeaderName, kKeyName, kValue };

  std::size_t SeekHeader(const Units& units, std::size_t i);
  std::size_t FeedName(const Units& units, std::size_t i);
  void FeedUnit(char16_t unit);
  void StartLine(char16_t unit);
  void CloseHeader();
  void EndKeyName();
  void EndLine();

  std::u16string_view section_;
  std::u16string_view key_;
  WCHAR* out_;
  DWORD size_;

  Phase phase_ = Phase::kLineStart;
  bool in_section_ = false;
  bool done_ = false;
  bool found_ = false;
  DWORD length_ = 0;
  NameMatch name_;
  ValueState value_;
};

}  // namespace standin
