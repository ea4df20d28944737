// Fuzzes the stand-in's profile reader against a plain whole-file reading of the same rules: for
// any bytes, the scanner, fed the file as it comes, must give the reference's answer, in bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/standin/profile_reader.h"

namespace {

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::u16string Decode(const std::string& bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return text;
  }
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text.push_back(byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
  }
  return text;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Trim(std::u16string s, bool left, bool right) {
  size_t begin = 0, end = s.size();
  while (left && begin < end && IsBlank(s[begin])) ++begin;
  while (right && end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

std::u16string CutAtNul(const std::u16string& s) { return s.substr(0, s.find(u'\0')); }

bool SameIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The value that the rules give for section/key, or an empty string when there is none.
std::u16string Reference(const std::string& bytes, const std::u16string& section,
                         const std::u16string& key) {
  const std::u16string text = Decode(bytes);
  bool in_section = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(u"\r\n", pos);
    if (end == std::u16string::npos) end = text.size();
    const std::u16string line = Trim(text.substr(pos, end - pos), true, true);
    pos = end + 1;
    if (line.empty()) continue;
    if (line[0] == u'[') {
      // The name runs to the first ']', or to the line end when there is none.
      const size_t close = line.find(u']');
      const std::u16string name = line.substr(1, close == std::u16string::npos ? close : close - 1);
      if (in_section) return u"";
      in_section = SameIgnoringAsciiCase(CutAtNul(Trim(name, true, true)), section);
      continue;
    }
    if (line[0] == u';' || !in_section) continue;
    const size_t equals = line.find(u'=');
    if (equals == std::u16string::npos) continue;
    if (!SameIgnoringAsciiCase(CutAtNul(Trim(line.substr(0, equals), false, true)), key)) continue;
    std::u16string value = CutAtNul(Trim(line.substr(equals + 1), true, false));
    if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return u"";
}

const char16_t* const kNames[] = {u"Strings", u"strings", u"Version", u"Signature", u"DESCR1",
                                  u"k", u"K", u"", u"[x", u" k", u"k=v"};

std::u16string PickName(FuzzedDataProvider& data) {
  if (data.ConsumeBool()) return kNames[data.ConsumeIntegralInRange<size_t>(0, 10)];
  std::u16string name;
  for (const char c : data.ConsumeRandomLengthString(8)) name.push_back(static_cast<unsigned char>(c));
  return name;
}

}  // namespace

// One read through the reader, checked against the reference's answer.
void Check(const std::string& path, const std::u16string& section, const std::u16string& key,
           DWORD buffer_size, std::u16string expected) {
  // Exactly buffer_size units, so that AddressSanitizer sees any write past them.
  std::vector<WCHAR> out(buffer_size);
  bool found = false;
  const DWORD count = standin::ReadProfileString(path, section, key, out.data(), buffer_size, &found);
  if (found != !expected.empty()) __builtin_trap();
  if (expected.size() > buffer_size - 1) expected.resize(buffer_size - 1);
  if (count != (found ? expected.size() : 0)) __builtin_trap();
  if (found && (out[count] != 0 || std::u16string(out.data(), count) != expected)) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  const std::u16string section = PickName(data);
  const std::u16string key = PickName(data);
  const std::u16string other_key = PickName(data);
  const DWORD buffer_size = data.PickValueInArray<DWORD>({1, 2, 3, 5, 16, 260});
  const std::string file = data.ConsumeRemainingBytesAsString();

  const int fd = memfd_create("profile", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  const std::u16string value = Reference(file, section, key);
  const std::u16string other_value = Reference(file, section, other_key);
  Check(path, section, key, buffer_size, value);
  Check(path, section, other_key, buffer_size, other_value);
  Check(path, section, key, 260, value);
  close(fd);
  return 0;
}
