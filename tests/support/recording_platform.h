// The tests' double of the platform seam: an in-memory INF directory that records every call.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/setup_platform.h"

using WideString = std::basic_string<WCHAR>;

struct ListCall {
  bool directory_is_null;
  DWORD inf_style;
  bool buffer_is_null;
  DWORD buffer_size;
};

struct ProfileRead {
  WideString section;
  WideString key;
  WideString default_value;
  DWORD size;
  WideString file;
};

struct UninstallCall {
  WideString name;
  DWORD flags;
  bool reserved_is_null;
};

struct RecordingPlatform {
  // What the machine holds. The INF directory is `windows_directory` + "\inf"; `infs` maps a
  // listed name to the key/value pairs of its "strings" section.
  WideString windows_directory = PLATFORM_TEXT("C:\\Windows");
  std::vector<WideString> listing;
  std::map<WideString, std::map<WideString, WideString>> infs;

  // Failures to inject.
  std::set<size_t> failing_list_calls;       // indexes into list_calls: 0 is the first size query
  bool fail_allocation = false;
  bool fail_windows_directory = false;
  std::set<WideString> refuse_uninstall;     // these names stay and their uninstall returns FALSE
  std::optional<WideString> raw_fill;        // units the fill writes instead of the listing

  // What happened, in order.
  std::vector<ListCall> list_calls;
  std::vector<SIZE_T> allocations;
  int blocks_outstanding = 0;
  std::vector<ProfileRead> reads;
  std::vector<UninstallCall> uninstalls;

  std::vector<WideString> ReadFiles() const;
  std::vector<WideString> UninstalledNames() const;
  WideString InfPath(const WideString& name) const;
};

// The one instance the seam functions consult; tests reset it before each case.
RecordingPlatform& Recorder();
void ResetRecorder();

// A wide string literal of the platform's code unit.
#define W(s) WideString(PLATFORM_TEXT(s))

// Lists `name` in the INF directory, with key = value in its "strings" section.
void StageInf(const WideString& name, const WideString& key, const WideString& value);
