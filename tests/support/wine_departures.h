// Where Wine 8 reads a profile otherwise than Windows, each with its evidence: one list for both
// comparisons with Wine (wine_fidelity_test.cc, query by query; machine_differential_test.cc,
// whole machines). Each comparison asserts that the departures it relies on are still seen, so
// that the list retires itself when Wine changes.
#pragma once

#include <string_view>

// How Windows reads section headers, by the tests of the IniFileFormatReverseEngineering project
// (github.com/WelliSolutions/IniFileFormatReverseEngineering), which call Windows' own kernel32:
// SquareBracket_Tests.cs, Given_ASectionNameWithClosingBracket_...: a section written as
// "[sec]whoops]" is read as "sec" ("read parsing stops at first ]"); and
// Given_ASectionNameWithMissingClosingBracket_...: "[sectionname   " with no ']' opens the section
// sectionname ("the closing square bracket is not needed"). No Microsoft page or Wine conformance
// test says otherwise.
inline constexpr char kFirstClosingBracket[] =
    "Windows ends a section name at the first ']'; Wine 8 takes it up to the line's last ']' "
    "(PROFILE_Load), so \"[Strings]]\" or \"[Strings] ; see [Other]\" is no [Strings] there";
inline constexpr char kNoClosingBracket[] =
    "on Windows a line that starts with '[' is a section header even without a ']', its name "
    "running to the line end; Wine 8 reads such a line as a key without a value (PROFILE_Load), "
    "so the keys after it stay in the section before";

inline constexpr char kLineWithoutEquals[] =
    "a line without '=' is no key on Windows: enumerating the keys of a section leaves it out "
    "(Wine's own conformance test, dlls/kernel32/tests/profile.c, expects name1, name2, name4 "
    "around such a name3 line); Wine 8 keeps it as a key without value, which hides a later "
    "line of the same key";
inline constexpr char kQuotesStrippedAfterTheCut[] =
    "a quoted value of 259 units fits a 260-unit buffer once its quotes are discarded, as "
    "Windows documents; Wine 8 cuts before it strips (PROFILE_CopyEntry) and loses the last "
    "unit";

// Windows reads a profile that starts with a UTF-8 or UTF-16BE byte order mark as ANSI bytes;
// Wine decodes both. Answers for such files, and whether they are listed, may differ.
inline constexpr char kByteOrderMarks[] =
    "Windows reads a file that starts with a UTF-8 or UTF-16BE byte order mark as ANSI bytes; "
    "Wine 8 decodes it";
inline bool WineDecodesWhatWindowsDoesNot(std::string_view file_bytes) {
  return file_bytes.substr(0, 3) == "\xEF\xBB\xBF" || file_bytes.substr(0, 2) == "\xFE\xFF";
}
