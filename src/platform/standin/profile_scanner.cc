// The profile grammar: one scanner, fed block by block, with two fast paths that only skip units
// the grammar itself says cannot matter.
#include "platform/standin/profile_scanner.h"

#include <cstring>

#include "platform/standin/wide_text.h"

namespace standin {

std::uint32_t HashOfName(std::u16string_view name) {
  NameHash hash;
  for (const char16_t unit : name) hash.Add(unit);
  return hash.value;
}

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

Scanner Scanner::Value(std::u16string_view section, std::u16string_view key, WCHAR* out,
                       DWORD size) {
  return Scanner(section, key, out, size);
}

Scanner Scanner::OneLine(std::u16string_view key, WCHAR* out, DWORD size) {
  Scanner scanner({}, key, out, size);
  scanner.in_section_ = true;
  scanner.one_line_ = true;
  return scanner;
}

Scanner Scanner::Headers(std::vector<LineEntry>* headers, std::size_t limit) {
  Scanner scanner({}, {}, nullptr, 0);
  scanner.headers_ = headers;
  scanner.limit_ = limit;
  scanner.wants_section_ = false;
  return scanner;
}

Scanner Scanner::KeyLines(std::u16string_view section, std::vector<LineEntry>* key_lines,
                          std::size_t limit) {
  Scanner scanner(section, {}, nullptr, 0);
  scanner.key_lines_ = key_lines;
  scanner.limit_ = limit;
  scanner.starts_at_header_ = true;
  return scanner;
}

void Scanner::Feed(const Units& units, std::uint64_t offset) {
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
    FeedUnit(units[i], offset + i * units.width());
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

// Whether the name being read is recorded for the index (hashed) rather than compared.
bool Scanner::NameIsRecorded() const {
  return phase_ == Phase::kHeaderName ? headers_ != nullptr : key_lines_ != nullptr;
}

// The units of a header or key name up to what ends it, in one loop: names are most of what the
// index's passes read unit by unit.
std::size_t Scanner::FeedName(const Units& units, std::size_t i) {
  return NameIsRecorded() ? FeedNameUnits<true>(units, i) : FeedNameUnits<false>(units, i);
}

template <bool kHashed>
std::size_t Scanner::FeedNameUnits(const Units& units, std::size_t i) {
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
    name.Feed<kHashed>(unit, query);
  }
  name_ = name;
  return i;
}

void Scanner::FeedUnit(char16_t unit, std::uint64_t offset) {
  if (IsLineEnd(unit)) {
    // CRLF is a line end followed by an empty line, which is skipped anyway.
    EndLine();
    return;
  }
  switch (phase_) {
    case Phase::kLineStart:
      StartLine(unit, offset);
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
      } else if (key_lines_ != nullptr) {
        name_.Feed<true>(unit, key_);
      } else {
        name_.Feed<false>(unit, key_);
      }
      return;
    case Phase::kValue:
      value_.Feed(unit, out_, size_);
      return;
  }
}

void Scanner::StartLine(char16_t unit, std::uint64_t offset) {
  if (IsBlank(unit)) return;
  line_offset_ = offset;
  name_ = NameMatch{};
  if (unit == u';') {
    phase_ = Phase::kSkipLine;
  } else if (unit == u'[') {
    phase_ = Phase::kHeaderName;
  } else if (!in_section_) {
    phase_ = Phase::kSkipLine;
  } else {
    phase_ = Phase::kKeyName;
    FeedUnit(unit, offset);
  }
}

void Scanner::CloseHeader() {
  if (in_section_) {
    // Only the first section of the name counts: its end settles the answer.
    done_ = true;
    return;
  }
  if (headers_ != nullptr) Record(headers_, name_);
  if (wants_section_ && name_.Equals(section_)) {
    in_section_ = true;
    entered_section_ = true;
  } else if (starts_at_header_) {
    done_ = true;
  }
}

void Scanner::EndKeyName() {
  if (key_lines_ != nullptr) Record(key_lines_, name_);
  if (key_lines_ == nullptr && name_.Equals(key_)) {
    key_matched_ = true;
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
  if (one_line_) done_ = true;
  phase_ = Phase::kLineStart;
}

void Scanner::Record(std::vector<LineEntry>* entries, const NameMatch& name) {
  if (entries->size() >= limit_) {
    overflowed_ = true;
    done_ = true;
    return;
  }
  entries->push_back({name.hash_at_end, static_cast<std::uint32_t>(line_offset_)});
}

void Scanner::End() {
  if (!done_) EndLine();
}

DWORD Scanner::Result(bool* found) const {
  *found = found_;
  return found_ ? length_ : 0;
}

bool ScanFrom(int fd, std::uint64_t offset, bool detect_bom, bool* utf16, Scanner* scanner,
              unsigned char* chunk, std::size_t chunk_bytes) {
  for (bool first = detect_bom;; first = false) {
    const ssize_t got = ReadFullAt(fd, offset, chunk, chunk_bytes);
    if (got < 0) return false;
    const auto bytes = static_cast<std::size_t>(got);
    std::size_t skip = 0;
    if (first) {
      *utf16 = bytes >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE;
      skip = *utf16 ? 2 : 0;
    }
    const std::size_t count = *utf16 ? (bytes - skip) / 2 : bytes - skip;
    scanner->Feed(Units{chunk + skip, count, *utf16}, offset + skip);
    if (scanner->done()) return true;
    if (bytes < chunk_bytes) break;
    offset += bytes;
  }
  scanner->End();
  return true;
}

}  // namespace standin
