// The check's uninstall: it records instead of removing.
#include "check/planned_removals.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "removal/inf_scan.h"

namespace {

struct CheckState {
  int rule_number = 0;
  PCWSTR key_name = nullptr;
  std::vector<PlannedRemoval> planned;
};

CheckState& State() {
  static CheckState state;
  return state;
}

// The value the scan has just read from the INF, read again through the seam with the same path
// and arguments. (Were the file changed in between, its new value would show; the scan's decision
// stands.)
WideText ValueOf(PCWSTR inf_name, PCWSTR key_name) {
  static constexpr WCHAR kStrings[] = PLATFORM_TEXT("strings");
  static constexpr WCHAR kEmpty[] = PLATFORM_TEXT("");
  WCHAR path[MAX_PATH] = {};
  if (!BuildInfPath(inf_name, path)) return WideText();
  WCHAR value[MAX_PATH] = {};
  constexpr DWORD kValueUnits = static_cast<DWORD>(std::size(value));
  const DWORD count =
      platform::GetPrivateProfileStringW(kStrings, key_name, kEmpty, value, kValueUnits, path);
  return WideText(value, std::min<DWORD>(count, kValueUnits - 1));
}

}  // namespace

void ForgetPlannedRemovals() { State() = CheckState(); }

void BeginRuleCheck(int rule_number, PCWSTR KeyName) {
  State().rule_number = rule_number;
  State().key_name = KeyName;
}

const std::vector<PlannedRemoval>& PlannedRemovals() { return State().planned; }

namespace platform {

BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD, PVOID) {
  // Nothing may cross the seam as an exception: a record that cannot be kept fails the uninstall,
  // and so the rule, as a failed allocation would in the removal.
  try {
    CheckState& state = State();
    // Since nothing is removed, every later rule that matches the INF sees it again; the removal
    // would have taken it with the first.
    const bool seen = std::any_of(state.planned.begin(), state.planned.end(),
                                  [&](const PlannedRemoval& p) { return p.inf_name == InfFileName; });
    if (!seen) {
      state.planned.push_back({InfFileName, state.rule_number, state.key_name,
                               ValueOf(InfFileName, state.key_name)});
    }
    return TRUE;
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
}

}  // namespace platform
