// Start-up of the read-only check on Windows: the console C runtime calls wmain. The report goes
// to a console as text, and to a pipe or file (a deployment tool's capture) as UTF-8.
#include <span>
#include <string>

#include "check/staged_package_check.h"

namespace {

class StandardStreams : public CheckOutput {
 public:
  void Out(std::wstring_view text) override { Write(STD_OUTPUT_HANDLE, text); }
  void Err(std::wstring_view text) override { Write(STD_ERROR_HANDLE, text); }

 private:
  static void Write(DWORD which, std::wstring_view text) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD ignored = 0;
    if (GetConsoleMode(handle, &ignored)) {
      WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &ignored, nullptr);
      return;
    }
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), bytes, nullptr, nullptr);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &ignored, nullptr);
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  StandardStreams output;
  const std::span<const PCWSTR> arguments(argv + 1, argc > 1 ? static_cast<size_t>(argc - 1) : 0);
  return RunStagedPackageCheck(arguments, output);
}
