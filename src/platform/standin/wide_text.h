// UTF-16 text in the stand-in: lossless conversion to and from file-name bytes, ASCII case folding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace standin {

// Decodes file-system bytes. Valid UTF-8 decodes normally; every byte of an invalid sequence
// becomes the lone surrogate U+DC80 + byte, so that EncodeFileName gives the same bytes back.
std::u16string DecodeFileName(std::string_view bytes);

// Encodes UTF-16 as UTF-8. A lone surrogate U+DC80..U+DCFF turns back into the byte it stands for;
// any other lone surrogate is written as three-byte generalized UTF-8 (WTF-8).
std::string EncodeFileName(std::u16string_view text);

// Windows compares profile, section and INF names ignoring the case of A-Z only.
inline char16_t FoldAsciiCase(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

inline bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
  }
  return true;
}

}  // namespace standin
