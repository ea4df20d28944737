// The entry point of every shipped Windows executable: DLLs loaded by name come from System32 only.
//
// Windows looks for a DLL named without a path in the executable's own folder before System32
// (and after it in the current directory and the PATH). Whatever the program, or a system DLL on
// its behalf, loads by name would be taken from a DLL planted beside the executable (a download
// folder, a temp folder, a share) and would run with the program's rights, here SYSTEM's
// (CWE-427). SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) leaves System32 the only place
// searched. It is called here, before the C runtime starts, so that nothing of the program loads a
// DLL before it; the C runtime's start-up then runs unchanged (command line, exit code).
//
// Only the imports in the executable's header are resolved before this runs: KERNEL32, SETUPAPI,
// SHLWAPI and msvcrt, all KnownDLLs, which Windows takes from System32 with their own dependencies
// whatever the search order (Dynamic-Link Library Search Order, Microsoft Learn).
//
// cmake/dll_search_startup.cmake makes one of the two functions below a target's entry point,
// according to its subsystem.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" {

// The C runtime's start-up for GUI and console programs: it reads the command line, runs the
// static constructors, calls the program's main and ends the process with its result.
#if defined(_MSC_VER)
int wWinMainCRTStartup();
int wmainCRTStartup();
#define SPR_GUI_CRT_STARTUP wWinMainCRTStartup
#define SPR_CONSOLE_CRT_STARTUP wmainCRTStartup
#else
// mingw-w64's crt2u.o (-municode) keeps the narrow names for its wide start-up.
int WinMainCRTStartup();
int mainCRTStartup();
#define SPR_GUI_CRT_STARTUP WinMainCRTStartup
#define SPR_CONSOLE_CRT_STARTUP mainCRTStartup
#endif

}  // extern "C"

namespace {

// Runs before the C runtime is initialised: it may call only what KERNEL32 exports.
void RestrictDllSearchToSystem32() {
  // SetDefaultDllDirectories exists on Windows 8 and later, and on Windows 7 only with
  // KB2533623: a static import would keep the executable from starting on a Windows 7 without it.
  // KERNEL32 is mapped into every process before its entry point runs; looking it up loads nothing.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return;
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  // Through void (*)(), which GCC's -Wcast-function-type accepts as a cast to any function type.
  const auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  // Missing or failing, the program runs on with the default search: hardening never stops it.
  if (set_default_dll_directories != nullptr) {
    set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
}

}  // namespace

extern "C" int SystemDllsOnlyWinMainCRTStartup() {
  RestrictDllSearchToSystem32();
  return SPR_GUI_CRT_STARTUP();
}

extern "C" int SystemDllsOnlyMainCRTStartup() {
  RestrictDllSearchToSystem32();
  return SPR_CONSOLE_CRT_STARTUP();
}
