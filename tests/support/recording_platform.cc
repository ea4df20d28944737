// The double's seam functions: they answer from Recorder() and append to its records. The
// uninstall is in recording_uninstall.cc, so that the check can be run over the rest with its own.
#include "recording_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

RecordingPlatform* g_recorder = nullptr;

WideString OrEmpty(PCWSTR text) { return text != nullptr ? WideString(text) : WideString(); }

// The listing as Windows returns it: every name NUL-terminated, then the closing empty name.
WideString MultiString(const std::vector<WideString>& names) {
  WideString list;
  for (const WideString& name : names) {
    list += name;
    list.push_back(0);
  }
  list.push_back(0);
  return list;
}

DWORD CopyCut(const WideString& text, LPWSTR out, DWORD size) {
  if (size == 0) return 0;
  const DWORD count = static_cast<DWORD>(std::min<size_t>(text.size(), size - 1));
  std::copy_n(text.data(), count, out);
  out[count] = 0;
  return count;
}

}  // namespace

RecordingPlatform& Recorder() {
  if (g_recorder == nullptr) g_recorder = new RecordingPlatform();
  return *g_recorder;
}

void ResetRecorder() {
  delete g_recorder;
  g_recorder = new RecordingPlatform();
}

WideString RecordingPlatform::InfPath(const WideString& name) const {
  return windows_directory + PLATFORM_TEXT("\\inf\\") + name;
}

void StageInf(const WideString& name, const WideString& key, const WideString& value) {
  Recorder().listing.push_back(name);
  Recorder().infs[name][key] = value;
}

std::vector<WideString> RecordingPlatform::ReadFiles() const {
  std::vector<WideString> files;
  for (const ProfileRead& read : reads) files.push_back(read.file);
  return files;
}

std::vector<WideString> RecordingPlatform::UninstalledNames() const {
  std::vector<WideString> names;
  for (const UninstallCall& call : uninstalls) names.push_back(call.name);
  return names;
}

namespace platform {

BOOL SetupGetInfFileListW(PCWSTR DirectoryPath, DWORD InfStyle, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize) {
  RecordingPlatform& r = Recorder();
  r.list_calls.push_back({DirectoryPath == nullptr, InfStyle, ReturnBuffer == nullptr,
                          ReturnBufferSize});
  const bool is_fill = ReturnBuffer != nullptr;
  if (r.failing_list_calls.count(r.list_calls.size() - 1) != 0) return FALSE;

  const WideString list = MultiString(r.listing);
  if (!is_fill) {
    *RequiredSize = static_cast<DWORD>(list.size());
    return TRUE;
  }
  const WideString& written = r.raw_fill ? *r.raw_fill : list;
  if (ReturnBufferSize < written.size()) return FALSE;
  std::copy(written.begin(), written.end(), ReturnBuffer);
  *RequiredSize = static_cast<DWORD>(written.size());
  return TRUE;
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  RecordingPlatform& r = Recorder();
  if (r.fail_windows_directory) return 0;
  const WideString& dir = r.windows_directory;
  if (uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  return static_cast<UINT>(CopyCut(dir, lpBuffer, uSize));
}

// A join that does not fit fails and leaves the destination as it was: Windows promises nothing
// about it, and a caller that reads it anyway reads the previous path.
LPWSTR PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
  const WideString joined = OrEmpty(pszDir) + PLATFORM_TEXT("\\") + OrEmpty(pszFile);
  if (joined.size() >= MAX_PATH) return nullptr;
  CopyCut(joined, pszDest, MAX_PATH);
  return pszDest;
}

DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
  RecordingPlatform& r = Recorder();
  r.reads.push_back({OrEmpty(lpAppName), OrEmpty(lpKeyName), OrEmpty(lpDefault), nSize,
                     OrEmpty(lpFileName)});
  const WideString file = OrEmpty(lpFileName);
  for (const auto& [name, strings] : r.infs) {
    if (r.InfPath(name) != file) continue;
    const auto value = strings.find(OrEmpty(lpKeyName));
    if (value == strings.end() || value->second.empty()) break;
    return CopyCut(value->second, lpReturnedString, nSize);
  }
  return CopyCut(OrEmpty(lpDefault), lpReturnedString, nSize);
}

void* GeneralHeapAlloc(SIZE_T Bytes) {
  RecordingPlatform& r = Recorder();
  r.allocations.push_back(Bytes);
  if (r.fail_allocation) return nullptr;
  ++r.blocks_outstanding;
  return std::calloc(Bytes == 0 ? 1 : Bytes, 1);
}

void GeneralHeapFree(void* Block) {
  if (Block == nullptr) return;
  --Recorder().blocks_outstanding;
  std::free(Block);
}

}  // namespace platform
