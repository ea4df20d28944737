// The seam's uninstall for the Linux build: only oem<N>.inf files in $WINDIR/inf, with their .pnf.
// Only the removal executable links it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/setup_platform.h"
#include "platform/standin/standin_files.h"
#include "platform/standin/wide_text.h"

namespace platform {
namespace {

using standin::InfDirectoryBytes;
using standin::UniqueDir;

constexpr std::u16string_view kInfExtension = u".inf";
constexpr std::u16string_view kPnfExtension = u".pnf";
constexpr std::u16string_view kOemPrefix = u"oem";

bool EndsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() &&
         standin::EqualsIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

bool IsOemInfName(std::u16string_view name) {
  if (name.size() <= kOemPrefix.size() + kInfExtension.size()) return false;
  const std::u16string_view digits =
      name.substr(kOemPrefix.size(), name.size() - kOemPrefix.size() - kInfExtension.size());
  return standin::EqualsIgnoringAsciiCase(name.substr(0, kOemPrefix.size()), kOemPrefix) &&
         EndsWithIgnoringAsciiCase(name, kInfExtension) &&
         std::all_of(digits.begin(), digits.end(),
                     [](char16_t unit) { return unit >= u'0' && unit <= u'9'; });
}

// Deletes every entry spelled like stem + ".pnf" in any ASCII case; a missing twin is no failure.
void RemovePnfTwins(const std::string& dir_path, std::u16string_view stem) {
  const UniqueDir dir(opendir(dir_path.c_str()));
  if (!dir) return;
  const std::u16string twin = std::u16string(stem) + std::u16string(kPnfExtension);
  std::vector<std::string> matches;
  while (const dirent* entry = readdir(dir.get())) {
    if (standin::EqualsIgnoringAsciiCase(standin::DecodeFileName(entry->d_name), twin)) {
      matches.emplace_back(entry->d_name);
    }
  }
  for (const std::string& name : matches) unlinkat(dirfd(dir.get()), name.c_str(), 0);
}

bool RemoveOemInf(const std::string& dir_path, std::u16string_view name) {
  const std::string name_bytes = standin::EncodeFileName(name);
  const std::string path = dir_path + "/" + name_bytes;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // Windows will not delete a read-only file, and neither does uninstalling.
  if ((info.st_mode & 0222) == 0) return false;
  if (unlink(path.c_str()) != 0) return false;
  RemovePnfTwins(dir_path, name.substr(0, name.size() - kInfExtension.size()));
  return true;
}

}  // namespace

BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
  static_cast<void>(Flags);
  try {
    if (Reserved != nullptr || InfFileName == nullptr) return FALSE;
    const std::u16string_view name(InfFileName);
    std::string dir_path;
    if (!IsOemInfName(name) || !InfDirectoryBytes(&dir_path)) return FALSE;
    return RemoveOemInf(dir_path, name) ? TRUE : FALSE;
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
}

}  // namespace platform
