// Starting a Windows program and waiting for its full exit code, for the Windows test programs.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <optional>
#include <string>

struct ProcessOptions {
  const wchar_t* directory = nullptr;  // its current directory; null: this process's
  HANDLE out = nullptr;                // its standard output and error (inheritable handles);
  HANDLE err = nullptr;                // both null: not redirected
};

// Runs `executable` with `command_line` (which starts with the program's own quoted path, as
// Windows programs expect), waits for it and returns its full 32-bit exit code, which a Linux
// shell under Wine would cut to the low byte. Empty when it cannot be started; GetLastError says
// why.
inline std::optional<DWORD> RunProcess(const std::wstring& executable, std::wstring command_line,
                                       const ProcessOptions& options = {}) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  const bool redirect = options.out != nullptr || options.err != nullptr;
  if (redirect) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = options.out;
    startup.hStdError = options.err;
  }
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr,
                      redirect ? TRUE : FALSE, 0, nullptr, options.directory, &startup, &process)) {
    return std::nullopt;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exit_code;
}
