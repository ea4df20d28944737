// The Windows executable's machine: the Wine prefix's own Windows directory, run through
// CreateProcessW so that the full 32-bit exit code is seen.
#include "test_machine.h"

#include "win32_process.h"
#include "win32_text.h"
#include "wine_listing.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>

const bool TestMachine::kIsWine = true;

namespace {

std::wstring SystemWindowsDirectory() {
  wchar_t buffer[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) throw std::runtime_error("no Windows directory");
  return std::wstring(buffer, length);
}

std::string ReadFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot read " + Narrow(path));
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got != 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + Narrow(path));
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) throw std::runtime_error("short write to " + Narrow(path));
}

void Delete(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
}

// Runs the executable beside this one with these arguments, its standard output and error going
// to the given handles (null: not redirected), and returns its full 32-bit exit code.
std::uint32_t RunBeside(const wchar_t* name, const std::vector<std::string>& arguments, HANDLE out,
                        HANDLE err) {
  const std::wstring executable = PathBesideThisExecutable(name);
  std::wstring command_line = L"\"" + executable + L"\"";
  for (const std::string& argument : arguments) command_line += L" " + Wide(argument);
  ProcessOptions options;
  options.out = out;
  options.err = err;
  const std::optional<DWORD> exit_code = RunProcess(executable, command_line, options);
  if (!exit_code) {
    throw std::runtime_error("cannot start " + Narrow(executable) + " (error " +
                             std::to_string(GetLastError()) + ")");
  }
  return *exit_code;
}

// A temporary file that a child can write its output to, read and removed afterwards.
class CaptureFile {
 public:
  CaptureFile() {
    wchar_t directory[MAX_PATH];
    wchar_t name[MAX_PATH];
    if (GetTempPathW(MAX_PATH, directory) == 0 || GetTempFileNameW(directory, L"spr", 0, name) == 0) {
      throw std::runtime_error("no temporary file");
    }
    path_ = name;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    handle_ = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + Narrow(path_));
  }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    DeleteFileW(path_.c_str());
  }
  HANDLE handle() const { return handle_; }
  const std::wstring& path() const { return path_; }
  std::string Text() {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return ReadFile(path_);
  }

 private:
  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

TestMachine::TestMachine() : windows_directory_(Narrow(SystemWindowsDirectory())) {}

TestMachine::~TestMachine() {
  const std::wstring windir = Wide(windows_directory_);
  for (const std::string& name : staged_) {
    Delete(windir + L"\\inf\\" + Wide(name));
    RemoveWineListingAlias(windir, Wide(name));
  }
}

void TestMachine::Stage(const std::string& name, const std::string& bytes, bool read_only) {
  const std::wstring windir = Wide(windows_directory_);
  const std::wstring path = windir + L"\\inf\\" + Wide(name);
  WriteFile(path, bytes);
  AddWineListingAlias(windir, Wide(name));
  if (read_only) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
  staged_.push_back(name);
}

TreeSnapshot TestMachine::Snapshot() const {
  const std::wstring inf = Wide(windows_directory_) + L"\\inf\\";
  TreeSnapshot files;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((inf + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    files[InfKey(Narrow(found.cFileName))] = ReadFile(inf + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return files;
}

std::uint32_t TestMachine::Run(const std::vector<std::string>& arguments) {
  return RunBeside(L"staged-package-removal.exe", arguments, nullptr, nullptr);
}

TestMachine::CheckRun TestMachine::RunCheck(const std::vector<std::string>& arguments,
                                            OutputTarget target) {
  CaptureFile out, err;
  HANDLE out_handle = out.handle();
  HANDLE read_only = INVALID_HANDLE_VALUE;
  if (target == OutputTarget::kClosed) out_handle = nullptr;
  if (target == OutputTarget::kUnwritable) {
    // The capture file again, opened for reading only: every write to it is refused.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    read_only = CreateFileW(out.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            &inherited, OPEN_EXISTING, 0, nullptr);
    if (read_only == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot reopen the capture");
    out_handle = read_only;
  }
  const std::uint32_t exit_code =
      RunBeside(L"staged-package-check.exe", arguments, out_handle, err.handle());
  if (read_only != INVALID_HANDLE_VALUE) CloseHandle(read_only);
  return {exit_code, out.Text(), err.Text()};
}

std::uint32_t TestMachine::ExitCodeFor(int code) { return static_cast<std::uint32_t>(code); }
