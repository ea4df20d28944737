// The read-only check's run and report.
#include "check/staged_package_check.h"

#include <new>
#include <string>

#include "check/planned_removals.h"
#include "removal/inf_scan.h"
#include "removal/removal_rules.h"

namespace {

constexpr WCHAR kUsage[] = PLATFORM_TEXT(
    "Usage: staged-package-check [/? | -h | --help]\n"
    "\n"
    "Shows, without changing anything, which staged driver packages staged-package-removal\n"
    "would uninstall: one line per INF file, in the order it would take them, each with the\n"
    "rule that would take it:\n"
    "  <INF name> TAB <rule 1-8> TAB <key name> TAB <value as read>\n"
    "The value is the rest of the line: a TAB inside it stays. Redirected, the text is UTF-8.\n"
    "\n"
    "Exit code: 0 nothing would be removed; 1 at least one package would be; 2 the check could\n"
    "not be made (the INF directory could not be listed or read, or this report could not be\n"
    "written), or the arguments are not understood.\n");

constexpr WCHAR kNotWritten[] = PLATFORM_TEXT(
    "staged-package-check: the report could not be written to standard output (closed, full or "
    "refused); it is incomplete or missing\n");

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

// Every rule through the removal's own scan, in the removal's order, telling the uninstall which
// rule it is under.
bool CheckEveryRule() {
  ForgetPlannedRemovals();
  const std::span<const RemovalRule> rules = RemovalRules();
  for (size_t i = 0; i < rules.size(); ++i) {
    BeginRuleCheck(static_cast<int>(i + 1), rules[i].KeyName);
    // The recording uninstall never fails but for memory, so a failed rule is a failure to list
    // the INF directory or to build its path: the answer would be incomplete, whatever the rules
    // before it found.
    if (!UninstallMatchingInfs(rules[i].KeyName, rules[i].ExpectedValue)) return false;
  }
  return true;
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
  // Nothing to write loses nothing: a check with no standard output can still say 0.
  if (!report.empty() && !output.Out(report)) {
    output.Err(kNotWritten);
    return 2;
  }
  return PlannedRemovals().empty() ? 0 : 1;
}

}  // namespace

int RunStagedPackageCheck(std::span<const PCWSTR> arguments, CheckOutput& output) {
  try {
    if (arguments.size() == 1 && IsHelp(arguments[0])) {
      if (output.Out(kUsage)) return 0;
      output.Err(kNotWritten);
      return 2;
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
