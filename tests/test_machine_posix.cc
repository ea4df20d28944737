// The Linux build's machine: a temporary Windows directory handed to the executable as WINDIR.
#include "test_machine.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

const bool TestMachine::kIsWine = false;

TestMachine::TestMachine() {
  std::string pattern = (fs::temp_directory_path() / "spr-windows-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  windows_directory_ = pattern;
  fs::create_directory(fs::path(windows_directory_) / "inf");
  std::ofstream(fs::path(windows_directory_) / "win.ini") << "[windows]\r\n";
}

TestMachine::~TestMachine() {
  std::error_code ignored;
  fs::remove_all(windows_directory_, ignored);
}

void TestMachine::Stage(const std::string& name, const std::string& bytes, bool read_only) {
  const fs::path path = fs::path(windows_directory_) / "inf" / name;
  std::ofstream(path, std::ios::binary) << bytes;
  if (read_only) fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  staged_.push_back(name);
}

namespace {

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  return begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Walks without following links, so that link loops and links to directories are recorded as
// links rather than followed.
void SnapshotInto(const fs::path& root, const fs::path& directory,
                  TreeSnapshot* files) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    const fs::file_status status = fs::symlink_status(entry.path());
    if (fs::is_symlink(status)) {
      (*files)[relative] = "symlink to " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_directory(status)) {
      (*files)[relative + "/"] = "";
      SnapshotInto(root, entry.path(), files);
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      (*files)[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
}

// VmHWM of pid once it runs the executable named comm; 0 before that.
std::uint64_t PeakMemoryOfExecutable(pid_t pid, const std::string& comm) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  bool running_it = false;
  while (std::getline(status, line)) {
    if (line.rfind("Name:", 0) == 0) running_it = Trim(line.substr(5)) == comm;
    if (running_it && line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

}  // namespace

TreeSnapshot TestMachine::Snapshot() const {
  TreeSnapshot files;
  SnapshotInto(windows_directory_, windows_directory_, &files);
  return files;
}

namespace {

// A file to take a child's output, removed with the object.
class CaptureFile {
 public:
  CaptureFile() {
    std::string pattern = (fs::temp_directory_path() / "spr-output-XXXXXX").string();
    fd_ = mkstemp(pattern.data());
    if (fd_ < 0) throw std::runtime_error("mkstemp failed");
    path_ = pattern;
  }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  int fd_ = -1;
  std::string path_;
};

// Runs `program` on the machine whose Windows directory is `windows_directory`, with its standard
// output and error going to these descriptors (-1: inherited); returns its exit status and sets
// *peak_memory_kib.
std::uint32_t Start(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& windows_directory, std::vector<std::string> environment,
                    int out_fd, int err_fd, std::uint64_t* peak_memory_kib) {
  std::vector<std::string> args = {program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The read path is always the test's choice, never the machine's speed.
  std::string windir = "WINDIR=" + windows_directory;
  std::string index = "SPR_STANDIN_INDEX=off";
  std::vector<char*> env = {windir.data()};
  for (std::string& variable : environment) env.push_back(variable.data());
  env.push_back(index.data());
  for (char** var = environ; *var != nullptr; ++var) {
    const std::string variable = *var;
    if (variable.rfind("WINDIR=", 0) != 0 && variable.rfind("SPR_STANDIN_INDEX=", 0) != 0) {
      env.push_back(*var);
    }
  }
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + args[0]);
  // The child's own peak comes from /proc while it runs: rusage would also count the memory of
  // this process, which the child shares until it has started the executable.
  const std::string comm = fs::path(args[0]).filename().string().substr(0, 15);
  *peak_memory_kib = 0;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done != 0) throw std::runtime_error("cannot wait for the executable");
    *peak_memory_kib = std::max(*peak_memory_kib, PeakMemoryOfExecutable(pid, comm));
    usleep(2000);
  }
  if (!WIFEXITED(status)) throw std::runtime_error("the executable did not exit normally");
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

}  // namespace

std::uint32_t TestMachine::Run(const std::vector<std::string>& arguments) {
  return Start(SPR_EXECUTABLE, arguments, windows_directory_, environment_, -1, -1,
               &peak_memory_kib_);
}

TestMachine::CheckRun TestMachine::RunCheck(const std::vector<std::string>& arguments) {
  const CaptureFile out, err;
  std::uint64_t peak_memory_kib = 0;
  const std::uint32_t exit_code = Start(SPR_CHECK_EXECUTABLE, arguments, windows_directory_,
                                        environment_, out.fd(), err.fd(), &peak_memory_kib);
  return {exit_code, out.Text(), err.Text()};
}

std::uint32_t TestMachine::ExitCodeFor(int code) { return static_cast<std::uint32_t>(code) & 0xFFu; }
