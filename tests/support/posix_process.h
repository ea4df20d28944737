// Test support on Linux: starting a program, waiting for it, and what it cost; and a file to
// take its output. One runner for the suites and the benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ProcessSpec {
  // The program and its arguments; a program without '/' is looked up on PATH.
  std::vector<std::string> argv;
  // NAME=VALUE entries added to this process's environment, each in place of an inherited entry
  // of the same name, so that the child sees one value whatever its getenv takes.
  std::vector<std::string> environment;
  // Standard output and error: a descriptor to give the child, kInherit, or kClosed (the child
  // starts with it closed).
  static constexpr int kInherit = -1;
  static constexpr int kClosed = -2;
  int out_fd = kInherit;
  int err_fd = kInherit;
  // Poll the child's peak resident memory while it runs.
  bool watch_memory = false;
};

struct ProcessResult {
  int exit_status = -1;            // -1 when it did not exit normally
  std::uint64_t peak_memory_kib = 0;  // with watch_memory; 0 if never seen
  double seconds = 0;              // from the start to the exit
};

// Runs the program to its end. Throws std::runtime_error when it cannot be started.
ProcessResult RunPosixProcess(const ProcessSpec& spec);

// A temporary file to take a child's output, removed with the object.
class CaptureFile {
 public:
  CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile();
  int fd() const { return fd_; }
  std::string Text() const;

 private:
  int fd_ = -1;
  std::string path_;
};
