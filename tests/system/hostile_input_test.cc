// The Linux build against hostile machines: malformed, huge, numerous, oddly named and linked INF
// files. Whatever the INF directory holds, the run must end with the right exit code and change
// nothing but the removal of matching OEM INF files (and their .pnf).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "staged_cases.h"
#include "test_machine.h"
#include "tree_snapshot.h"

namespace fs = std::filesystem;

namespace {

const char kMatch[] = "DESCR1=\"Tamrix PNP\"\r\n";
const std::string kHeader = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";

std::string Garbage(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Garbage in which no line can open a section, so that a key after it is still in [Strings].
std::string GarbageWithoutSections(size_t size, unsigned seed) {
  std::string bytes = Garbage(size, seed);
  for (char& byte : bytes) {
    if (byte == '[') byte = '(';
  }
  return bytes;
}

// Runs the machine and checks the exit code and that exactly `removed` (paths relative to the
// Windows directory) are gone, everything else byte for byte as it was.
void ExpectRun(TestMachine& machine, int exit_code, const std::vector<std::string>& removed) {
  TreeSnapshot expected = machine.Snapshot();
  for (const std::string& path : removed) EXPECT_EQ(expected.erase(path), 1u) << path;
  EXPECT_EQ(machine.Run(), TestMachine::ExitCodeFor(exit_code));
  EXPECT_EQ(SnapshotDifferences(expected, machine.Snapshot()), std::vector<std::string>{});
}

TEST(HostileInputTest, MalformedFilesAreReadSafelyAndJudgedByTheirText) {
  struct Case {
    const char* name;
    std::string bytes;
    bool removed;
  };
  std::string odd_utf16 = Utf16LeFile(kHeader + "[Strings]\r\n" + kMatch) + "\x41";
  const Case cases[] = {
      {"binary garbage", Garbage(65536, 1), false},
      {"binary garbage after a valid header", kHeader + "[Strings]\r\n" + GarbageWithoutSections(65536, 2) + "\r\n" + kMatch, true},
      {"binary garbage that opens another section", kHeader + "[Strings]\r\n" + Garbage(65536, 2) + "\r\n" + kMatch, false},
      {"NUL inside the value ends it", kHeader + "[Strings]\r\n" + std::string("DESCR1=Tamrix PNP\0tail\r\n", 23), true},
      {"NUL inside the expected text", kHeader + "[Strings]\r\n" + std::string("DESCR1=Tamrix\0 PNP\r\n", 20), false},
      {"NUL inside the key name", kHeader + "[Strings]\r\n" + std::string("DESC\0R1=Tamrix PNP\r\n", 20), false},
      {"UTF-16 with an odd byte count", odd_utf16, true},
      {"UTF-16 without its byte order mark", Utf16LeFile(kHeader + "[Strings]\r\n" + kMatch).substr(2), false},
      {"1 MiB line before the key", kHeader + "[Strings]\r\nLong=" + std::string(1 << 20, 'x') + "\r\n" + kMatch, true},
      {"1 MiB value that merely starts like a match", kHeader + "[Strings]\r\nDESCR1=Tamrix PNP" + std::string(1 << 20, ' ') + "x\r\n", false},
      {"1 MiB line without a line end", kHeader + "[Strings]\r\n" + kMatch + std::string(1 << 20, '['), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine;
    machine.Stage("oem1.inf", c.bytes, false);
    machine.Stage("oem2.inf", InfText(kMatch), false);
    std::vector<std::string> removed = {"inf/oem2.inf"};
    if (c.removed) removed.push_back("inf/oem1.inf");
    ExpectRun(machine, 0, removed);
  }
}

TEST(HostileInputTest, HundredThousandSectionsBeforeTheStrings) {
  std::string bytes = kHeader;
  for (int i = 0; i < 100000; ++i) bytes += "[S" + std::to_string(i) + "]\r\nk=v\r\n";
  TestMachine machine;
  machine.Stage("oem1.inf", bytes + "[Strings]\r\n" + kMatch, false);
  machine.Stage("oem2.inf", bytes + "[Strings]\r\nDESCR1=Tamrix PNP!\r\n", false);
  ExpectRun(machine, 0, {"inf/oem1.inf"});
}

TEST(HostileInputTest, GibibyteInfIsReadInBoundedMemory) {
  TestMachine machine;
  machine.Stage("oem2.inf", InfText("Dot4_Name=\"IEEE-1284.4 Driver QLDcor08\"\r\n"), false);
  // 1 GiB of hole between the header and the matching key: no disk is used, every byte is read.
  const std::string head = kHeader + "[Strings]\r\nProvider=x\r\n";
  const std::string tail = "\r\nDot4_Name=\"IEEE-1284.4 Driver QLDcor08\"\r\n";
  const std::string path = machine.WindowsDirectory() + "/inf/oem1.inf";
  {
    std::ofstream(path, std::ios::binary) << head;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(head.size()) + (off_t{1} << 30)), 0);
    std::ofstream(path, std::ios::binary | std::ios::app) << tail;
  }
  EXPECT_EQ(machine.Run(), 0u);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(machine.WindowsDirectory() + "/inf/oem2.inf"));
  std::cout << "peak memory of the run over a 1 GiB INF: " << machine.PeakMemoryKiB() << " KiB\n";
  EXPECT_GT(machine.PeakMemoryKiB(), 0u) << "the run was not measured";
  EXPECT_LT(machine.PeakMemoryKiB(), 64u * 1024u);
}

TEST(HostileInputTest, TwentyThousandInfs) {
  TestMachine machine;
  std::vector<std::string> removed;
  for (int i = 1; i <= 20000; ++i) {
    const std::string name = "oem" + std::to_string(i) + ".inf";
    const bool match = i % 1000 == 0;
    machine.Stage(name, InfText(match ? kMatch : "DESCR1=\"Tamrix PNP " + std::to_string(i) + "\"\r\n"), false);
    if (match) removed.push_back("inf/" + name);
  }
  ExpectRun(machine, 0, removed);
}

TEST(HostileInputTest, OddNamesAreNeverTakenForOemInfs) {
  TestMachine machine;
  const std::string inf = machine.WindowsDirectory() + "/inf/";
  machine.Stage("oem5.inf", InfText(kMatch), false);
  machine.Stage("t\xC3\xA4mrix.inf", InfText(kMatch), false);           // non-ASCII, not OEM
  machine.Stage("\xFF\xFE-latin1.inf", InfText(kMatch), false);        // not UTF-8 at all
  machine.Stage("\xD0\xBE" "em6.inf", InfText(kMatch), false);         // Cyrillic o
  machine.Stage("oem\xD9\xA1.inf", InfText(kMatch), false);            // Arabic-Indic digit one
  machine.Stage(std::string(247, 'o') + "em7.inf", InfText(kMatch), false);  // 255 bytes
  machine.Stage("oem8.inf.bak", InfText(kMatch), false);
  // Everything that matches but is no OEM INF is refused, so the run reports the failure.
  ExpectRun(machine, -1, {"inf/oem5.inf"});
}

TEST(HostileInputTest, LinksAreRemovedNeverTheirTargets) {
  TestMachine machine;
  const fs::path windir = machine.WindowsDirectory();
  const fs::path inf = windir / "inf";
  fs::create_directories(windir / "system32");
  std::ofstream(windir / "system32" / "target.inf", std::ios::binary) << InfText(kMatch);
  fs::create_directory(windir / "system32" / "folder.inf");
  fs::create_symlink("../system32/target.inf", inf / "oem1.inf");
  fs::create_symlink("../system32/folder.inf", inf / "oem2.inf");
  fs::create_symlink("missing.inf", inf / "oem3.inf");
  fs::create_symlink("oem5.inf", inf / "oem4.inf");
  fs::create_symlink("oem4.inf", inf / "oem5.inf");
  fs::create_symlink(inf / "oem7.inf", inf / "oem6.inf");
  machine.Stage("oem7.inf", InfText(kMatch), false);

  // oem6 is read through its link and removed first; its target oem7 is then removed in its own
  // right by the same rule.
  ExpectRun(machine, 0, {"inf/oem1.inf", "inf/oem6.inf", "inf/oem7.inf"});
  EXPECT_TRUE(fs::is_regular_file(windir / "system32" / "target.inf"));
}

TEST(HostileInputTest, InfDirectoryThatIsAFileFailsTheRunAndTheCheck) {
  TestMachine machine;
  const fs::path inf = fs::path(machine.WindowsDirectory()) / "inf";
  fs::remove(inf);
  std::ofstream(inf, std::ios::binary) << InfText(kMatch);
  const TestMachine::CheckRun check = machine.RunCheck();
  EXPECT_EQ(check.exit_code, 2u);
  EXPECT_EQ(check.out, "") << "an incomplete check reports nothing";
  EXPECT_NE(check.err, "");
  ExpectRun(machine, -1, {});
}

}  // namespace

namespace {

// INF texts with what a run must make of them, labelled by hand.
struct Sample {
  std::string bytes;
  bool matches;  // listed as a Windows-4 INF and matching one of the rules
};

std::vector<Sample> Samples() {
  const std::string no_signature = "[Version]\r\nClass=Printer\r\n[Strings]\r\n";
  return {
      {InfText("Tamrix_Vessa_Driver_Name=\"Vessa\"\r\n"), true},
      {Utf16LeFile(InfText("DESCR1=\"Tamrix NXR KLT\"\r\n")), true},
      {InfText("descr1 = tamrix pnp\r\n"), true},
      {Utf16LeFile(InfText("Dot4_Name=\"IEEE-1284.4 DRIVER QLDcor08\"\r\n")), true},
      {InfText("Dot4Usb_Name=USB Bridge Driver for IEEE-1284.4 QLDusb08\r\n"), true},
      {InfText("Dot4Par_Name='Parallel Port Bridge Driver for IEEE-1284.4'\r\n"), true},
      {InfText("Dot4Print_Name=\"IEEE-1284.4 Printing Class Driver QLDprn08\"\r\n"), true},
      {Utf16LeFile(InfText("DeviceDesc=\"QLD IEEE-1284.4 Storage Function Driver V8\"\r\n")), true},
      {InfText("DESCR1=\"Tamrix PNP \"\r\n"), false},
      {InfText("DESCR1=\"Tamrix NXR\"\r\n"), false},
      {InfText("Tamrix_Vessa_Driver_Name=\r\n"), false},
      {InfText("Dot4_Name=\"IEEE-1284.4 Driver QLDcor08x\"\r\n"), false},
      {InfText("\r\n[Strings.0407]\r\nDESCR1=\"Tamrix PNP\"\r\n"), false},
      {InfText("DeviceDesc=\"Generic USB Hub\"\r\n"), false},
      {no_signature + "DESCR1=\"Tamrix PNP\"\r\n", false},
      {Garbage(4096, 7), false},
      {"", false},
  };
}

struct StagedFile {
  std::string name;
  size_t sample;
  bool read_only;
  bool is_link;  // a link to a copy of the sample under system32/
};

// File names on Windows ignore case, and so does its idea of an OEM INF name.
bool IsOemName(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name.size() < 8 || name.compare(0, 3, "oem") != 0 || name.compare(name.size() - 4, 4, ".inf") != 0) {
    return false;
  }
  const std::string digits = name.substr(3, name.size() - 7);
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The safety property, on randomised machines.
TEST(HostileInputTest, RandomMachinesLoseOnlyMatchingOemInfsAndTheirPnf) {
  const std::vector<Sample> samples = Samples();
  for (unsigned seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    TestMachine machine;
    const fs::path windir = machine.WindowsDirectory();
    fs::create_directories(windir / "system32" / "drivers");
    fs::create_directories(windir / "inf" / "sub");
    std::ofstream(windir / "system32" / "drivers" / "tamrix.sys", std::ios::binary) << Garbage(512, seed);
    std::ofstream(windir / "inf" / "sub" / "oem900.inf", std::ios::binary) << samples[0].bytes;

    std::vector<StagedFile> staged;
    const int count = 5 + static_cast<int>(random() % 20);
    for (int i = 0; i < count; ++i) {
      const unsigned kind = random() % 8;
      const std::string name = kind == 0 ? "vendor" + std::to_string(i) + ".inf"
                               : kind == 1 ? "oem" + std::to_string(i) + ".INF"
                                           : "oem" + std::to_string(i) + ".inf";
      staged.push_back({name, random() % samples.size(), random() % 6 == 0, random() % 8 == 0});
      const StagedFile& file = staged.back();
      if (file.is_link) {
        const fs::path target = windir / "system32" / ("copy-" + name);
        std::ofstream(target, std::ios::binary) << samples[file.sample].bytes;
        if (file.read_only) fs::permissions(target, fs::perms::owner_read);
        fs::create_symlink(target, windir / "inf" / name);
      } else {
        machine.Stage(name, samples[file.sample].bytes, file.read_only);
      }
      if (random() % 2 == 0) {
        std::ofstream(windir / "inf" / (name.substr(0, name.size() - 4) + ".pnf"), std::ios::binary) << "PNF";
      }
    }

    // What Windows would do: uninstall every matching OEM INF it is allowed to delete.
    std::set<std::string> removable;
    bool refused = false;
    for (const StagedFile& file : staged) {
      if (!samples[file.sample].matches) continue;
      if (IsOemName(file.name) && !file.read_only) {
        removable.insert("inf/" + file.name);
        removable.insert("inf/" + file.name.substr(0, file.name.size() - 4) + ".pnf");
      } else {
        refused = true;
      }
    }

    TreeSnapshot expected = machine.Snapshot();
    for (const std::string& path : removable) expected.erase(path);
    EXPECT_EQ(machine.Run(), TestMachine::ExitCodeFor(refused ? -1 : 0));
    EXPECT_EQ(SnapshotDifferences(expected, machine.Snapshot()), std::vector<std::string>{});
  }
}

}  // namespace
