// A GUI-subsystem (wWinMain) probe, built like staged-package-removal.exe: loads the DLL named on
// its command line.
#include "dll_search_probe.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR command_line, int) {
  return static_cast<int>(ProbeDllSearch(command_line));
}
