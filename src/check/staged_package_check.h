// The read-only check: the removal's own scan, run with an uninstall that only records, and its
// report. Each platform's start-up (platform/check_main_win32.cc, platform/standin/check_main.cc)
// supplies the arguments and the two output streams.
#pragma once

#include <span>
#include <string_view>

#include "platform/setup_platform.h"

// Where the report and the messages go; text is UTF-16 whatever the platform writes.
class CheckOutput {
 public:
  // Standard output: the report. False when any of it could not be written.
  virtual bool Out(std::basic_string_view<WCHAR> text) = 0;
  // Standard error: messages. Where they cannot go there is no one left to tell.
  virtual void Err(std::basic_string_view<WCHAR> text) = 0;

 protected:
  ~CheckOutput() = default;
};

// Runs the check with the program's arguments (without its name) and returns the exit code:
// 0 when nothing would be removed, 1 when at least one INF would be, 2 when the check could not be
// made, its report (or usage) could not be written, or the arguments are not understood. /?, -h
// and --help print the usage and give 0.
//
// The report is one line per INF that the removal would uninstall, in the order it would take
// them, each INF once under the first rule that matches it:
//   <INF name> TAB <rule number 1-8> TAB <key name> TAB <value as read> LF
// The value is the rest of the line: it may hold TABs of its own (never a line end or a NUL,
// which end a value). Nothing else goes to standard output, and nothing at all when a rule could
// not be checked: the report is written only once every rule has been. When it cannot be
// written, exit code 2 says that whatever reached the output is not to be trusted.
//
// How the text becomes bytes is the entry's: UTF-8 on both platforms (UTF-16 to a Windows
// console), with what UTF-8 cannot carry written so that the line still names the file: on Linux
// an INF name's own bytes, valid UTF-8 or not; on Windows an unpaired surrogate as the three bytes
// UTF-8 gives any other code point of its range (generalized UTF-8).
int RunStagedPackageCheck(std::span<const PCWSTR> arguments, CheckOutput& output);
