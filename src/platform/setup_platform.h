// The one door from the removal code to the platform: the five Windows operations and the heap.
//
// The removal code calls these under their Win32 names, qualified with `platform::`, and never
// includes a system header itself. Exactly one implementation is linked into each target:
// setup_platform_win32.cc forwards to the real Windows functions, standin/ implements them over a
// directory for the Linux build, and recording_platform.cc is the tests' double.
//
// Every declaration below keeps the documented Win32 contract of the function it names; where a
// stand-in has to choose, it follows what Windows documents, not what any emulator happens to do.
#pragma once

#include <cstddef>

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

// Wide string literal in the platform's code unit.
#define PLATFORM_TEXT(s) L##s

#else  // !_WIN32

#include <cstdint>

// The Win32 types and constants the removal code speaks, with their Windows sizes. The code unit is
// 16 bits on both targets; only its C++ type differs (wchar_t there, char16_t here).
using BOOL = int;
using UINT = unsigned int;
using DWORD = std::uint32_t;
using PDWORD = DWORD*;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PVOID = void*;
using SIZE_T = std::size_t;
using HINSTANCE = struct HINSTANCE__*;

inline constexpr BOOL FALSE = 0;
inline constexpr BOOL TRUE = 1;
inline constexpr DWORD MAX_PATH = 260;
inline constexpr DWORD INF_STYLE_WIN4 = 0x00000002;
inline constexpr DWORD SUOI_FORCEDELETE = 0x00000001;

#define WINAPI
#define PLATFORM_TEXT(s) u##s

#endif  // _WIN32

namespace platform {

// Lists the INF files of DirectoryPath (null: the system's INF directory) whose style is InfStyle,
// as a multi-string of bare file names closed by an empty name. *RequiredSize receives the length
// of that list in code units, terminators included. With a null ReturnBuffer it only measures;
// with a buffer smaller than the list it fails and writes nothing.
BOOL SetupGetInfFileListW(PCWSTR DirectoryPath, DWORD InfStyle, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize);

// Copies the Windows directory into lpBuffer and returns its length without the terminator; when
// uSize is too small, returns the size needed including it; 0 on failure.
UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);

// Joins pszDir and pszFile with one separator into pszDest (MAX_PATH units). Returns pszDest, or
// null when the result would not fit.
LPWSTR PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile);

// Reads lpKeyName of section lpAppName from the profile (INI-syntax) file lpFileName into
// lpReturnedString, cut to nSize - 1 units, and returns the number of units copied. When the file,
// section or key is missing, or the value is empty, copies lpDefault and returns its length.
DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName);

// Uninstalls the OEM INF named InfFileName (a bare file name in the INF directory).
BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved);

// A zero-filled block from the process's general heap, or null; GeneralHeapFree releases it and
// accepts null.
void* GeneralHeapAlloc(SIZE_T Bytes);
void GeneralHeapFree(void* Block);

}  // namespace platform
