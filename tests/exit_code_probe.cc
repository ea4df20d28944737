// Starts a program, waits for it and prints its full 32-bit exit code: Wine hands only the low
// byte of a Windows exit code on to the Linux shell that started it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: exit-code-probe PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
  }
  std::wstring command_line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command_line += L' ';
    command_line += L'"';
    command_line += argv[i];
    command_line += L'"';
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "exit-code-probe: cannot start the program (error %lu)\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::printf("%lu\n", static_cast<unsigned long>(exit_code));
  return 0;
}
