// What a deployment tool and an administrator see of each shipped executable before it ever runs:
// its subsystem, the DLLs it needs, its hardening, its manifest, its version resource and its
// header checksum.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "win32_process.h"

namespace {

// What each shipped executable must be, one line each.
struct ShippedExecutable {
  const wchar_t* file_name;
  WORD subsystem;
  size_t most_bytes;
};
constexpr ShippedExecutable kExpected[] = {
    {L"staged-package-removal.exe", IMAGE_SUBSYSTEM_WINDOWS_GUI, 64 * 1024},
    {L"staged-package-check.exe", IMAGE_SUBSYSTEM_WINDOWS_CUI, 256 * 1024},
};
// Every one imports exactly these, all of them DLLs that Windows takes from System32.
constexpr char kSystemDlls[] = "KERNEL32.DLL MSVCRT.DLL SETUPAPI.DLL SHLWAPI.DLL";

// Every executable a release ships (packaging/shipped-files.txt), and the project's version
// in four parts (project(VERSION) in CMakeLists.txt).
const wchar_t* const kShippedExecutables[] = {SPR_SHIPPED_EXECUTABLES};
constexpr WORD kProjectVersion[4] = {SPR_VERSION_PARTS};

std::string FileBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

std::wstring ProjectVersionText() {
  std::wstring text;
  for (WORD part : kProjectVersion) text += (text.empty() ? L"" : L".") + std::to_wstring(part);
  return text;
}

// The RT_MANIFEST resource 1 of an executable, or "" if it has none.
std::string Manifest(const std::wstring& path) {
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return "";
  std::string manifest;
  if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    const auto* text = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    manifest.assign(text, SizeofResource(module, resource));
  }
  FreeLibrary(module);
  return manifest;
}

// The VERSIONINFO block of an executable, or "" if it has none.
std::string VersionBlock(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::string block(size, '\0');
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return "";
  return block;
}

// A string of the block's US English, Unicode table, or "(missing)".
std::wstring VersionString(const std::string& block, const wchar_t* field) {
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + field;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
      length == 0) {
    return L"(missing)";
  }
  return std::wstring(value, wcsnlen(value, length));
}

template <typename T>
const T* At(const std::string& image, size_t offset) {
  if (offset + sizeof(T) > image.size()) return nullptr;
  return reinterpret_cast<const T*>(image.data() + offset);
}

const IMAGE_NT_HEADERS64* NtHeaders(const std::string& image) {
  const auto* dos = At<IMAGE_DOS_HEADER>(image, 0);
  if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = At<IMAGE_NT_HEADERS64>(image, static_cast<size_t>(dos->e_lfanew));
  if (nt == nullptr || nt->Signature != IMAGE_NT_SIGNATURE) return nullptr;
  return nt;
}

// The file offset of a relative virtual address, through the section table.
size_t FileOffset(const std::string& image, const IMAGE_NT_HEADERS64* nt, ULONGLONG rva) {
  const auto* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData) {
      return static_cast<size_t>(rva - section->VirtualAddress + section->PointerToRawData);
    }
  }
  return image.size();
}

std::string TextAt(const std::string& image, size_t offset) {
  return offset < image.size() ? std::string(image.c_str() + offset) : std::string();
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// Each imported DLL, in upper case, with the names of the functions taken from it by name.
std::map<std::string, std::set<std::string>> Imports(const std::string& image) {
  std::map<std::string, std::set<std::string>> imports;
  const IMAGE_NT_HEADERS64* nt = NtHeaders(image);
  const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (size_t offset = FileOffset(image, nt, rva);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(image, offset);
    if (descriptor == nullptr || descriptor->Name == 0) break;
    std::set<std::string>& functions = imports[Upper(TextAt(image, FileOffset(image, nt, descriptor->Name)))];
    const DWORD thunks = descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
    for (size_t thunk = FileOffset(image, nt, thunks);; thunk += sizeof(ULONGLONG)) {
      const auto* entry = At<ULONGLONG>(image, thunk);
      if (entry == nullptr || *entry == 0) break;
      if (IMAGE_SNAP_BY_ORDINAL64(*entry)) continue;
      functions.insert(TextAt(image, FileOffset(image, nt, *entry + offsetof(IMAGE_IMPORT_BY_NAME, Name))));
    }
  }
  return imports;
}

std::set<std::string> Words(const char* text) {
  std::istringstream in(text);
  return std::set<std::string>(std::istream_iterator<std::string>(in), {});
}

// The table above and the release's list name the same executables.
TEST(ExecutablePropertiesTest, EveryShippedExecutableIsDescribedHere) {
  std::set<std::wstring> shipped(std::begin(kShippedExecutables), std::end(kShippedExecutables));
  std::set<std::wstring> described;
  for (const ShippedExecutable& expected : kExpected) described.insert(expected.file_name);
  EXPECT_EQ(shipped, described);
}

TEST(ExecutablePropertiesTest, IsSmallProgramOfItsSubsystemImportingOnlySystemDlls) {
  for (const ShippedExecutable& shipped : kExpected) {
    SCOPED_TRACE(Narrow(shipped.file_name));
    const std::string image = FileBytes(PathBesideThisExecutable(shipped.file_name));
    std::cout << Narrow(shipped.file_name) << ": " << image.size() << " bytes\n";
    EXPECT_LE(image.size(), shipped.most_bytes);

    const IMAGE_NT_HEADERS64* nt = NtHeaders(image);
    ASSERT_NE(nt, nullptr);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, shipped.subsystem);

    std::set<std::string> imported;
    for (const auto& [dll, functions] : Imports(image)) imported.insert(dll);
    EXPECT_EQ(imported, Words(kSystemDlls));
  }
}

// The start-up in src/platform/dll_search_startup_win32.cc looks SetDefaultDllDirectories up by
// name, so the name in the image means that it is linked in. Only spr_start_with_system32_dll_search
// links it, and that also makes it the entry point, which dll_search_test checks on probes built the
// same way. A static import instead would keep the executable from starting on a Windows 7 without
// KB2533623.
TEST(ExecutablePropertiesTest, StartsThroughTheSystem32OnlyDllSearch) {
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::string image = FileBytes(PathBesideThisExecutable(name));
    ASSERT_NE(NtHeaders(image), nullptr);

    EXPECT_NE(image.find(std::string("SetDefaultDllDirectories") + '\0'), std::string::npos);
    const auto imports = Imports(image);
    const auto kernel32 = imports.find("KERNEL32.DLL");
    ASSERT_NE(kernel32, imports.end());
    EXPECT_EQ(kernel32->second.count("SetDefaultDllDirectories"), 0u);
    EXPECT_EQ(kernel32->second.count("GetProcAddress"), 1u);
  }
}

TEST(ExecutablePropertiesTest, IsMarkedForAslrDepAndTerminalServers) {
  struct Flag {
    WORD bit;
    const char* name;
  };
  // High-entropy ASLR and DEP; without terminal-server awareness, GetWindowsDirectoryW may name a
  // per-user directory on a Remote Desktop Session Host.
  constexpr Flag kFlags[] = {
      {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE,          "DYNAMIC_BASE"},
      {IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA,       "HIGH_ENTROPY_VA"},
      {IMAGE_DLLCHARACTERISTICS_NX_COMPAT,             "NX_COMPAT"},
      {IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, "TERMINAL_SERVER_AWARE"},
  };
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::string image = FileBytes(PathBesideThisExecutable(name));
    const IMAGE_NT_HEADERS64* nt = NtHeaders(image);
    ASSERT_NE(nt, nullptr);
    for (const Flag& flag : kFlags) {
      EXPECT_TRUE(nt->OptionalHeader.DllCharacteristics & flag.bit) << flag.name;
    }
    // DYNAMIC_BASE moves nothing without the relocations to apply.
    EXPECT_FALSE(nt->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);

    const auto* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
      const std::string section_name(
          reinterpret_cast<const char*>(section->Name),
          strnlen(reinterpret_cast<const char*>(section->Name), IMAGE_SIZEOF_SHORT_NAME));
      EXPECT_FALSE((section->Characteristics & IMAGE_SCN_MEM_WRITE) &&
                   (section->Characteristics & IMAGE_SCN_MEM_EXECUTE))
          << section_name << " is writable and executable";
    }
  }
}

TEST(ExecutablePropertiesTest, ManifestRequestsNoExecutionLevel) {
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::string manifest = Manifest(PathBesideThisExecutable(name));
    EXPECT_NE(manifest.find("<assembly"), std::string::npos);
    EXPECT_EQ(manifest.find("<requestedExecutionLevel"), std::string::npos);
    EXPECT_EQ(manifest.find("<trustInfo"), std::string::npos);
  }
}

TEST(ExecutablePropertiesTest, VersionResourceSaysWhatTheFileIs) {
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::string block = VersionBlock(PathBesideThisExecutable(name));
    ASSERT_FALSE(block.empty());
    for (const wchar_t* field : {L"FileDescription", L"ProductName", L"LegalCopyright"}) {
      EXPECT_NE(VersionString(block, field), L"(missing)") << Narrow(field);
    }
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), name);
  }
}

// The version is written once, in CMakeLists.txt; every place an administrator or a tool reads it
// from must say exactly that, all four parts.
TEST(ExecutablePropertiesTest, CarriesTheProjectVersionEverywhere) {
  const DWORD most = MAKELONG(kProjectVersion[1], kProjectVersion[0]);
  const DWORD least = MAKELONG(kProjectVersion[3], kProjectVersion[2]);
  const std::wstring text = ProjectVersionText();
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::wstring path = PathBesideThisExecutable(name);
    const std::string block = VersionBlock(path);
    ASSERT_FALSE(block.empty());

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, most);
    EXPECT_EQ(fixed->dwFileVersionLS, least);
    EXPECT_EQ(fixed->dwProductVersionMS, most);
    EXPECT_EQ(fixed->dwProductVersionLS, least);
    EXPECT_EQ(VersionString(block, L"FileVersion"), text);
    EXPECT_EQ(VersionString(block, L"ProductVersion"), text);

    const std::string identity = "<assemblyIdentity ";
    const std::string manifest = Manifest(path);
    const size_t start = manifest.find(identity);
    ASSERT_NE(start, std::string::npos);
    const std::string element = manifest.substr(start, manifest.find('>', start) - start);
    EXPECT_NE(element.find(" version=\"" + Narrow(text) + "\""), std::string::npos) << element;
  }
}

// osslsigncode writes the image's computed checksum into the header when it removes a signature.
// Only if the linker wrote that same value does removing a signature give back the unsigned bytes,
// which is what lets a hash pin of the reproducible unsigned build vouch for a signed release.
TEST(ExecutablePropertiesTest, HeaderChecksumIsTheImagesOwn) {
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    std::wstring path = PathBesideThisExecutable(name);
    DWORD in_header = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(path.data(), &in_header, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_NE(computed, 0u);
    EXPECT_EQ(in_header, computed);
  }
}

}  // namespace
