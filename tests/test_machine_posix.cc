// The Linux build's machine: a temporary Windows directory handed to the executable as WINDIR.
#include "test_machine.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::map<std::string, std::string> TestMachine::Snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(windows_directory_)) {
    const std::string relative = fs::relative(entry.path(), windows_directory_).string();
    if (entry.is_directory()) {
      files[relative + "/"] = "";
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    files[relative] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

std::uint32_t TestMachine::Run(const std::vector<std::string>& arguments) {
  std::vector<std::string> args = {SPR_EXECUTABLE};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::string windir = "WINDIR=" + windows_directory_;
  std::vector<char*> env = {windir.data()};
  for (char** var = environ; *var != nullptr; ++var) {
    if (std::string(*var).rfind("WINDIR=", 0) != 0) env.push_back(*var);
  }
  env.push_back(nullptr);

  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), env.data()) != 0) {
    throw std::runtime_error("cannot start " + args[0]);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    throw std::runtime_error("the executable did not exit normally");
  }
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

std::uint32_t TestMachine::ExitCodeFor(int code) { return static_cast<std::uint32_t>(code) & 0xFFu; }
