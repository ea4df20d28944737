// The seam's uninstall on Windows: the system's own. Only the removal executable links it.
#include "platform/setup_platform.h"

namespace platform {

BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
  return ::SetupUninstallOEMInfW(InfFileName, Flags, Reserved);
}

}  // namespace platform
