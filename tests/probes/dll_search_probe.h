// What a DLL search probe does and reports: it loads one DLL by name, the way the program and the
// system DLLs acting for it do, and says through its exit code which copy it got.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Far from 0, 1 and the NTSTATUS codes of a process that crashed or could not start, so that only
// a probe that ran to its end gives one of them.
constexpr DWORD kProbeLoadedPlantedCopy = 40;
constexpr DWORD kProbeLoadedOtherCopy = 41;
constexpr DWORD kProbeLoadedNothing = 42;
constexpr DWORD kProbeNamedNoDll = 43;

inline DWORD ProbeDllSearch(const wchar_t* dll_name) {
  if (dll_name == nullptr || *dll_name == L'\0') return kProbeNamedNoDll;
  const HMODULE module = LoadLibraryW(dll_name);
  if (module == nullptr) return kProbeLoadedNothing;
  return GetProcAddress(module, "SprPlantedMarker") != nullptr ? kProbeLoadedPlantedCopy
                                                              : kProbeLoadedOtherCopy;
}
