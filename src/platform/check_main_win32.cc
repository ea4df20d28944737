// Start-up of the read-only check on Windows: the console C runtime calls wmain. The report goes
// to a console as text, and to a pipe or file (a deployment tool's capture) as UTF-8.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "check/staged_package_check.h"

namespace {

// UTF-8, but an unpaired surrogate (which NTFS allows in a file name) is written as the three
// bytes UTF-8 gives every other code point of its range, as generalized UTF-8 ("WTF-8") does.
// WideCharToMultiByte would write U+FFFD in its place, and two INF names that differ only there
// would then print alike.
std::string GeneralizedUtf8(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    }
    const auto put = [&](std::uint32_t byte) { bytes.push_back(static_cast<char>(byte)); };
    if (code < 0x80) {
      put(code);
    } else if (code < 0x800) {
      put(0xC0 | (code >> 6));
      put(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      put(0xE0 | (code >> 12));
      put(0x80 | ((code >> 6) & 0x3F));
      put(0x80 | (code & 0x3F));
    } else {
      put(0xF0 | (code >> 18));
      put(0x80 | ((code >> 12) & 0x3F));
      put(0x80 | ((code >> 6) & 0x3F));
      put(0x80 | (code & 0x3F));
    }
  }
  return bytes;
}

// A console takes UTF-16 as it is; WriteConsoleW is given modest pieces, which every console
// version accepts.
bool WriteToConsole(HANDLE console, std::wstring_view text) {
  while (!text.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size(), 8192));
    DWORD written = 0;
    if (!WriteConsoleW(console, text.data(), piece, &written, nullptr) || written == 0) return false;
    text.remove_prefix(written);
  }
  return true;
}

bool WriteToFile(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), piece, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// False when the text did not all reach the handle: there is none (a closed standard output), or
// the write was refused (a full disk, a handle opened for reading, a closed pipe).
bool Write(DWORD which, std::wstring_view text) {
  if (text.empty()) return true;
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) return WriteToConsole(handle, text);
  return WriteToFile(handle, GeneralizedUtf8(text));
}

class StandardStreams : public CheckOutput {
 public:
  bool Out(std::wstring_view text) override { return Write(STD_OUTPUT_HANDLE, text); }
  void Err(std::wstring_view text) override { Write(STD_ERROR_HANDLE, text); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  StandardStreams output;
  const std::span<const PCWSTR> arguments(argv + 1, argc > 1 ? static_cast<size_t>(argc - 1) : 0);
  return RunStagedPackageCheck(arguments, output);
}
