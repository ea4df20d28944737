// Reads one value from a profile (INI-syntax) file by Windows' rules (see profile_scanner.h), in
// memory bounded by the caller's buffer whatever the size of the file or of its lines.
#pragma once

#include <string>
#include <string_view>

#include "platform/setup_platform.h"

namespace standin {

// Looks up key in the first section named section of the file whose path is path_bytes, reading
// the file from its start every time. A file starting with FF FE is UTF-16LE; any other is
// Windows-1252.
//
// When the key is there with a non-empty value, writes the value cut to size - 1 units and a
// terminator to out, sets *found (if not null) to true and returns the number of units written.
// Otherwise sets *found to false and returns 0; out may then hold scratch text for the caller to
// write its default over. With size 0 nothing is written.
DWORD ReadProfileString(const std::string& path_bytes, std::u16string_view section,
                        std::u16string_view key, WCHAR* out, DWORD size, bool* found);

}  // namespace standin
