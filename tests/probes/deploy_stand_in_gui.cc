// The GUI-subsystem stand-in (wWinMain), as staged-package-removal.exe is one: the call operator
// of PowerShell for Windows does not wait for such a program.
#include "deploy_stand_in.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return stand_in::Run(); }
