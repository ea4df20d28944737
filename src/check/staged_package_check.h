// The read-only check: the removal's own scan, run with an uninstall that only records, and its
// report. The platform's entry (check_main_win32.cc, standin/standin_check_main.cc) supplies the
// arguments and the two output streams.
#pragma once

#include <span>
#include <string_view>

#include "platform/setup_platform.h"

// Where the report and the messages go; text is UTF-16 whatever the platform writes.
class CheckOutput {
 public:
  virtual void Out(std::basic_string_view<WCHAR> text) = 0;  // standard output: the report
  virtual void Err(std::basic_string_view<WCHAR> text) = 0;  // standard error: messages

 protected:
  ~CheckOutput() = default;
};

// Runs the check with the program's arguments (without its name) and returns the exit code:
// 0 when nothing would be removed, 1 when at least one INF would be, 2 when the check could not be
// made or the arguments are not understood. /?, -h and --help print the usage and give 0.
//
// The report is one line per INF that the removal would uninstall, in the order it would take
// them, each INF once under the first rule that matches it:
//   <INF name> TAB <rule number 1-8> TAB <key name> TAB <value as read> LF
// Nothing else goes to standard output, and nothing at all when the check could not be made.
int RunStagedPackageCheck(std::span<const PCWSTR> arguments, CheckOutput& output);
