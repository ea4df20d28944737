// Starts a program, waits for it and prints its full 32-bit exit code: Wine hands only the low
// byte of a Windows exit code on to the Linux shell that started it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "win32_process.h"

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
  const std::optional<DWORD> exit_code = RunProcess(argv[1], command_line);
  if (!exit_code) {
    std::fprintf(stderr, "exit-code-probe: cannot start the program (error %lu)\n", GetLastError());
    return 2;
  }
  std::printf("%lu\n", static_cast<unsigned long>(*exit_code));
  return 0;
}
