// The seam on Windows: each operation is the system's own. The uninstall is in
// setup_uninstall_win32.cc, so that the read-only check can link all of this without it.
#include "platform/setup_platform.h"

#include <shlwapi.h>

namespace platform {

BOOL SetupGetInfFileListW(PCWSTR DirectoryPath, DWORD InfStyle, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize) {
  return ::SetupGetInfFileListW(DirectoryPath, InfStyle, ReturnBuffer, ReturnBufferSize,
                                RequiredSize);
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return ::GetWindowsDirectoryW(lpBuffer, uSize);
}

LPWSTR PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
  return ::PathCombineW(pszDest, pszDir, pszFile);
}

DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
  return ::GetPrivateProfileStringW(lpAppName, lpKeyName, lpDefault, lpReturnedString, nSize,
                                    lpFileName);
}

void* GeneralHeapAlloc(SIZE_T Bytes) { return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, Bytes); }

void GeneralHeapFree(void* Block) {
  if (Block != nullptr) ::HeapFree(::GetProcessHeap(), 0, Block);
}

}  // namespace platform
