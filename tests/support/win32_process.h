// Starting a Windows program and waiting for its full exit code, and finding it, for the Windows
// test programs.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

struct ProcessOptions {
  const wchar_t* directory = nullptr;  // its current directory; null: this process's
  HANDLE out = nullptr;                // its standard output and error (inheritable handles);
  HANDLE err = nullptr;                // both null: not redirected
};

// The file `name` in the folder of this executable (`name` empty: the folder, with its final
// separator): the test programs find what they run and inspect beside themselves.
inline std::wstring PathBesideThisExecutable(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

// Wine 8 now and then fails a start with ERROR_INTERNAL_ERROR: the new process ended inside
// Wine's own Unix-side start-up, before it reported that start-up done, so before any code of the
// program, or of a Windows DLL, ran (dlls/ntdll/unix/process.c, NtCreateUserProcess, when
// get_new_process_info says the child did not start; the child reports it at the end of
// dlls/ntdll/unix/loader.c's initialisation). Seen here about once in a thousand starts. Only
// that failure is tried again, and only a few times.
inline constexpr int kStartAttempts = 3;

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
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr,
                       redirect ? TRUE : FALSE, 0, nullptr, options.directory, &startup, &process)) {
      break;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) return std::nullopt;
    // Said, so that a log shows how often it happens.
    std::fprintf(stderr, "note: Wine could not start %ls (ERROR_INTERNAL_ERROR); starting it again\n",
                 executable.c_str());
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exit_code;
}
