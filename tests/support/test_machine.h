// A Windows machine for end-to-end runs of the built executable: on Linux a temporary directory
// named by WINDIR, under Wine the prefix's own Windows directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tree_snapshot.h"

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // Writes one file into the INF directory, read-only if asked (the platform then refuses to
  // delete it).
  void Stage(const std::string& name, const std::string& bytes, bool read_only);

  // Every file that the run may touch, by path relative to the Windows directory, with its bytes
  // (a symbolic link with its target instead, a directory with a trailing "/").
  TreeSnapshot Snapshot() const;

  // Runs the removal with these arguments and returns the process exit code as Windows reports it
  // to a deployment tool: all 32 bits under Wine, the low 8 on Linux.
  std::uint32_t Run(const std::vector<std::string>& arguments = {});

  // What a run of the read-only check gave: its exit code as Run reports one, and its standard
  // output and error as bytes.
  struct CheckRun {
    std::uint32_t exit_code;
    std::string out;
    std::string err;
  };
  // Where the check's standard output goes.
  enum class OutputTarget {
    kCaptured,    // a file, read back into CheckRun::out
    kClosed,      // nowhere: closed on Linux, no handle at all on Windows
    kUnwritable,  // a target that refuses every write: /dev/full on Linux (as a full disk),
                  // a file opened for reading only on Windows
  };
  CheckRun RunCheck(const std::vector<std::string>& arguments = {},
                    OutputTarget target = OutputTarget::kCaptured);

  // What Run returns for a run that returned `code` from its entry.
  static std::uint32_t ExitCodeFor(int code);

  // The Windows directory, as a path of the platform the tests run on.
  const std::string& WindowsDirectory() const { return windows_directory_; }

  // Peak resident memory of the last run in KiB, where the platform reports it (Linux); else 0.
  std::uint64_t PeakMemoryKiB() const { return peak_memory_kib_; }

  static const bool kIsWine;

 private:
  std::string windows_directory_;
  std::vector<std::string> staged_;
  std::uint64_t peak_memory_kib_ = 0;
};

// The INF directory's path prefix used in Snapshot() keys.
inline std::string InfKey(const std::string& name) { return "inf/" + name; }
