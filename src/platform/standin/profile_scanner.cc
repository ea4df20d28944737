// The profile grammar: one scanner, fed block by block, with fast paths that only skip units the
// grammar itself says cannot matter.
#include "platform/standin/profile_scanner.h"

#include <cstring>

#include "platform/standin/wide_text.h"

namespace standin {

bool NameMatch::Equals(std::u16string_view query) const {
  const std::uint64_t effective = nul != kNoNul ? nul : end_nonblank;
  return same && effective == query.size();
}

void ValueState::Feed(char16_t unit, WCHAR* out, DWORD size) {
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

DWORD ValueState::Finish(WCHAR* out, DWORD size, bool* found) const {
  // The trim comes first and the NUL cut after it, so blanks before a NUL stay; the quotes are
  // judged on what is left.
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

void Scanner::Feed(const Units& units) {
  std::size_t i = 0;
  while (i < units.count && !done_) {
    if (!in_section_ && (phase_ == Phase::kLineStart || phase_ == Phase::kSkipLine)) {
      i = SeekHeader(units, i);
    } else if (phase_ == Phase::kSkipLine || (phase_ == Phase::kValue && value_.nul != kNoNul)) {
      // Nothing before the line end matters: the line is of no interest, or a NUL has settled
      // the value.
      i = units.FindLineEnd(i);
    } else if (phase_ == Phase::kKeyName && name_.nul != kNoNul) {
      // A NUL has settled the name; only where it ends matters.
      i = units.FindLineEnd(i, true);
    } else if (phase_ == Phase::kHeaderName || phase_ == Phase::kKeyName) {
      i = FeedName(units, i);
    }
    if (i == units.count) break;
    FeedUnit(units[i]);
    ++i;
  }
}

// Outside the asked section only header lines matter, so the scan jumps from '[' to '[' and keeps
// the first that starts a line (only blanks between it and the last line end). Returns its index
// with the phase at a line start, or the block's end with the phase that holds there.
std::size_t Scanner::SeekHeader(const Units& units, std::size_t i) {
  for (;;) {
    const std::size_t bracket = units.Find('[', i);
    std::size_t k = bracket;
    while (k > i && IsBlank(units[k - 1])) --k;
    const bool at_line_start = k == i ? phase_ == Phase::kLineStart : IsLineEnd(units[k - 1]);
    phase_ = at_line_start ? Phase::kLineStart : Phase::kSkipLine;
    if (bracket == units.count || at_line_start) return bracket;
    i = bracket + 1;
  }
}

// The units of a header or key name up to what ends it, in one loop: names are most of what a
// scan reads unit by unit.
std::size_t Scanner::FeedName(const Units& units, std::size_t i) {
  const bool header = phase_ == Phase::kHeaderName;
  const char16_t end = header ? u']' : u'=';
  const std::u16string_view query = header ? section_ : key_;
  // Local copies: the file's bytes may alias anything, so members would be stored and reloaded
  // at every unit.
  const Units view = units;
  NameMatch name = name_;
  for (; i < view.count; ++i) {
    const char16_t unit = view[i];
    if (unit == end || IsLineEnd(unit)) break;
    // Blanks inside the brackets before the name are not part of it.
    if (header && name.length == 0 && name.nul == kNoNul && IsBlank(unit)) continue;
    name.Feed(unit, query);
  }
  name_ = name;
  return i;
}

void Scanner::FeedUnit(char16_t unit) {
  if (IsLineEnd(unit)) {
    // CRLF is a line end followed by an empty line, which is skipped anyway.
    EndLine();
    return;
  }
  switch (phase_) {
    case Phase::kLineStart:
      StartLine(unit);
      return;
    case Phase::kSkipLine:
      return;
    case Phase::kHeaderName:
      // FeedName has taken the name; what comes here is the ']' that ends it.
      CloseHeader();
      phase_ = Phase::kSkipLine;
      return;
    case Phase::kKeyName:
      // The '=' that ends the name, or its first unit, from StartLine; FeedName takes the rest.
      if (unit == u'=') {
        EndKeyName();
      } else {
        name_.Feed(unit, key_);
      }
      return;
    case Phase::kValue:
      value_.Feed(unit, out_, size_);
      return;
  }
}

void Scanner::StartLine(char16_t unit) {
  if (IsBlank(unit)) return;
  name_ = NameMatch{};
  if (unit == u';') {
    phase_ = Phase::kSkipLine;
  } else if (unit == u'[') {
    phase_ = Phase::kHeaderName;
  } else if (!in_section_) {
    phase_ = Phase::kSkipLine;
  } else {
    phase_ = Phase::kKeyName;
    FeedUnit(unit);
  }
}

void Scanner::CloseHeader() {
  if (in_section_) {
    // Only the first section of the name counts: its end settles the answer.
    done_ = true;
    return;
  }
  if (name_.Equals(section_)) in_section_ = true;
}

void Scanner::EndKeyName() {
  if (name_.Equals(key_)) {
    value_ = ValueState{};
    phase_ = Phase::kValue;
  } else {
    phase_ = Phase::kSkipLine;
  }
}

void Scanner::EndLine() {
  if (phase_ == Phase::kHeaderName) {
    // Without a ']' the name runs to the line end.
    CloseHeader();
  } else if (phase_ == Phase::kValue) {
    length_ = value_.Finish(out_, size_, &found_);
    done_ = true;
  }
  phase_ = Phase::kLineStart;
}

void Scanner::End() {
  if (!done_) EndLine();
}

DWORD Scanner::Result(bool* found) const {
  *found = found_;
  return found_ ? length_ : 0;
}

}  // namespace standin
