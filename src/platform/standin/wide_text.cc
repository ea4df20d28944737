// Lossless conversion between the seam's UTF-16 text and the bytes of Linux file names.
#include "platform/standin/wide_text.h"

#include <cstddef>
#include <cstdint>

namespace standin {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;
constexpr char16_t kEscapeFirst = 0xDC80;
constexpr char16_t kEscapeLast = 0xDCFF;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at bytes[at], with its code point; 0 when the bytes
// there are not one (stray continuation, overlong form, surrogate, beyond U+10FFFF, or cut short).
std::size_t DecodeSequence(std::string_view bytes, std::size_t at, char32_t* code_point) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[at + i]);
    if (!IsContinuation(next)) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  // Encoded surrogates are escaped byte by byte, or they could not be told apart from escapes.
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

void AppendCodePoint(char32_t value, std::u16string* out) {
  if (value < 0x10000) {
    out->push_back(static_cast<char16_t>(value));
    return;
  }
  const char32_t offset = value - 0x10000;
  out->push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
  out->push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
}

void AppendUtf8(char32_t value, std::string* out) {
  if (value < 0x80) {
    out->push_back(static_cast<char>(value));
  } else if (value < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (value >> 6)));
    out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else if (value < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (value >> 12)));
    out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (value >> 18)));
    out->push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::u16string DecodeFileName(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    char32_t value = 0;
    std::size_t length = byte < 0x80 ? 1 : DecodeSequence(bytes, at, &value);
    if (byte < 0x80) {
      out.push_back(byte);
    } else if (length == 0) {
      out.push_back(static_cast<char16_t>(kEscapeBase + byte));
      length = 1;
    } else {
      AppendCodePoint(value, &out);
    }
    at += length;
  }
  return out;
}

std::string EncodeFileName(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      const char32_t high = unit - 0xD800u;
      const char32_t low = text[i + 1] - 0xDC00u;
      AppendUtf8(0x10000 + ((high << 10) | low), &out);
      ++i;
    } else if (unit >= kEscapeFirst && unit <= kEscapeLast) {
      out.push_back(static_cast<char>(unit - kEscapeBase));
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

}  // namespace standin
