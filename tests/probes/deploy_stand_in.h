// A stand-in for an installed program, for the deployment scripts' suite under Wine: one
// executable, copied under an installed name into a case's folder, does what files beside that
// copy say, so that a case can make the "check" or the "removal" do what a real machine cannot
// be made to do on demand. For the copy at PATH:
//   PATH.stdout, PATH.stderr   bytes written, as they are, to its standard output and error
//   PATH.wait                  milliseconds to wait before exiting, or "forever"
//   PATH.exit-code             its exit code, in decimal (-1 is 0xFFFFFFFF)
// and it writes PATH.started when it starts (its process ID and the time, as a FILETIME in UTC, in
// decimal) and PATH.ended just before it exits, so that a case sees that the script started it,
// when, whether it is still running, and whether the script waited for it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <string>

namespace stand_in {

inline bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return true;
}

inline void WriteMarker(const std::wstring& path, const std::string& text = {}) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

// A GUI program started without redirection has no standard handles: nothing is written then.
inline void WriteTo(DWORD which, const std::string& bytes) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  for (size_t done = 0; done < bytes.size(); done += written) {
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   nullptr) ||
        written == 0) {
      return;
    }
  }
}

inline int Run() {
  // Long enough for any folder a case is made in: a path cut short would put the markers elsewhere
  // (and then the case fails for want of them).
  static wchar_t self[32768];
  const DWORD length = GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
  if (length == 0 || length == ARRAYSIZE(self)) return 90;
  const std::wstring path(self, length);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long time =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  WriteMarker(path + L".started", std::to_string(GetCurrentProcessId()) + " " + std::to_string(time));
  std::string bytes;
  if (ReadWholeFile(path + L".stdout", bytes)) WriteTo(STD_OUTPUT_HANDLE, bytes);
  bytes.clear();
  if (ReadWholeFile(path + L".stderr", bytes)) WriteTo(STD_ERROR_HANDLE, bytes);
  bytes.clear();
  if (ReadWholeFile(path + L".wait", bytes)) {
    Sleep(bytes.rfind("forever", 0) == 0 ? INFINITE
                                         : static_cast<DWORD>(std::strtoul(bytes.c_str(), nullptr, 10)));
  }
  bytes.clear();
  const int exit_code = ReadWholeFile(path + L".exit-code", bytes)
                            ? static_cast<int>(std::strtol(bytes.c_str(), nullptr, 10))
                            : 0;
  WriteMarker(path + L".ended");
  return exit_code;
}

}  // namespace stand_in
