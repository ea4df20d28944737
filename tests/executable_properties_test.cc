// What a deployment tool and an administrator see of the built executable before it ever runs:
// its subsystem, the DLLs it needs, its manifest and its version resource.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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

std::wstring ProductPath() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"staged-package-removal.exe";
}

std::string ProductBytes() {
  std::ifstream in(std::filesystem::path(ProductPath()), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  HMODULE module = LoadLibraryExW(ProductPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(resource, nullptr);
  const auto* text = static_cast<const char*>(LockResource(LoadResource(module, resource)));
  const std::string manifest(text, SizeofResource(module, resource));
  FreeLibrary(module);

  EXPECT_NE(manifest.find("<assembly"), std::string::npos);
  EXPECT_EQ(manifest.find("<requestedExecutionLevel"), std::string::npos);
  EXPECT_EQ(manifest.find("<trustInfo"), std::string::npos);
}

TEST(ExecutablePropertiesTest, VersionResourceSaysWhatTheFileIs) {
  const std::wstring path = ProductPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 1u);

  for (const wchar_t* field : {L"FileDescription", L"ProductName", L"FileVersion",
                               L"OriginalFilename"}) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + field;
    wchar_t* value = nullptr;
    UINT length = 0;
    EXPECT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
                length > 1)
        << "missing " << std::string(field, field + wcslen(field));
  }
}

}  // namespace
