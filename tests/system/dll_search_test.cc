// A DLL planted beside an executable, under a name the executable loads: a program that starts
// through the System32-only start-up never gets it, and the same program built without that
// start-up does (which shows that each case can fail).
#include "dll_search_probe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "win32_process.h"

namespace {

// A new, empty folder under %TEMP% (a user-writable place, like a download folder), removed with
// the files in it.
class ScopedTempFolder {
 public:
  ScopedTempFolder() {
    wchar_t temp[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH) return;
    for (unsigned attempt = 0; path_.empty() && attempt < 100; ++attempt) {
      const std::wstring candidate = std::wstring(temp, length) + L"spr-dll-search-" +
                                     std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(attempt);
      if (CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate + L"\\";
    }
  }
  ~ScopedTempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(std::filesystem::path(path_), ignored);
  }
  ScopedTempFolder(const ScopedTempFolder&) = delete;
  ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

  // With a closing backslash; empty when no folder could be made.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Runs folder\probe with dll_name as its argument and the folder as its current directory, as
// when a program is started where it was downloaded to, and returns its exit code.
DWORD RunProbe(const std::wstring& folder, const std::wstring& probe, const std::wstring& dll_name) {
  const std::wstring executable = folder + probe;
  ProcessOptions options;
  options.directory = folder.c_str();
  const std::optional<DWORD> exit_code =
      RunProcess(executable, L"\"" + executable + L"\" " + dll_name, options);
  if (!exit_code) ADD_FAILURE() << "cannot start the probe (error " << GetLastError() << ")";
  return exit_code.value_or(0);
}

// Wine gives a program its own built-in DLL for a name that it implements (version.dll) even when
// the file found first is another one, which would keep a planted copy out whatever the search
// order. Windows loads the file it finds first; Wine does too when told "native,builtin" for that
// name. Its per-program setting in the registry is read by each new process (the environment's
// WINEDLLOVERRIDES would not reach the probes: Wine passes it on from the Unix side only). On
// Windows the key means nothing.
class WineLoadsTheFileItFindsFirst {
 public:
  WineLoadsTheFileItFindsFirst(const wchar_t* program, const wchar_t* dll_name)
      : key_(std::wstring(L"Software\\Wine\\AppDefaults\\") + program) {
    const std::wstring module = std::wstring(dll_name).substr(0, std::wstring(dll_name).find(L'.'));
    const wchar_t kNativeFirst[] = L"native,builtin";
    HKEY overrides = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &overrides, nullptr) != ERROR_SUCCESS) {
      return;
    }
    ok_ = RegSetValueExW(overrides, module.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                         sizeof kNativeFirst) == ERROR_SUCCESS;
    RegCloseKey(overrides);
  }
  ~WineLoadsTheFileItFindsFirst() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
  WineLoadsTheFileItFindsFirst(const WineLoadsTheFileItFindsFirst&) = delete;
  WineLoadsTheFileItFindsFirst& operator=(const WineLoadsTheFileItFindsFirst&) = delete;

  bool ok() const { return ok_; }

 private:
  std::wstring key_;
  bool ok_ = false;
};

struct PlantedDllCase {
  const char* name;
  const wchar_t* probe;     // copied into the folder and started from there
  const wchar_t* dll_name;  // the planted DLL's name in the folder, and what the probe loads
  DWORD expected;
};

// planted.dll exists only in the folder; version.dll is also in System32, and one of the names
// most often planted, since many programs and system DLLs load it. The "-default" probes are the
// same programs without the start-up.
constexpr PlantedDllCase kPlantedDllCases[] = {
    {"GUI, start-up, only the planted copy",           L"dll-search-probe-gui-system32.exe",     L"planted.dll", kProbeLoadedNothing},
    {"GUI, start-up, System32 has one too",            L"dll-search-probe-gui-system32.exe",     L"version.dll", kProbeLoadedOtherCopy},
    {"console, start-up, only the planted copy",       L"dll-search-probe-console-system32.exe", L"planted.dll", kProbeLoadedNothing},
    {"console, start-up, System32 has one too",        L"dll-search-probe-console-system32.exe", L"version.dll", kProbeLoadedOtherCopy},
    {"GUI, default search, only the planted copy",     L"dll-search-probe-gui-default.exe",      L"planted.dll", kProbeLoadedPlantedCopy},
    {"GUI, default search, System32 has one too",      L"dll-search-probe-gui-default.exe",      L"version.dll", kProbeLoadedPlantedCopy},
    {"console, default search, only the planted copy", L"dll-search-probe-console-default.exe",  L"planted.dll", kProbeLoadedPlantedCopy},
    {"console, default search, System32 has one too",  L"dll-search-probe-console-default.exe",  L"version.dll", kProbeLoadedPlantedCopy},
};

TEST(DllSearchTest, PlantedDllIsLoadedOnlyWithoutTheSystem32OnlyStartUp) {
  const std::wstring built = PathBesideThisExecutable(L"");
  for (const PlantedDllCase& c : kPlantedDllCases) {
    SCOPED_TRACE(c.name);
    ScopedTempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    ASSERT_TRUE(CopyFileW((built + c.probe).c_str(), (folder.path() + c.probe).c_str(), TRUE));
    ASSERT_TRUE(CopyFileW((built + L"planted.dll").c_str(), (folder.path() + c.dll_name).c_str(), TRUE));
    const WineLoadsTheFileItFindsFirst native_first(c.probe, c.dll_name);
    ASSERT_TRUE(native_first.ok());

    EXPECT_EQ(RunProbe(folder.path(), c.probe, c.dll_name), c.expected);
  }
}

}  // namespace
