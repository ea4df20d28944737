// The built executable on a whole machine: its exit code, and the Windows directory before and
// after, which must differ by exactly the expected removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

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

// The check's report after the run: the lines of the report before it whose INF is still there.
std::vector<CheckLine> LeftBehind(const StagedCase& c) {
  std::vector<CheckLine> left;
  for (const CheckLine& line : c.check) {
    if (std::find(c.removed.begin(), c.removed.end(), line.inf) == c.removed.end()) left.push_back(line);
  }
  return left;
}

// Each machine is checked, cleaned and checked again: the check names exactly what the removal
// will take and changes nothing; the removal takes exactly that (and the .pnf where the platform
// does); the check then names exactly what the removal could not take.
TEST(EndToEndTest, StagedMachinesAreCheckedCleanedAndCheckedAgain) {
  for (const StagedCase& c : StagedCases()) {
    if (!HoldsHere(c.holds)) continue;
    SCOPED_TRACE(c.name);
    TestMachine machine;
    for (const StagedInf& inf : c.infs) machine.Stage(inf.name, inf.bytes, inf.read_only);
    const auto before = machine.Snapshot();

    const TestMachine::CheckRun first = machine.RunCheck();
    EXPECT_EQ(first.exit_code, c.check.empty() ? 0u : 1u);
    EXPECT_EQ(ParseCheckReport(first.out), c.check);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(SnapshotDifferences(before, machine.Snapshot()), std::vector<std::string>{})
        << "the check changed the machine";

    EXPECT_EQ(machine.Run(), TestMachine::ExitCodeFor(c.exit_code));
    auto expected = before;
    for (const std::string& name : c.removed) EXPECT_EQ(expected.erase(InfKey(name)), 1u) << name;
    EXPECT_EQ(SnapshotDifferences(expected, machine.Snapshot()), std::vector<std::string>{});

    const TestMachine::CheckRun after = machine.RunCheck();
    const std::vector<CheckLine> left = LeftBehind(c);
    EXPECT_EQ(after.exit_code, left.empty() ? 0u : 1u);
    EXPECT_EQ(ParseCheckReport(after.out), left);
    EXPECT_EQ(after.err, "");
  }
}

TEST(EndToEndTest, CheckPrintsItsUsageAndRefusesOtherArguments) {
  struct Case {
    std::vector<std::string> arguments;
    std::uint32_t exit_code;
  };
  const Case cases[] = {
      {{"/?"}, 0}, {{"-h"}, 0}, {{"--help"}, 0},
      {{"/uninstall"}, 2}, {{"--help", "extra"}, 2}, {{"-?"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + (c.arguments.size() > 1 ? " ..." : ""));
    TestMachine machine;
    machine.Stage("oem1.inf", InfText("DESCR1=\"Tamrix PNP\"\r\n"), false);
    const auto before = machine.Snapshot();

    const TestMachine::CheckRun run = machine.RunCheck(c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    if (c.exit_code == 0) {
      EXPECT_EQ(run.out.rfind("Usage: staged-package-check", 0), 0u) << run.out;
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_EQ(run.out, "") << "a refused argument reports nothing";
      EXPECT_NE(run.err.find("unexpected argument"), std::string::npos) << run.err;
    }
    EXPECT_EQ(SnapshotDifferences(before, machine.Snapshot()), std::vector<std::string>{});
  }
}

// A report that cannot be written is no report: the check says so on standard error and exits 2,
// whatever it found. With nothing to report, nothing is lost.
TEST(EndToEndTest, CheckExitsTwoWhenItsOutputCannotBeWritten) {
  using Target = TestMachine::OutputTarget;
  struct Case {
    const char* name;
    bool match;
    std::vector<std::string> arguments;
    Target target;
    std::uint32_t exit_code;
  };
  const Case cases[] = {
      {"report, no standard output", true, {}, Target::kClosed, 2},
      {"report, standard output refuses writes", true, {}, Target::kUnwritable, 2},
      {"usage, no standard output", false, {"/?"}, Target::kClosed, 2},
      {"usage, standard output refuses writes", false, {"--help"}, Target::kUnwritable, 2},
      {"nothing to report, no standard output", false, {}, Target::kClosed, 0},
      {"nothing to report, standard output refuses writes", false, {}, Target::kUnwritable, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine;
    machine.Stage("oem1.inf", InfText(c.match ? "DESCR1=\"Tamrix PNP\"\r\n" : "DESCR1=x\r\n"), false);
    const auto before = machine.Snapshot();

    const TestMachine::CheckRun run = machine.RunCheck(c.arguments, c.target);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.out, "");
    if (c.exit_code == 2) {
      EXPECT_NE(run.err.find("could not be written"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(SnapshotDifferences(before, machine.Snapshot()), std::vector<std::string>{});
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
  const TestMachine::CheckRun check = machine.RunCheck();
  EXPECT_EQ(check.exit_code, 0u);
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(machine.Run(), 0u);
  EXPECT_EQ(SnapshotDifferences(before, machine.Snapshot()), std::vector<std::string>{});
}

}  // namespace
