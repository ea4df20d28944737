// The check's uninstall. Behind the seam's SetupUninstallOEMInfW it removes nothing: it records
// the package that the removal would uninstall, with the rule that would take it and the value
// that matched, and answers as an uninstall that worked.
#pragma once

#include <string>
#include <vector>

#include "platform/setup_platform.h"

using WideText = std::basic_string<WCHAR>;

struct PlannedRemoval {
  WideText inf_name;  // as the listing gave it
  int rule_number;    // 1 to 8, the first rule that matches the INF
  WideText key_name;
  WideText value;     // as read, at most 259 units
};

// Starts a check afresh: nothing planned, no rule yet.
void ForgetPlannedRemovals();

// Says which rule the next scan applies, so that what it would uninstall is recorded under it.
void BeginRuleCheck(int rule_number, PCWSTR KeyName);

// Each INF once, under the first rule that matched it, in the order the removal would take them.
const std::vector<PlannedRemoval>& PlannedRemovals();
