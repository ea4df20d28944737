// INF file bytes and text for the tests' fixtures.
#include "file_text.h"

#include <cstdint>
#include <stdexcept>

namespace {

void PutUnit(std::uint32_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

// The code point of the well-formed sequence at utf8[*at], advancing *at past it.
std::uint32_t NextCodePoint(std::string_view utf8, std::size_t* at) {
  const auto lead = static_cast<unsigned char>(utf8[*at]);
  std::size_t length = 1;
  std::uint32_t value = lead;
  std::uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else if (lead >= 0x80) {
    throw std::invalid_argument("malformed UTF-8: a byte that starts no sequence");
  }
  if (utf8.size() - *at < length) throw std::invalid_argument("malformed UTF-8: cut short");
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(utf8[*at + i]);
    if ((next & 0xC0) != 0x80) throw std::invalid_argument("malformed UTF-8: missing continuation");
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    throw std::invalid_argument("malformed UTF-8: overlong, surrogate or out of range");
  }
  *at += length;
  return value;
}

}  // namespace

std::string Utf16LeFile(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (const char16_t unit : text) PutUnit(unit, &out);
  return out;
}

std::string Utf16LeFile(std::string_view utf8) {
  std::string out = "\xFF\xFE";
  for (std::size_t at = 0; at < utf8.size();) {
    const std::uint32_t code_point = NextCodePoint(utf8, &at);
    if (code_point >= 0x10000) {
      PutUnit(0xD800 + ((code_point - 0x10000) >> 10), &out);
      PutUnit(0xDC00 + ((code_point - 0x10000) & 0x3FF), &out);
    } else {
      PutUnit(code_point, &out);
    }
  }
  return out;
}

std::u16string FileUnits(std::string_view bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
  }
  for (const char byte : bytes) text.push_back(static_cast<unsigned char>(byte));
  return text;
}

std::string AnsiFile(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (const char16_t unit : text) bytes.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
  return bytes;
}

std::vector<std::u16string> SplitLines(std::u16string_view text) {
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of(u"\r\n", start);
    if (end == std::u16string_view::npos) end = text.size();
    lines.emplace_back(text.substr(start, end - start));
    start = end + (end + 1 < text.size() && text[end] == u'\r' && text[end + 1] == u'\n' ? 2 : 1);
  }
  return lines;
}
