// Reads one value from a profile (INI-syntax) file by Windows' rules, in memory bounded by the
// caller's buffer whatever the size of the file or of its lines.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/setup_platform.h"

namespace standin {

// Looks up key in the first section named section (names compare ignoring ASCII case) of the file
// whose path is path_bytes. A file starting with FF FE is UTF-16LE; any other is Windows-1252.
//
// When the key is there with a non-empty value (after removing one pair of enclosing quotes),
// writes the value cut to size - 1 units and a terminator to out, sets *found (if not null) to
// true and returns the number of units written. Otherwise sets *found to false and returns 0; out
// may then hold scratch text for the caller to write its default over. With size 0 nothing is
// written.
//
// Files that have not changed for a while are answered from a per-process index of them (see
// profile_index.h); the answer is the same either way. A caller that has just stat()ed the path
// may pass what it found as `known`, to spare the index a second look.
DWORD ReadProfileString(const std::string& path_bytes, std::u16string_view section,
                        std::u16string_view key, WCHAR* out, DWORD size, bool* found,
                        const struct stat* known = nullptr);

struct LineValue {
  bool key_matched = false;  // the line is a key line for the key asked
  bool found = false;        // ... and its value is not empty; then written to out
  DWORD length = 0;
};

// Reads the one line that starts at byte `offset` of the open profile file fd (UTF-16LE units when
// utf16, else Windows-1252 bytes) as a line of the wanted section, writing the value as
// ReadProfileString would. False on a read error.
bool ReadProfileLine(int fd, std::uint64_t offset, bool utf16, std::u16string_view key,
                     WCHAR* out, DWORD size, LineValue* value);

}  // namespace standin
