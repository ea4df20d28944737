// The built executable on a whole machine: its exit code, and the Windows directory before and
// after, which must differ by exactly the expected removals.
#include <gtest/gtest.h>

#include "staged_cases.h"
#include "test_machine.h"
#include "tree_snapshot.h"

namespace {

bool HoldsHere(Holds holds) {
  switch (holds) {
    case Holds::kEverywhere: return true;
    case Holds::kOnTheStandIn: return !TestMachine::kIsWine;
    case Holds::kUnderWine: return TestMachine::kIsWine;
  }
  return false;
}

TEST(EndToEndTest, StagedMachinesLoseExactlyTheirMatchingPackages) {
  for (const StagedCase& c : StagedCases()) {
    if (!HoldsHere(c.holds)) continue;
    SCOPED_TRACE(c.name);
    TestMachine machine;
    for (const StagedInf& inf : c.infs) machine.Stage(inf.name, inf.bytes, inf.read_only);
    const auto before = machine.Snapshot();

    EXPECT_EQ(machine.Run(), TestMachine::ExitCodeFor(c.exit_code));

    auto expected = before;
    for (const std::string& name : c.removed) EXPECT_EQ(expected.erase(InfKey(name)), 1u) << name;
    EXPECT_EQ(SnapshotDifferences(expected, machine.Snapshot()), std::vector<std::string>{});
  }
}

TEST(EndToEndTest, FailureIsReportedAsMinusOne) {
  TestMachine machine;
  machine.Stage("oem1.inf", Utf16LeFile(InfText("DESCR1=\"Tamrix NXR KLT\"\r\n")), true);

  EXPECT_EQ(machine.Run(), TestMachine::kIsWine ? 4294967295u : 255u);
  EXPECT_EQ(machine.Snapshot().count(InfKey("oem1.inf")), 1u);
}

TEST(EndToEndTest, CommandLineHasNoEffect) {
  const std::vector<std::vector<std::string>> command_lines = {
      {}, {"/?"}, {"/uninstall", "oem2.inf", "--dry-run"}, {"\"C:\\Windows\\inf\\oem2.inf\""}};
  for (const auto& arguments : command_lines) {
    SCOPED_TRACE(arguments.empty() ? "no arguments" : arguments.front());
    TestMachine machine;
    machine.Stage("oem1.inf", InfText("Dot4Par_Name=Parallel Port Bridge Driver for IEEE-1284.4\r\n"), false);
    machine.Stage("oem2.inf", InfText("Dot4Par_Name=Parallel Port Bridge Driver\r\n"), false);
    auto expected = machine.Snapshot();
    expected.erase(InfKey("oem1.inf"));

    EXPECT_EQ(machine.Run(arguments), 0u);
    EXPECT_EQ(SnapshotDifferences(expected, machine.Snapshot()), std::vector<std::string>{});
  }
}

TEST(EndToEndTest, EmptyInfDirectoryExitsZero) {
  TestMachine machine;
  const auto before = machine.Snapshot();
  EXPECT_EQ(machine.Run(), 0u);
  EXPECT_EQ(SnapshotDifferences(before, machine.Snapshot()), std::vector<std::string>{});
}

}  // namespace
