// The Linux build's machine: a temporary Windows directory handed to the executable as WINDIR.
#include "test_machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "posix_process.h"

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

}  // namespace

TreeSnapshot TestMachine::Snapshot() const {
  TreeSnapshot files;
  SnapshotInto(windows_directory_, windows_directory_, &files);
  return files;
}

namespace {

// Runs `program` on the machine whose Windows directory is `windows_directory`, with its standard
// output and error as given; returns its exit status and sets *peak_memory_kib.
std::uint32_t Start(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& windows_directory, int out_fd, int err_fd,
                    std::uint64_t* peak_memory_kib) {
  ProcessSpec spec;
  spec.argv = {program};
  spec.argv.insert(spec.argv.end(), arguments.begin(), arguments.end());
  spec.environment = {"WINDIR=" + windows_directory};
  spec.out_fd = out_fd;
  spec.err_fd = err_fd;
  spec.watch_memory = true;
  const ProcessResult result = RunPosixProcess(spec);
  if (result.exit_status < 0) throw std::runtime_error(program + " did not exit normally");
  *peak_memory_kib = result.peak_memory_kib;
  return static_cast<std::uint32_t>(result.exit_status);
}

}  // namespace

std::uint32_t TestMachine::Run(const std::vector<std::string>& arguments) {
  return Start(SPR_EXECUTABLE, arguments, windows_directory_, ProcessSpec::kInherit,
               ProcessSpec::kInherit, &peak_memory_kib_);
}

TestMachine::CheckRun TestMachine::RunCheck(const std::vector<std::string>& arguments,
                                            OutputTarget target) {
  const CaptureFile out, err;
  // /dev/full takes the open and refuses every write with ENOSPC, as a full disk does.
  const int full = target == OutputTarget::kUnwritable ? open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;
  if (target == OutputTarget::kUnwritable && full < 0) throw std::runtime_error("no /dev/full");
  const int out_fd = target == OutputTarget::kCaptured ? out.fd()
                     : target == OutputTarget::kClosed ? ProcessSpec::kClosed
                                                       : full;
  std::uint64_t peak_memory_kib = 0;
  const std::uint32_t exit_code = Start(SPR_CHECK_EXECUTABLE, arguments, windows_directory_,
                                        out_fd, err.fd(), &peak_memory_kib);
  if (full >= 0) close(full);
  return {exit_code, out.Text(), err.Text()};
}

std::uint32_t TestMachine::ExitCodeFor(int code) { return static_cast<std::uint32_t>(code) & 0xFFu; }
