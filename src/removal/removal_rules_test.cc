// The run against the recording double: the eight rules, their order, and the exit code.
#include "removal/removal_rules.h"

#include <gtest/gtest.h>

#include "recording_platform.h"

namespace {

using Names = std::vector<WideString>;

// One package per rule, written out here independently of the table: a changed character in a
// rule makes its package stay.
struct RulePackage {
  const char* rule;
  WideString name;
  WideString key;
  WideString value;
};

std::vector<RulePackage> OnePackagePerRule() {
  return {
      {"1", W("oem11.inf"), W("Tamrix_Vessa_Driver_Name"), W("any name at all")},
      {"2", W("oem12.inf"), W("DESCR1"), W("Tamrix NXR KLT")},
      {"3", W("oem13.inf"), W("DESCR1"), W("Tamrix PNP")},
      {"4", W("oem14.inf"), W("Dot4_Name"), W("IEEE-1284.4 Driver QLDcor08")},
      {"5", W("oem15.inf"), W("Dot4Usb_Name"), W("USB Bridge Driver for IEEE-1284.4 QLDusb08")},
      {"6", W("oem16.inf"), W("Dot4Par_Name"), W("Parallel Port Bridge Driver for IEEE-1284.4")},
      {"7", W("oem17.inf"), W("Dot4Print_Name"), W("IEEE-1284.4 Printing Class Driver QLDprn08")},
      {"8", W("oem18.inf"), W("DeviceDesc"), W("QLD IEEE-1284.4 Storage Function Driver V8")},
  };
}

int RunEntry(LPWSTR command_line = nullptr) { return wWinMain(nullptr, nullptr, command_line, 1); }

class RemovalRunTest : public testing::Test {
 protected:
  void SetUp() override { ResetRecorder(); }
};

TEST_F(RemovalRunTest, EachRuleRemovesItsPackageInTableOrder) {
  std::vector<RulePackage> packages = OnePackagePerRule();
  // Listed in reverse, so only the rule order can put the uninstalls back in order.
  for (auto it = packages.rbegin(); it != packages.rend(); ++it) StageInf(it->name, it->key, it->value);
  StageInf(W("oem20.inf"), W("DESCR1"), W("Tamrix"));
  StageInf(W("oem21.inf"), W("Dot4_Name"), W("IEEE-1284.4 Driver QLDcor09"));

  EXPECT_EQ(RunEntry(), 0);

  Names expected;
  for (const RulePackage& p : packages) expected.push_back(p.name);
  EXPECT_EQ(Recorder().UninstalledNames(), expected);
  EXPECT_EQ(Recorder().listing, (Names{W("oem20.inf"), W("oem21.inf")}));
  EXPECT_EQ(Recorder().list_calls.size(), 16u) << "every rule lists the directory afresh";
}

TEST_F(RemovalRunTest, EveryRuleRunsEvenWhenOneCannotRemoveItsPackage) {
  for (const RulePackage& p : OnePackagePerRule()) StageInf(p.name, p.key, p.value);
  Recorder().refuse_uninstall = {W("oem13.inf")};

  EXPECT_EQ(RunEntry(), -1);
  EXPECT_EQ(Recorder().listing, Names{W("oem13.inf")});
  EXPECT_EQ(Recorder().uninstalls.size(), 8u);
}

TEST_F(RemovalRunTest, ListingFailureInOneRuleFailsTheRunButTheRestStillRun) {
  for (const RulePackage& p : OnePackagePerRule()) StageInf(p.name, p.key, p.value);
  Recorder().failing_list_calls = {0};  // rule 1's size query

  EXPECT_EQ(RunEntry(), -1);
  EXPECT_EQ(Recorder().listing, Names{W("oem11.inf")});
  EXPECT_EQ(Recorder().uninstalls.size(), 7u);
}

TEST_F(RemovalRunTest, NothingToRemoveExitsZero) {
  StageInf(W("oem1.inf"), W("DriverVer"), W("06/21/2006,10.0.19041.1"));
  StageInf(W("machine.inf"), W("DESCR1"), W("Standard system devices"));

  EXPECT_EQ(RunEntry(), 0);
  EXPECT_TRUE(Recorder().uninstalls.empty());
  EXPECT_EQ(Recorder().reads.size(), 16u);
}

TEST_F(RemovalRunTest, PackageMatchingTwoRulesIsRemovedByTheFirstOnly) {
  StageInf(W("oem5.inf"), W("Tamrix_Vessa_Driver_Name"), W("Vessa"));
  Recorder().infs[W("oem5.inf")][W("Dot4_Name")] = W("IEEE-1284.4 Driver QLDcor08");

  EXPECT_EQ(RunEntry(), 0);
  EXPECT_EQ(Recorder().UninstalledNames(), Names{W("oem5.inf")});
}

TEST_F(RemovalRunTest, PackageMatchingTwoRulesIsTriedByEachWhileItCannotBeRemoved) {
  StageInf(W("oem5.inf"), W("Tamrix_Vessa_Driver_Name"), W("Vessa"));
  Recorder().infs[W("oem5.inf")][W("Dot4_Name")] = W("IEEE-1284.4 Driver QLDcor08");
  Recorder().refuse_uninstall = {W("oem5.inf")};

  EXPECT_EQ(RunEntry(), -1);
  EXPECT_EQ(Recorder().UninstalledNames(), (Names{W("oem5.inf"), W("oem5.inf")}));
}

TEST_F(RemovalRunTest, CommandLineHasNoEffect) {
  WideString help = W("/?");
  WideString junk = W("--force C:\\Windows\\inf\\oem11.inf \"quoted arg\"");
  LPWSTR command_lines[] = {nullptr, help.data(), junk.data()};
  for (LPWSTR command_line : command_lines) {
    SCOPED_TRACE(command_line == nullptr ? "no command line" : "with a command line");
    ResetRecorder();
    for (const RulePackage& p : OnePackagePerRule()) StageInf(p.name, p.key, p.value);
    Recorder().refuse_uninstall = {W("oem12.inf")};

    EXPECT_EQ(RunEntry(command_line), -1);
    EXPECT_EQ(Recorder().listing, Names{W("oem12.inf")});
    EXPECT_EQ(Recorder().uninstalls.size(), 8u);
  }
}

}  // namespace
