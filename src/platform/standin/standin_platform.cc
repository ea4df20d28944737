// The seam for the Linux build: the Windows directory is $WINDIR and its INF directory $WINDIR/inf.
// The uninstall is in standin_uninstall.cc, so that the read-only check can link all of this
// without it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/setup_platform.h"
#include "platform/standin/profile_reader.h"
#include "platform/standin/standin_files.h"
#include "platform/standin/wide_text.h"

namespace platform {
namespace {

using standin::InfDirectoryBytes;
using standin::UniqueDir;
using standin::WindowsDirectoryBytes;

constexpr std::u16string_view kSignatures[] = {u"$Windows NT$", u"$Chicago$"};
// Long enough for every accepted signature plus one unit, so a longer value cannot pass as equal.
constexpr DWORD kSignatureBuffer = 16;

std::u16string_view View(PCWSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

// The seam promises no order of the listing. A fixed one keeps runs repeatable whatever order the
// directory gives: ASCII case ignored first, raw units to break ties.
bool ListingOrder(const std::u16string& a, const std::u16string& b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const char16_t x = standin::FoldAsciiCase(a[i]);
    const char16_t y = standin::FoldAsciiCase(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// ".inf" is ASCII, and ASCII bytes decode to themselves, so the test needs no decoding.
bool HasInfExtension(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'i' && (tail[2] | 0x20) == 'n' &&
         (tail[3] | 0x20) == 'f';
}

bool HasKnownSignature(const std::string& path) {
  std::array<WCHAR, kSignatureBuffer> value{};
  bool found = false;
  const DWORD length = standin::ReadProfileString(path, u"Version", u"Signature", value.data(),
                                                  kSignatureBuffer, &found);
  const std::u16string_view signature(value.data(), found ? length : 0);
  return std::any_of(std::begin(kSignatures), std::end(kSignatures),
                     [&](std::u16string_view known) {
                       return standin::EqualsIgnoringAsciiCase(signature, known);
                     });
}

bool IsListedInf(int dir_fd, const std::string& dir_path, const char* name) {
  if (!HasInfExtension(name)) return false;
  struct stat info {};
  if (fstatat(dir_fd, name, &info, 0) != 0 || !S_ISREG(info.st_mode)) return false;
  return HasKnownSignature(dir_path + "/" + name);
}

enum class Listing { kListed, kFailed };

Listing CollectInfNames(const std::string& dir_path, std::vector<std::u16string>* names) {
  const UniqueDir dir(opendir(dir_path.c_str()));
  // Windows reports a missing INF directory as an empty list, not as an error.
  if (!dir) return errno == ENOENT ? Listing::kListed : Listing::kFailed;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) return errno == 0 ? Listing::kListed : Listing::kFailed;
    if (IsListedInf(dirfd(dir.get()), dir_path, entry->d_name)) {
      names->push_back(standin::DecodeFileName(entry->d_name));
    }
  }
}

BOOL WriteMultiString(const std::vector<std::u16string>& names, PWSTR buffer, DWORD buffer_size,
                      PDWORD required_size) {
  std::uint64_t total = 1;
  for (const std::u16string& name : names) total += name.size() + 1;
  if (total > UINT32_MAX) return FALSE;
  if (required_size != nullptr) *required_size = static_cast<DWORD>(total);
  if (buffer == nullptr) return buffer_size == 0 ? TRUE : FALSE;
  if (buffer_size < total) return FALSE;
  for (const std::u16string& name : names) {
    buffer = std::copy(name.begin(), name.end(), buffer);
    *buffer++ = 0;
  }
  *buffer = 0;
  return TRUE;
}

// Copies text cut to size - 1 units and a terminator; returns the units copied.
DWORD CopyCut(std::u16string_view text, LPWSTR out, DWORD size) {
  if (size == 0) return 0;
  const std::size_t count = std::min<std::size_t>(text.size(), size - 1);
  std::copy_n(text.begin(), count, out);
  out[count] = 0;
  return static_cast<DWORD>(count);
}

bool ResolveProfilePath(LPCWSTR file_name, std::string* path) {
  *path = standin::EncodeFileName(View(file_name));
  if (path->empty()) return false;
  if (path->front() == '/') return true;
  // Windows looks for a profile named without a full path in the Windows directory.
  std::string windows;
  if (!WindowsDirectoryBytes(&windows)) return false;
  if (windows.back() != '/') windows.push_back('/');
  *path = windows + *path;
  return true;
}

}  // namespace

BOOL SetupGetInfFileListW(PCWSTR DirectoryPath, DWORD InfStyle, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize) {
  try {
    if (InfStyle != INF_STYLE_WIN4) return FALSE;
    std::string dir_path;
    if (DirectoryPath != nullptr) {
      dir_path = standin::EncodeFileName(DirectoryPath);
    } else if (!InfDirectoryBytes(&dir_path)) {
      return FALSE;
    }
    std::vector<std::u16string> names;
    if (CollectInfNames(dir_path, &names) == Listing::kFailed) return FALSE;
    std::sort(names.begin(), names.end(), ListingOrder);
    return WriteMultiString(names, ReturnBuffer, ReturnBufferSize, RequiredSize);
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  try {
    std::string bytes;
    if (!WindowsDirectoryBytes(&bytes)) return 0;
    const std::u16string directory = standin::DecodeFileName(bytes);
    if (directory.size() >= UINT32_MAX) return 0;
    const UINT length = static_cast<UINT>(directory.size());
    if (lpBuffer == nullptr || uSize <= length) return length + 1;
    std::copy(directory.begin(), directory.end(), lpBuffer);
    lpBuffer[length] = 0;
    return length;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

LPWSTR PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
  if (pszDest == nullptr) return nullptr;
  const std::u16string_view dir = View(pszDir);
  const std::u16string_view file = View(pszFile);
  const bool separator = !dir.empty() && !file.empty() && dir.back() != u'/';
  const std::size_t length = dir.size() + (separator ? 1 : 0) + file.size();
  if ((pszDir == nullptr && pszFile == nullptr) || length + 1 > MAX_PATH) {
    pszDest[0] = 0;
    return nullptr;
  }
  // Built aside first: callers commonly pass their directory buffer as pszDest too.
  std::array<WCHAR, MAX_PATH> joined{};
  WCHAR* end = std::copy(dir.begin(), dir.end(), joined.begin());
  if (separator) *end++ = u'/';
  end = std::copy(file.begin(), file.end(), end);
  *end = 0;
  std::copy_n(joined.begin(), length + 1, pszDest);
  return pszDest;
}

DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
  try {
    if (lpAppName == nullptr || lpKeyName == nullptr) return CopyCut(u"", lpReturnedString, nSize);
    std::string path;
    bool found = false;
    DWORD length = 0;
    if (ResolveProfilePath(lpFileName, &path)) {
      length = standin::ReadProfileString(path, lpAppName, lpKeyName, lpReturnedString, nSize,
                                          &found);
    }
    if (found) return length;
    std::u16string_view fallback = View(lpDefault);
    // Windows documents that trailing blanks of the default are dropped.
    while (!fallback.empty() && (fallback.back() == u' ' || fallback.back() == u'\t')) {
      fallback.remove_suffix(1);
    }
    return CopyCut(fallback, lpReturnedString, nSize);
  } catch (const std::bad_alloc&) {
    return CopyCut(u"", lpReturnedString, nSize);
  }
}

void* GeneralHeapAlloc(SIZE_T Bytes) {
  // Like HeapAlloc, an empty request still yields a distinct block.
  return std::calloc(Bytes == 0 ? 1 : Bytes, 1);
}

void GeneralHeapFree(void* Block) { std::free(Block); }

}  // namespace platform
