// Tests only: asks the platform's own GetPrivateProfileStringW and SetupGetInfFileListW, so that the
// Linux stand-in can be compared with a real implementation of them.
//
//   wine-profile-probe read QUERIES   each line "path<TAB>section<TAB>key" (UTF-8) prints
//                                     "count:u1,u2,..." (hex code units of what was copied)
//   wine-profile-probe list DIRECTORY prints the Windows-4 style INF files listed there, one per line
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "win32_text.h"

namespace {

int Read(const wchar_t* queries) {
  std::ifstream in(queries, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab1 = line.find('\t');
    const size_t tab2 = line.find('\t', tab1 + 1);
    if (tab1 == std::string::npos || tab2 == std::string::npos) return 2;
    const std::wstring path = Wide(line.substr(0, tab1));
    const std::wstring section = Wide(line.substr(tab1 + 1, tab2 - tab1 - 1));
    const std::wstring key = Wide(line.substr(tab2 + 1));
    wchar_t value[MAX_PATH];
    const DWORD count = GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", value, MAX_PATH,
                                                 path.c_str());
    std::printf("%lu:", static_cast<unsigned long>(count));
    for (DWORD i = 0; i < count; ++i) std::printf(i ? ",%x" : "%x", static_cast<unsigned>(value[i]));
    std::printf("\n");
  }
  return 0;
}

int List(const wchar_t* directory) {
  DWORD required = 0;
  if (!SetupGetInfFileListW(directory, INF_STYLE_WIN4, nullptr, 0, &required)) return 3;
  std::vector<wchar_t> list(required);
  if (!SetupGetInfFileListW(directory, INF_STYLE_WIN4, list.data(), required, &required)) return 3;
  for (const wchar_t* name = list.data(); *name != 0; name += wcslen(name) + 1) {
    std::printf("%s\n", Narrow(name).c_str());
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"read") return Read(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"list") return List(argv[2]);
  std::fputs("usage: wine-profile-probe read QUERIES | list DIRECTORY\n", stderr);
  return 2;
}
