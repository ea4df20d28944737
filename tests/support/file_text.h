// INF file bytes and their text, for fixtures: UTF-16LE files as Windows tools write them, and a
// byte-preserving reading and writing of files for tests that rework real INF files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// A byte order mark, then the units.
std::string Utf16LeFile(std::u16string_view text);

// The same from UTF-8 text. Malformed UTF-8 (a stray or missing continuation byte, an overlong
// form, an encoded surrogate, a code point beyond U+10FFFF) throws std::invalid_argument: a
// fixture that quietly encoded something else would test something else than it says.
std::string Utf16LeFile(std::string_view utf8);

// The units of a file: UTF-16LE after an FF FE mark, else one unit per byte (Latin-1), so that
// AnsiFile gives the same bytes back. Not Windows' reading of ANSI text (that is the stand-in's
// job); what a fixture needs to edit a real file and write it out again.
std::u16string FileUnits(std::string_view bytes);

// One byte per unit; a unit above 0xFF becomes '?'.
std::string AnsiFile(std::u16string_view text);

// The lines of a text, each without its line end; a line ends at CRLF, CR or LF, and a last line
// without one still counts.
std::vector<std::u16string> SplitLines(std::u16string_view text);
