// Applies one removal rule to every INF file that the platform lists in the INF directory.
#pragma once

#include "platform/setup_platform.h"

// Lists the Windows-4 style INF files of the INF directory, reads KeyName from the "strings"
// section of each (up to 259 units), and force-uninstalls every INF whose value is non-empty and,
// when ExpectedValue is not null, equal to it (whole string, ASCII letters without regard to
// case; a value of 259 units or more may have been cut and never equals one).
//
// Returns TRUE when the listing worked and every attempted uninstall succeeded (also when nothing
// matched); FALSE when the listing, the list buffer or the INF directory path could not be had, or
// any uninstall failed. A failed uninstall does not stop the walk: later matches are still removed.
BOOL UninstallMatchingInfs(PCWSTR KeyName, PCWSTR ExpectedValue);

// The path by which the scan reads the listed INF `InfName`: the INF directory (the Windows
// directory's "inf") joined with the name. FALSE, with Path naming no file, when the Windows
// directory cannot be had or the path does not fit. (The scan builds the directory part once per
// rule, with the same two steps.) The check reads the value it reports by this path.
BOOL BuildInfPath(PCWSTR InfName, WCHAR (&Path)[MAX_PATH]);

// Whole-string equality in which only the 26 ASCII capitals fold to their small letters.
bool EqualsIgnoringAsciiCase(PCWSTR Value, PCWSTR Expected);
