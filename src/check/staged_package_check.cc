// The read-only check's run and report.
#include "check/staged_package_check.h"

#include <new>
#include <string>

#include "check/planned_removals.h"
#include "removal/removal_rules.h"

namespace {

constexpr WCHAR kUsage[] = PLATFORM_TEXT(
    "Usage: staged-package-check [/? | -h | --help]\n"
    "\n"
    "Shows, without changing anything, which staged driver packages staged-package-removal\n"
    "would uninstall: one line per INF file, in the order it would take them, each with the\n"
    "rule that would take it:\n"
    "  <INF name> TAB <rule 1-8> TAB <key name> TAB <value as read>\n"
    "\n"
    "Exit code: 0 nothing would be removed; 1 at least one package would be; 2 the check could\n"
    "not be made (the INF directory could not be listed or read), or the arguments are not\n"
    "understood.\n");

bool IsHelp(std::basic_string_view<WCHAR> argument) {
  return argument == PLATFORM_TEXT("/?") || argument == PLATFORM_TEXT("-h") ||
         argument == PLATFORM_TEXT("--help");
}

std::basic_string<WCHAR> Decimal(int number) {
  std::basic_string<WCHAR> digits;
  do {
    digits.insert(digits.begin(), static_cast<WCHAR>(PLATFORM_TEXT('0') + number % 10));
    number /= 10;
  } while (number > 0);
  return digits;
}

// Every rule through the removal's own run, one at a time so that the uninstall knows which.
bool CheckEveryRule() {
  const std::span<const RemovalRule> rules = RemovalRules();
  bool complete = true;
  for (size_t i = 0; i < rules.size(); ++i) {
    BeginRuleCheck(static_cast<int>(i + 1), rules[i].KeyName);
    // The recording uninstall never fails but for memory, so a failed rule is a failure to list
    // the INF directory or to build its path: the answer would be incomplete.
    if (RunRemovalRules(rules.subspan(i, 1)) != 0) complete = false;
  }
  return complete;
}

int Check(CheckOutput& output) {
  if (!CheckEveryRule()) {
    output.Err(PLATFORM_TEXT(
        "staged-package-check: the INF directory could not be examined (its listing, memory for "
        "it, or the Windows directory failed); nothing is reported\n"));
    return 2;
  }
  std::basic_string<WCHAR> report;
  for (const PlannedRemoval& planned : PlannedRemovals()) {
    report += planned.inf_name + PLATFORM_TEXT('\t') + Decimal(planned.rule_number) +
              PLATFORM_TEXT('\t') + planned.key_name + PLATFORM_TEXT('\t') + planned.value +
              PLATFORM_TEXT('\n');
  }
  output.Out(report);
  return PlannedRemovals().empty() ? 0 : 1;
}

}  // namespace

int RunStagedPackageCheck(std::span<const PCWSTR> arguments, CheckOutput& output) {
  try {
    if (arguments.size() == 1 && IsHelp(arguments[0])) {
      output.Out(kUsage);
      return 0;
    }
    if (!arguments.empty()) {
      output.Err(std::basic_string<WCHAR>(PLATFORM_TEXT("staged-package-check: unexpected argument '")) +
                 arguments[0] + PLATFORM_TEXT("'\n\n") + kUsage);
      return 2;
    }
    return Check(output);
  } catch (const std::bad_alloc&) {
    output.Err(PLATFORM_TEXT("staged-package-check: out of memory; nothing is reported\n"));
    return 2;
  }
}
