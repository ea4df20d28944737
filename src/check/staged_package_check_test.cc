// The check over the recording double: what it reports, and that its report is all or nothing,
// whichever rule fails and whatever the rules before it found.
#include "check/staged_package_check.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "recording_platform.h"

namespace {

class CapturedOutput : public CheckOutput {
 public:
  explicit CapturedOutput(bool refuse) : refuse_(refuse) {}
  bool Out(std::basic_string_view<WCHAR> text) override {
    ++out_calls;
    if (refuse_) return false;
    out += text;
    return true;
  }
  void Err(std::basic_string_view<WCHAR> text) override { err += text; }

  int out_calls = 0;
  WideString out;
  WideString err;

 private:
  bool refuse_;
};

// Rule 1 takes any value, rule 3 one value of DESCR1. Each rule lists the INF directory twice: a
// size query (call 2 * (rule - 1)), then the fill.
void StageTwoMatches() {
  StageInf(W("oem1.inf"), W("Tamrix_Vessa_Driver_Name"), W("Vessa\t4100"));
  StageInf(W("oem2.inf"), W("DESCR1"), W("Tamrix PNP"));
  StageInf(W("oem3.inf"), W("DESCR1"), W("Other PNP"));
}

const WideString kTwoLines = W("oem1.inf\t1\tTamrix_Vessa_Driver_Name\tVessa\t4100\n"
                               "oem2.inf\t3\tDESCR1\tTamrix PNP\n");

TEST(StagedPackageCheckTest, ReportsAllOrNothing) {
  struct Case {
    const char* name;
    bool matches;                        // StageTwoMatches, else an empty INF directory
    std::set<size_t> failing_list_calls;
    bool fail_windows_directory;
    bool refuse_output;
    int exit_code;
    WideString out;
    const char* err;                     // a part of the message, or "" for none
  };
  const Case cases[] = {
      {"two matches", true, {}, false, false, 1, kTwoLines, ""},
      {"nothing matches", false, {}, false, false, 0, W(""), ""},
      {"the first rule's listing fails", true, {0}, false, false, 2, W(""), "could not be examined"},
      {"rule 3's listing fails after rule 1 recorded a match", true, {4}, false, false, 2, W(""), "could not be examined"},
      {"rule 3's fill fails after rule 1 recorded a match", true, {5}, false, false, 2, W(""), "could not be examined"},
      {"the last rule's listing fails after two matches", true, {14}, false, false, 2, W(""), "could not be examined"},
      {"no Windows directory", true, {}, true, false, 2, W(""), "could not be examined"},
      {"the report cannot be written", true, {}, false, true, 2, W(""), "could not be written"},
      {"nothing to report and no output", false, {}, false, true, 0, W(""), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetRecorder();
    if (c.matches) StageTwoMatches();
    Recorder().failing_list_calls = c.failing_list_calls;
    Recorder().fail_windows_directory = c.fail_windows_directory;
    CapturedOutput output(c.refuse_output);

    EXPECT_EQ(RunStagedPackageCheck({}, output), c.exit_code);
    EXPECT_EQ(output.out, c.out);
    if (c.exit_code == 2 && !c.refuse_output) {
      EXPECT_EQ(output.out_calls, 0) << "an incomplete check writes nothing at all";
    }
    const std::string err(output.err.begin(), output.err.end());
    if (*c.err == '\0') {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(c.err), std::string::npos) << err;
    }
    EXPECT_EQ(Recorder().uninstalls.size(), 0u) << "the check reached the real uninstall";
  }
}

TEST(StagedPackageCheckTest, UsageThatCannotBeWrittenExitsTwo) {
  const PCWSTR help[] = {PLATFORM_TEXT("--help")};
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "refused" : "written");
    ResetRecorder();
    CapturedOutput output(refuse);
    EXPECT_EQ(RunStagedPackageCheck(help, output), refuse ? 2 : 0);
    EXPECT_EQ(output.err.empty(), !refuse);
  }
}

}  // namespace
