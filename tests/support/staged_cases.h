// Staged-package machines shared by the end-to-end suites of both builds: what is staged, what a
// run must remove, and the exit code it must give. One table, so both builds give the same answers.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "file_text.h"

struct StagedInf {
  std::string name;
  std::string bytes;
  bool read_only = false;
};

// Where Windows documents a refusal that Wine does not implement, a case names the platform it
// holds on. Everything else must hold on both.
enum class Holds { kEverywhere, kOnTheStandIn, kUnderWine };

// One line of the check's report: an INF that the removal would uninstall, the first rule that
// matches it, that rule's key and the value read (UTF-8).
struct CheckLine {
  std::string inf;
  int rule;
  std::string key;
  std::string value;
  bool operator==(const CheckLine&) const = default;
};

// For GoogleTest's messages: the line as the check writes it.
void PrintTo(const CheckLine& line, std::ostream* out);

struct StagedCase {
  const char* name;
  Holds holds;
  std::vector<StagedInf> infs;
  std::vector<std::string> removed;  // file names gone from the INF directory after the run
  int exit_code;                     // as the run returns it: 0 or -1
  std::vector<CheckLine> check;      // the check's report before the run, in its order
};

// INF text with a [Version] section and the given [Strings] lines, CRLF line ends.
std::string InfText(const std::string& strings_lines,
                    const std::string& signature = "\"$Windows NT$\"");

std::vector<StagedCase> StagedCases();

// The check's report as lines of fields. A line without four fields, or whose rule is no number,
// keeps its whole text in `inf` with rule 0, so that a comparison shows it.
std::vector<CheckLine> ParseCheckReport(const std::string& out);
