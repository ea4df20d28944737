// The scan: one listing of the INF directory, one profile read per listed INF, one uninstall per
// match.
#include "removal/inf_scan.h"

#include <memory>

namespace {

constexpr WCHAR kStringsSection[] = PLATFORM_TEXT("strings");
constexpr WCHAR kInfSubdirectory[] = PLATFORM_TEXT("inf");
constexpr WCHAR kEmpty[] = PLATFORM_TEXT("");

struct HeapBlockDeleter {
  void operator()(WCHAR* block) const { platform::GeneralHeapFree(block); }
};
using ListBuffer = std::unique_ptr<WCHAR[], HeapBlockDeleter>;

template <typename T, size_t N>
constexpr DWORD ArraySize(const T (&)[N]) {
  return static_cast<DWORD>(N);
}

WCHAR FoldAsciiCapital(WCHAR unit) {
  return (unit >= 'A' && unit <= 'Z') ? static_cast<WCHAR>(unit + ('a' - 'A')) : unit;
}

// Takes the snapshot of listed names. The buffer is zero-filled and its capacity is kept apart
// from RequiredSize, so a list that comes back shorter than measured, or without its closing empty
// name, is still walked within what was allocated.
BOOL ListInfFiles(ListBuffer* list, DWORD* capacity) {
  DWORD required_size = 0;
  if (!platform::SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, nullptr, 0, &required_size)) {
    return FALSE;
  }
  const SIZE_T bytes = static_cast<SIZE_T>(required_size) * sizeof(WCHAR);
  list->reset(static_cast<WCHAR*>(platform::GeneralHeapAlloc(bytes)));
  if (!*list) return FALSE;
  *capacity = required_size;
  return platform::SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, list->get(), required_size,
                                        &required_size);
}

// The reads name each INF by this path, while the listing and the uninstall use the platform's
// own idea of the INF directory; on Windows both are %windir%\inf. A failed query or join would
// leave a path that names no INF directory at all, so it fails the rule rather than reading
// whatever the buffer holds.
BOOL BuildInfDirectoryPath(WCHAR (&path)[MAX_PATH]) {
  const UINT length = platform::GetWindowsDirectoryW(path, ArraySize(path));
  if (length == 0 || length >= ArraySize(path)) return FALSE;
  return platform::PathCombineW(path, path, kInfSubdirectory) != nullptr ? TRUE : FALSE;
}

// A value that filled the buffer may have been cut: it is some value, but it is not known to be
// the expected one, so it never equals it.
bool ValueMatches(PCWSTR value, DWORD count, PCWSTR ExpectedValue) {
  if (ExpectedValue == nullptr) return true;
  return count < MAX_PATH - 1 && EqualsIgnoringAsciiCase(value, ExpectedValue);
}

// A failed join leaves the buffer empty, never the stale path of the previous name.
BOOL JoinInfPath(PCWSTR inf_directory, PCWSTR name, WCHAR (&path)[MAX_PATH]) {
  path[0] = 0;
  return platform::PathCombineW(path, inf_directory, name) != nullptr ? TRUE : FALSE;
}

// Reads the rule's key from one listed INF. A name whose joined path does not fit reads as no
// match, like any other file that cannot be read.
bool InfMatches(PCWSTR inf_directory, PCWSTR name, PCWSTR KeyName, PCWSTR ExpectedValue) {
  WCHAR inf_path[MAX_PATH] = {};
  if (!JoinInfPath(inf_directory, name, inf_path)) return false;

  WCHAR value[MAX_PATH] = {};
  const DWORD count = platform::GetPrivateProfileStringW(kStringsSection, KeyName, kEmpty, value,
                                                         ArraySize(value), inf_path);
  value[ArraySize(value) - 1] = 0;
  if (count == 0 || value[0] == 0) return false;
  return ValueMatches(value, count, ExpectedValue);
}

}  // namespace

bool EqualsIgnoringAsciiCase(PCWSTR Value, PCWSTR Expected) {
  for (;; ++Value, ++Expected) {
    if (FoldAsciiCapital(*Value) != FoldAsciiCapital(*Expected)) return false;
    if (*Value == 0) return true;
  }
}

BOOL BuildInfPath(PCWSTR InfName, WCHAR (&Path)[MAX_PATH]) {
  WCHAR inf_directory[MAX_PATH] = {};
  Path[0] = 0;
  if (!BuildInfDirectoryPath(inf_directory)) return FALSE;
  return JoinInfPath(inf_directory, InfName, Path);
}

BOOL UninstallMatchingInfs(PCWSTR KeyName, PCWSTR ExpectedValue) {
  ListBuffer list;
  DWORD capacity = 0;
  if (!ListInfFiles(&list, &capacity)) return FALSE;

  WCHAR inf_directory[MAX_PATH] = {};
  if (!BuildInfDirectoryPath(inf_directory)) return FALSE;

  BOOL status = TRUE;
  DWORD offset = 0;
  while (offset < capacity && list[offset] != 0) {
    PCWSTR name = &list[offset];
    DWORD length = 0;
    while (offset + length < capacity && name[length] != 0) ++length;
    // A name that runs into the end of the buffer has no terminator to hand on; nothing after it
    // can be a name either.
    if (offset + length == capacity) break;
    offset += length + 1;

    if (!InfMatches(inf_directory, name, KeyName, ExpectedValue)) continue;
    if (!platform::SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, nullptr)) status = FALSE;
  }
  return status;
}
