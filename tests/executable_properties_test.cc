// What a deployment tool and an administrator see of the built executables before they ever run:
// subsystem, the DLLs needed, manifest, version resource and header checksum.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>

namespace {

// Every executable a release ships (packaging/shipped-executables.txt), and the project's version
// in four parts (project(VERSION) in CMakeLists.txt).
const wchar_t* const kShippedExecutables[] = {SPR_SHIPPED_EXECUTABLES};
constexpr WORD kProjectVersion[4] = {SPR_VERSION_PARTS};

std::wstring PathBesideThisOne(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

std::wstring ProductPath() { return PathBesideThisOne(L"staged-package-removal.exe"); }

std::string ProductBytes() {
  std::ifstream in(std::filesystem::path(ProductPath()), std::ios::binary);
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
  return At<IMAGE_NT_HEADERS64>(image, static_cast<size_t>(dos->e_lfanew));
}

// The file offset of a relative virtual address, through the section table.
size_t FileOffset(const std::string& image, const IMAGE_NT_HEADERS64* nt, DWORD rva) {
  const auto* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData) {
      return rva - section->VirtualAddress + section->PointerToRawData;
    }
  }
  return image.size();
}

std::set<std::string> ImportedDlls(const std::string& image) {
  std::set<std::string> dlls;
  const IMAGE_NT_HEADERS64* nt = NtHeaders(image);
  const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (size_t offset = FileOffset(image, nt, rva);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(image, offset);
    if (descriptor == nullptr || descriptor->Name == 0) break;
    std::string name(image.c_str() + FileOffset(image, nt, descriptor->Name));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    dlls.insert(name);
  }
  return dlls;
}

TEST(ExecutablePropertiesTest, IsSmallWindowsGuiProgramImportingOnlySystemDlls) {
  const std::string image = ProductBytes();
  std::cout << "staged-package-removal.exe: " << image.size() << " bytes\n";
  EXPECT_LT(image.size(), 64u * 1024u);

  const IMAGE_NT_HEADERS64* nt = NtHeaders(image);
  ASSERT_NE(nt, nullptr);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  // Without it, GetWindowsDirectoryW may name a per-user directory on a terminal server.
  EXPECT_TRUE(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);

  const std::set<std::string> system_dlls = {"KERNEL32.DLL", "SETUPAPI.DLL", "SHLWAPI.DLL",
                                             "MSVCRT.DLL"};
  const std::set<std::string> imported = ImportedDlls(image);
  EXPECT_TRUE(imported.count("SETUPAPI.DLL") && imported.count("SHLWAPI.DLL"));
  for (const std::string& dll : imported) EXPECT_TRUE(system_dlls.count(dll)) << dll;
}

TEST(ExecutablePropertiesTest, ManifestRequestsNoExecutionLevel) {
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::string manifest = Manifest(PathBesideThisOne(name));
    EXPECT_NE(manifest.find("<assembly"), std::string::npos);
    EXPECT_EQ(manifest.find("<requestedExecutionLevel"), std::string::npos);
    EXPECT_EQ(manifest.find("<trustInfo"), std::string::npos);
  }
}

TEST(ExecutablePropertiesTest, VersionResourceSaysWhatTheFileIs) {
  for (const wchar_t* name : kShippedExecutables) {
    SCOPED_TRACE(Narrow(name));
    const std::string block = VersionBlock(PathBesideThisOne(name));
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
    const std::wstring path = PathBesideThisOne(name);
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
    std::wstring path = PathBesideThisOne(name);
    DWORD in_header = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(path.data(), &in_header, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_NE(computed, 0u);
    EXPECT_EQ(in_header, computed);
  }
}

}  // namespace
