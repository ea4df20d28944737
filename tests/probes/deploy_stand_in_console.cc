// The console-subsystem stand-in (wmain), as staged-package-check.exe is one.
#include "deploy_stand_in.h"

int wmain() { return stand_in::Run(); }
