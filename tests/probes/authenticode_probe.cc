// Asks WinVerifyTrust about one file, as Windows checks a download or a program before it runs
// (the Authenticode policy, no UI, no revocation check), and prints the answer as 0xXXXXXXXX.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: authenticode-probe FILE\n", stderr);
    return 2;
  }
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = argv[1];

  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;

  GUID policy = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG answer = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &policy, &data);

  std::printf("0x%08lX\n", static_cast<unsigned long>(answer));
  return 0;
}
