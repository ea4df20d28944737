// A console-subsystem (wmain) probe: loads the DLL named by its one argument.
#include "dll_search_probe.h"

int wmain(int argc, wchar_t** argv) {
  return static_cast<int>(argc == 2 ? ProbeDllSearch(argv[1]) : kProbeNamedNoDll);
}
