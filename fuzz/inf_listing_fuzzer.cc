// Fuzzes the stand-in's listing over a directory of fuzzed entries: the list must be well formed,
// exactly as long as measured, sorted, and name exactly the .inf files whose signature is known.
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/setup_platform.h"
#include "platform/standin/wide_text.h"

namespace fs = std::filesystem;

namespace {

const char* const kNames[] = {"a.inf", "B.INF", "oem1.inf", "oem2.Inf", "x.txt", "inf",
                              "\xC3\xA4.inf", "\xFF.inf", ".inf", "z.inf"};

const std::string& Directory() {
  static const std::string directory = [] {
    std::string pattern = "/dev/shm/spr-listing-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return directory;
}

bool KnownSignature(const std::u16string& path) {
  WCHAR value[64];
  const DWORD count = platform::GetPrivateProfileStringW(u"Version", u"Signature", u"", value, 64,
                                                         path.c_str());
  const std::u16string signature(value, count);
  return standin::EqualsIgnoringAsciiCase(signature, u"$Windows NT$") ||
         standin::EqualsIgnoringAsciiCase(signature, u"$Chicago$");
}

bool ShouldBeListed(const fs::path& entry) {
  const std::string name = entry.filename().string();
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
  std::error_code error;
  return extension == ".inf" && fs::is_regular_file(entry, error) &&
         KnownSignature(standin::DecodeFileName(entry.string()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  const fs::path directory = Directory();
  for (const auto& entry : fs::directory_iterator(directory)) fs::remove_all(entry.path());

  const size_t count = data.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count; ++i) {
    const fs::path path = directory / data.PickValueInArray(kNames);
    std::error_code ignored;
    switch (data.ConsumeIntegralInRange(0, 5)) {
      case 0: fs::create_directory(path, ignored); break;
      case 1: fs::create_symlink("missing.inf", path, ignored); break;
      case 2: fs::create_symlink("oem1.inf", path, ignored); break;
      default: std::ofstream(path, std::ios::binary) << data.ConsumeRandomLengthString(400);
    }
  }
  const std::u16string directory16 = standin::DecodeFileName(directory.string());

  DWORD required = 0;
  if (!platform::SetupGetInfFileListW(directory16.c_str(), INF_STYLE_WIN4, nullptr, 0, &required)) __builtin_trap();
  if (required == 0) __builtin_trap();
  std::vector<WCHAR> list(required, u'#');
  if (required > 1 && platform::SetupGetInfFileListW(directory16.c_str(), INF_STYLE_WIN4, list.data(), required - 1, &required)) __builtin_trap();
  if (std::count(list.begin(), list.end(), u'#') != static_cast<long>(list.size())) __builtin_trap();
  DWORD filled = 0;
  if (!platform::SetupGetInfFileListW(directory16.c_str(), INF_STYLE_WIN4, list.data(), required, &filled)) __builtin_trap();
  if (filled != required || list.back() != 0) __builtin_trap();

  std::vector<std::u16string> listed;
  for (size_t at = 0; list[at] != 0;) {
    listed.emplace_back(list.data() + at);
    at += listed.back().size() + 1;
    if (at >= list.size()) __builtin_trap();
  }
  for (size_t i = 1; i < listed.size(); ++i) {
    std::u16string a = listed[i - 1], b = listed[i];
    for (auto* s : {&a, &b}) for (auto& c : *s) c = standin::FoldAsciiCase(c);
    if (b < a) __builtin_trap();
  }
  size_t expected = 0;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const bool should = ShouldBeListed(entry.path());
    const std::u16string name = standin::DecodeFileName(entry.path().filename().string());
    const bool is_listed = std::find(listed.begin(), listed.end(), name) != listed.end();
    if (should != is_listed) __builtin_trap();
    expected += should ? 1 : 0;
  }
  if (expected != listed.size()) __builtin_trap();
  return 0;
}
