// Wine 8's SetupGetInfFileListW, given no directory, opens each listed file as
// "<windir>\i<name>" instead of "<windir>\inf\<name>": it copies the directory part of its search
// pattern with the length of the Windows directory plus one ("\"), cutting "inf\" to "i"
// (dlls/setupapi/parser.c, SetupGetInfFileListW). Finding nothing there, it lists nothing. A
// second name for each staged INF where Wine looks lets the product keep the documented call.
// (scripts/demo.sh makes the same second name in shell, as a symbolic link: only Wine reads the
// demo's prefix, and Wine follows it.)
#pragma once

#include <filesystem>

// Gives the INF `inf_name`, staged in windows_directory/inf, its second name where Wine 8 looks
// (a hard link: it works inside Wine and out).
void AddWineListingAlias(const std::filesystem::path& windows_directory,
                         const std::filesystem::path& inf_name);
void RemoveWineListingAlias(const std::filesystem::path& windows_directory,
                            const std::filesystem::path& inf_name);
