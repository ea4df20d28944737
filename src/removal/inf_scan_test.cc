// The scan against the recording double: what it lists, reads, compares and uninstalls.
#include "removal/inf_scan.h"

#include <gtest/gtest.h>

#include "recording_platform.h"

namespace {

using Names = std::vector<WideString>;

constexpr PCWSTR kKey = PLATFORM_TEXT("DESCR1");
constexpr PCWSTR kExpected = PLATFORM_TEXT("Tamrix PNP");

class InfScanTest : public testing::Test {
 protected:
  void SetUp() override { ResetRecorder(); }
  void TearDown() override { EXPECT_EQ(Recorder().blocks_outstanding, 0) << "list buffer leaked"; }
};

TEST_F(InfScanTest, ReadsEveryListedInfAndUninstallsTheBareNamesOfMatches) {
  StageInf(W("oem1.inf"), W("DESCR1"), W("Tamrix PNP"));
  StageInf(W("oem2.inf"), W("Other"), W("Tamrix PNP"));
  StageInf(W("machine.inf"), W("DESCR1"), W("Someone else"));
  StageInf(W("oem10.inf"), W("DESCR1"), W("TAMRIX pnp"));

  EXPECT_EQ(UninstallMatchingInfs(kKey, kExpected), TRUE);

  const RecordingPlatform& r = Recorder();
  ASSERT_EQ(r.list_calls.size(), 2u);
  const DWORD required = 9 + 9 + 12 + 10 + 1;
  EXPECT_TRUE(r.list_calls[0].directory_is_null);
  EXPECT_EQ(r.list_calls[0].inf_style, INF_STYLE_WIN4);
  EXPECT_TRUE(r.list_calls[0].buffer_is_null);
  EXPECT_EQ(r.list_calls[0].buffer_size, 0u);
  EXPECT_TRUE(r.list_calls[1].directory_is_null);
  EXPECT_EQ(r.list_calls[1].inf_style, INF_STYLE_WIN4);
  EXPECT_FALSE(r.list_calls[1].buffer_is_null);
  EXPECT_EQ(r.list_calls[1].buffer_size, required);
  EXPECT_EQ(r.allocations, std::vector<SIZE_T>{required * sizeof(WCHAR)});

  EXPECT_EQ(r.ReadFiles(), (Names{W("C:\\Windows\\inf\\oem1.inf"), W("C:\\Windows\\inf\\oem2.inf"),
                                  W("C:\\Windows\\inf\\machine.inf"),
                                  W("C:\\Windows\\inf\\oem10.inf")}));
  for (const ProfileRead& read : r.reads) {
    EXPECT_EQ(read.section, W("strings"));
    EXPECT_EQ(read.key, W("DESCR1"));
    EXPECT_EQ(read.default_value, W(""));
    EXPECT_EQ(read.size, static_cast<DWORD>(MAX_PATH));
  }

  ASSERT_EQ(r.uninstalls.size(), 2u);
  EXPECT_EQ(r.UninstalledNames(), (Names{W("oem1.inf"), W("oem10.inf")}));
  for (const UninstallCall& call : r.uninstalls) {
    EXPECT_EQ(call.flags, SUOI_FORCEDELETE);
    EXPECT_TRUE(call.reserved_is_null);
  }
}

TEST_F(InfScanTest, FailureBeforeTheWalkReadsAndRemovesNothing) {
  struct Case {
    const char* name;
    std::set<size_t> failing_list_calls;
    bool fail_allocation;
    bool fail_windows_directory;
    size_t expected_list_calls;
  };
  const Case cases[] = {
      {"size query fails", {0}, false, false, 1},
      {"allocation fails", {}, true, false, 1},
      {"fill fails", {1}, false, false, 2},
      {"no Windows directory", {}, false, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetRecorder();
    StageInf(W("oem1.inf"), W("DESCR1"), W("Tamrix PNP"));
    Recorder().failing_list_calls = c.failing_list_calls;
    Recorder().fail_allocation = c.fail_allocation;
    Recorder().fail_windows_directory = c.fail_windows_directory;

    EXPECT_EQ(UninstallMatchingInfs(kKey, kExpected), FALSE);
    EXPECT_EQ(Recorder().list_calls.size(), c.expected_list_calls);
    EXPECT_TRUE(Recorder().reads.empty());
    EXPECT_TRUE(Recorder().uninstalls.empty());
    EXPECT_EQ(Recorder().blocks_outstanding, 0);
  }
}

TEST_F(InfScanTest, FailedUninstallFailsTheRuleButLaterMatchesAreStillRemoved) {
  StageInf(W("oem1.inf"), W("DESCR1"), W("Tamrix PNP"));
  StageInf(W("oem2.inf"), W("DESCR1"), W("Tamrix PNP"));
  StageInf(W("oem3.inf"), W("DESCR1"), W("Tamrix PNP"));
  Recorder().refuse_uninstall = {W("oem2.inf")};

  EXPECT_EQ(UninstallMatchingInfs(kKey, kExpected), FALSE);
  EXPECT_EQ(Recorder().UninstalledNames(), (Names{W("oem1.inf"), W("oem2.inf"), W("oem3.inf")}));
  EXPECT_EQ(Recorder().listing, Names{W("oem2.inf")});
}

TEST_F(InfScanTest, EmptyListingIsSuccessWithoutReadingAnyFile) {
  EXPECT_EQ(UninstallMatchingInfs(kKey, nullptr), TRUE);
  EXPECT_EQ(Recorder().allocations, std::vector<SIZE_T>{sizeof(WCHAR)});
  EXPECT_TRUE(Recorder().reads.empty());
  EXPECT_TRUE(Recorder().uninstalls.empty());
}

TEST_F(InfScanTest, ValueMatchesOnlyWholeAndWithoutRegardToAsciiCase) {
  const WideString long_value(300, PLATFORM_TEXT('a'));
  const WideString first_259 = long_value.substr(0, 259);
  struct Case {
    const char* name;
    WideString value;
    PCWSTR expected;  // null: any non-empty value
    bool removed;
  };
  const Case cases[] = {
      {"same text", W("Tamrix PNP"), kExpected, true},
      {"ASCII case differs", W("tAMRIX pnp"), kExpected, true},
      {"prefix of the expected value", W("Tamrix PN"), kExpected, false},
      {"expected value with more after it", W("Tamrix PNP2"), kExpected, false},
      {"trailing space", W("Tamrix PNP "), kExpected, false},
      {"inner space missing", W("TamrixPNP"), kExpected, false},
      {"empty value, any value wanted", W(""), nullptr, false},
      {"any value wanted", W("x"), nullptr, true},
      {"non-ASCII letters differ in case", W("\u00C4rger"), PLATFORM_TEXT("\u00E4rger"), false},
      {"non-ASCII letters the same", W("\u00E4rger"), PLATFORM_TEXT("\u00E4rger"), true},
      {"@ is not the capital of `", W("@"), PLATFORM_TEXT("`"), false},
      {"[ is not the capital of {", W("["), PLATFORM_TEXT("{"), false},
      {"Z folds to z", W("Z"), PLATFORM_TEXT("z"), true},
      {"value cut to 259 units, any value wanted", long_value, nullptr, true},
      {"value cut to 259 units never equals its first 259", long_value, first_259.c_str(), false},
      {"value of exactly 259 units may have been cut", first_259, first_259.c_str(), false},
      {"value of 258 units is whole", first_259.substr(1), first_259.c_str() + 1, true},
      {"value cut to 259 units never equals a shorter one", long_value,
       PLATFORM_TEXT("aaaaaaaaaa"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetRecorder();
    StageInf(W("oem1.inf"), W("DESCR1"), c.value);

    EXPECT_EQ(UninstallMatchingInfs(kKey, c.expected), TRUE);
    EXPECT_EQ(Recorder().UninstalledNames(), c.removed ? Names{W("oem1.inf")} : Names{});
  }
}

TEST_F(InfScanTest, MissingKeyOrOtherKeyDoesNotMatch) {
  StageInf(W("oem1.inf"), W("DESCR2"), W("Tamrix PNP"));
  Recorder().listing.push_back(W("oem2.inf"));  // listed, but holds no "strings" key at all

  EXPECT_EQ(UninstallMatchingInfs(kKey, nullptr), TRUE);
  EXPECT_EQ(Recorder().reads.size(), 2u);
  EXPECT_TRUE(Recorder().uninstalls.empty());
}

TEST_F(InfScanTest, WalkStopsAtTheEndOfTheBufferWhenTheListIsNotClosed) {
  StageInf(W("oem1.inf"), W("DESCR1"), W("Tamrix PNP"));
  StageInf(W("oem2.inf"), W("DESCR1"), W("Tamrix PNP"));
  // As long as the measured list (19 units), but the second name runs into the end unterminated.
  WideString unterminated = W("oem1.inf");
  unterminated.push_back(0);
  unterminated += W("oem22.infx");
  Recorder().raw_fill = unterminated;

  EXPECT_EQ(UninstallMatchingInfs(kKey, kExpected), TRUE);
  EXPECT_EQ(Recorder().ReadFiles(), Names{W("C:\\Windows\\inf\\oem1.inf")});
  EXPECT_EQ(Recorder().UninstalledNames(), Names{W("oem1.inf")});
}

TEST_F(InfScanTest, NameTooLongForAPathIsNeverJudgedByAnotherFile) {
  const WideString long_name = WideString(250, PLATFORM_TEXT('x')) + W(".inf");
  StageInf(W("oem1.inf"), W("DESCR1"), W("Tamrix PNP"));
  StageInf(long_name, W("DESCR1"), W("Tamrix PNP"));

  EXPECT_EQ(UninstallMatchingInfs(kKey, kExpected), TRUE);
  EXPECT_EQ(Recorder().ReadFiles(), Names{W("C:\\Windows\\inf\\oem1.inf")});
  EXPECT_EQ(Recorder().UninstalledNames(), Names{W("oem1.inf")});
}

}  // namespace
