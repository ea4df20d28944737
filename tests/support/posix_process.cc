// The POSIX process runner shared by the Linux suites and the benchmark.
#include "posix_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string NameOf(const std::string& variable) { return variable.substr(0, variable.find('=')); }

// VmHWM of a running process in KiB; 0 once it is gone.
std::uint64_t PeakMemoryKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

void Redirect(posix_spawn_file_actions_t* actions, int fd, int target) {
  if (fd == ProcessSpec::kClosed) {
    posix_spawn_file_actions_addclose(actions, target);
  } else if (fd != ProcessSpec::kInherit) {
    posix_spawn_file_actions_adddup2(actions, fd, target);
  }
}

}  // namespace

ProcessResult RunPosixProcess(const ProcessSpec& spec) {
  std::vector<std::string> args = spec.argv;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> variables = spec.environment;
  for (char** var = environ; *var != nullptr; ++var) {
    const std::string name = NameOf(*var);
    const bool replaced = std::any_of(spec.environment.begin(), spec.environment.end(),
                                      [&](const std::string& v) { return NameOf(v) == name; });
    if (!replaced) variables.push_back(*var);
  }
  std::vector<char*> env;
  for (std::string& variable : variables) env.push_back(variable.data());
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Redirect(&actions, spec.out_fd, STDOUT_FILENO);
  Redirect(&actions, spec.err_fd, STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + args[0]);

  // glibc's posix_spawn returns only once the child has started the program (it clones with
  // CLONE_VFORK since glibc 2.24), so every figure polled here is the program's own, never that
  // of this process's copy. rusage would count this process too.
  ProcessResult result;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, spec.watch_memory ? WNOHANG : 0);
    if (done == pid) break;
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) throw std::runtime_error("cannot wait for " + args[0]);
    result.peak_memory_kib = std::max(result.peak_memory_kib, PeakMemoryKiB(pid));
    usleep(1000);
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CaptureFile::CaptureFile() {
  std::string pattern = (fs::temp_directory_path() / "spr-output-XXXXXX").string();
  fd_ = mkstemp(pattern.data());
  if (fd_ < 0) throw std::runtime_error("mkstemp failed");
  path_ = pattern;
}

CaptureFile::~CaptureFile() {
  close(fd_);
  unlink(path_.c_str());
}

std::string CaptureFile::Text() const {
  std::ifstream in(path_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
