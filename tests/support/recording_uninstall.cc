// The double's uninstall: removes the INF from the in-memory directory unless told to refuse.
#include <algorithm>

#include "recording_platform.h"

namespace platform {

BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
  RecordingPlatform& r = Recorder();
  const WideString name = InfFileName != nullptr ? WideString(InfFileName) : WideString();
  r.uninstalls.push_back({name, Flags, Reserved == nullptr});
  if (r.refuse_uninstall.count(name) != 0) return FALSE;
  const auto listed = std::find(r.listing.begin(), r.listing.end(), name);
  if (listed == r.listing.end()) return FALSE;
  r.listing.erase(listed);
  r.infs.erase(name);
  return TRUE;
}

}  // namespace platform
