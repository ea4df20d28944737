// Staged-package machines shared by the end-to-end suites of both builds: what is staged, what a
// run must remove, and the exit code it must give. One table, so both builds give the same answers.
#pragma once

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

struct StagedCase {
  const char* name;
  Holds holds;
  std::vector<StagedInf> infs;
  std::vector<std::string> removed;  // file names gone from the INF directory after the run
  int exit_code;                     // as the run returns it: 0 or -1
};

// INF text with a [Version] section and the given [Strings] lines, CRLF line ends.
std::string InfText(const std::string& strings_lines,
                    const std::string& signature = "\"$Windows NT$\"");

std::vector<StagedCase> StagedCases();
