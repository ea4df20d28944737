// Tests of profile reading by Windows' rules on real files, mostly via GetPrivateProfileStringW.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "prerequisites.h"
#include "scratch_directory.h"
#include "file_text.h"

#include "platform/setup_platform.h"
#include "platform/standin/profile_reader.h"
#include "platform/standin/wide_text.h"

namespace {

using namespace std::string_view_literals;


// Stands for "not found": no fixture contains it.
constexpr std::u16string_view kDefault = u"dflt";
constexpr DWORD kRoomy = 64;

struct ReadResult {
  DWORD returned = 0;
  std::u16string text;
};

ReadResult ReadValue(const std::string& path, std::u16string_view section, std::u16string_view key,
                     DWORD size = kRoomy, const WCHAR* fallback = kDefault.data()) {
  // Exactly size units, so that AddressSanitizer reports any write past them.
  std::vector<WCHAR> buffer(size == 0 ? 1 : size, u'#');
  const std::u16string path16 = standin::DecodeFileName(path);
  ReadResult result;
  result.returned = platform::GetPrivateProfileStringW(
      std::u16string(section).c_str(), std::u16string(key).c_str(), fallback, buffer.data(), size,
      path16.c_str());
  result.text = size == 0 ? std::u16string(buffer.begin(), buffer.end())
                          : std::u16string(buffer.data());
  return result;
}

struct ReadCase {
  const char* name;
  std::string_view bytes;     // the file, byte for byte, unless utf16 is set
  std::u16string_view utf16;  // when set, the file is this text as UTF-16LE with its BOM
  std::u16string_view section;
  std::u16string_view key;
  std::u16string_view expected;
};

constexpr ReadCase kReadCases[] = {
    {"plain", "[S]\nk=v\n", u"", u"S", u"k", u"v"},
    {"utf16le with bom", "", u"[S]\r\nk=\u00e9t\u00e9 \U0001F600\r\n", u"S", u"k",
     u"\u00e9t\u00e9 \U0001F600"},
    {"utf16le odd last byte is no unit", "\xFF\xFE[\0S\0]\0\n\0k\0=\0v\0x"sv, u"", u"S", u"k",
     u"v"},
    {"utf16be bom is not understood", "\xFE\xFF\0[\0S\0]\0\n\0k\0=\0v"sv, u"", u"S", u"k",
     kDefault},
    {"cp1252 latin byte", "[S]\nk=H\xF6gl\n", u"", u"S", u"k", u"H\u00f6gl"},
    {"cp1252 table and undefined bytes", "[S]\nk=\x80\x81\x8D\x8F\x90\x9D\x9F\n", u"", u"S", u"k",
     u"\u20ac\u0081\u008d\u008f\u0090\u009d\u0178"},
    {"utf8 bytes read as cp1252", "[S]\nk=\xC3\xA9\n", u"", u"S", u"k", u"\u00c3\u00a9"},
    {"utf8 bom hides a first-line header", "\xEF\xBB\xBF[S]\nk=v\n", u"", u"S", u"k", kDefault},
    {"utf8 bom before a comment line", "\xEF\xBB\xBF;c\n[S]\nk=v\n", u"", u"S", u"k", u"v"},
    {"cr line ends", "[S]\rx=1\rk=v\r", u"", u"S", u"k", u"v"},
    {"crlf line ends", "[S]\r\nx=1\r\nk=v\r\n", u"", u"S", u"k", u"v"},
    {"mixed line ends", "[T]\r\nk=1\r[S]\nx=2\r\nk=v", u"", u"S", u"k", u"v"},
    {"section and key ignore ascii case", "[sTrInGs]\nKEY=v\n", u"", u"Strings", u"key", u"v"},
    {"non-ascii case is not folded", "[S]\n\xC4=v\n", u"", u"S", u"\u00e4", kDefault},
    {"only the first section of a name", "[S]\na=1\n[s]\nk=v\n", u"", u"S", u"k", kDefault},
    {"other sections' keys do not count", "k=0\n[T]\nk=1\n[S]\nk=v\n", u"", u"S", u"k", u"v"},
    {"first key wins", "[S]\nk=1\nK=2\n", u"", u"S", u"k", u"1"},
    {"first key wins even when empty", "[S]\nk=\nk=2\n", u"", u"S", u"k", kDefault},
    {"double quotes removed", "[S]\nk=\"v w\"\n", u"", u"S", u"k", u"v w"},
    {"single quotes removed", "[S]\nk='v'\n", u"", u"S", u"k", u"v"},
    {"blanks inside quotes kept", "[S]\nk= \" v \" \t\n", u"", u"S", u"k", u" v "},
    {"lone quote kept", "[S]\nk=\"\n", u"", u"S", u"k", u"\""},
    {"empty quotes mean empty", "[S]\nk=\"\"\n", u"", u"S", u"k", kDefault},
    {"mismatched quotes kept", "[S]\nk=\"v'\n", u"", u"S", u"k", u"\"v'"},
    {"only the outer pair removed", "[S]\nk=\"\"v\"\"\n", u"", u"S", u"k", u"\"v\""},
    {"semicolon in a value is text", "[S]\nk=\"a\" ;b\n", u"", u"S", u"k", u"\"a\" ;b"},
    {"comment line skipped", "[S]\n  ;k=x\nk=v\n", u"", u"S", u"k", u"v"},
    {"semicolon key is a comment", "[S]\n;k=x\n", u"", u"S", u";k", kDefault},
    {"blanks and tabs trimmed", "[S]\n \t k \t = \t v w \t \n", u"", u"S", u"k", u"v w"},
    {"value keeps later equals", "[S]\nk==a=b\n", u"", u"S", u"k", u"=a=b"},
    {"line without equals is no key", "[S]\nk\nk=v\n", u"", u"S", u"k", u"v"},
    // Section headers, as Windows reads them. Evidence: Wine's conformance test
    // test_profile_sections_names (dlls/kernel32/tests/profile.c, run on Windows too) expects
    // "[ section1 ]" to name section1; the IniFileFormatReverseEngineering project's tests, run
    // against Windows' kernel32 (SquareBracket_Tests.cs, WhiteSpace_Tests.cs), find that the name
    // stops at the first ']', that a header needs no ']' at all, that blanks and tabs inside the
    // brackets are dropped, and that text after the ']' is ignored. Wine 8 departs from the
    // second and third: it takes the name up to the line's last ']' and reads a line without
    // one as a key line.
    {"text after a header ignored", "[S] x=1\nk=v\n", u"", u"S", u"k", u"v"},
    {"blanks inside the brackets dropped", "[ S ]\nk=v\n", u"", u"S", u"k", u"v"},
    {"tabs inside the brackets dropped", "[\t S\t]\nk=v\n", u"", u"S", u"k", u"v"},
    {"blanks inside a name kept", "[S S]\nk=v\n", u"", u"S S", u"k", u"v"},
    {"header ends at the first bracket", "[S]x]\nk=v\n", u"", u"S", u"k", u"v"},
    {"header ends at the first of two brackets", "[S]]\nk=v\n", u"", u"S", u"k", u"v"},
    {"comment with a bracket after a header", "[S] ; see [T]\nk=v\n", u"", u"S", u"k", u"v"},
    {"a second opening bracket is part of the name", "[[S]\nk=v\n", u"", u"[S", u"k", u"v"},
    {"not the name without its opening bracket", "[[S]\nk=v\n", u"", u"S", u"k", kDefault},
    {"header without a closing bracket", "[T]\nk=1\n[S \t\nk=v\n", u"", u"S", u"k", u"v"},
    {"header without a closing bracket ends a section", "[S]\n[k=v\nk=w\n", u"", u"S", u"k",
     kDefault},
    {"bracket closed after equals is a header", "[S]\n[k=v]\nk=w\n", u"", u"S", u"[k", kDefault},
    {"indented header", "  \t[S]\nk=v\n", u"", u"S", u"k", u"v"},
    {"empty header name", "[]\nk=v\n", u"", u"", u"k", u"v"},
    {"nul ends a value after the trim", "[S]\nk=abc  \0x \n"sv, u"", u"S", u"k", u"abc  "},
    {"quote decided after the nul cut", "[S]\nk=\"ab\0\"\n"sv, u"", u"S", u"k", u"\"ab"},
    {"blank before a nul keeps the quotes", "[S]\nk=\"ab\" \0x\n"sv, u"", u"S", u"k", u"\"ab\" "},
    {"quotes before a nul removed", "[S]\nk=\"ab\"\0x\n"sv, u"", u"S", u"k", u"ab"},
    {"nul ends a key name", "[S]\nk\0zz=v\n"sv, u"", u"S", u"k", u"v"},
    {"nul ends a section name", "[S\0x]\nk=v\n"sv, u"", u"S", u"k", u"v"},
    {"nul-first value is empty", "[S]\nk=\0v\n"sv, u"", u"S", u"k", kDefault},
    {"utf16 nul unit ends a value", "", u"[S]\nk=ab\0cd\n"sv, u"S", u"k", u"ab"},
    {"missing section", "[T]\nk=v\n", u"", u"S", u"k", kDefault},
    {"missing key", "[S]\nj=v\n", u"", u"S", u"k", kDefault},
    {"key before any section", "k=v\n[S]\n", u"", u"S", u"k", kDefault},
    {"empty value", "[S]\nk=   \n", u"", u"S", u"k", kDefault},
    {"empty file", "", u"", u"S", u"k", kDefault},
};

// Each case gets a file of its own, so that a failure names the file it read.
class ReadsTest : public testing::Test {
 protected:
  std::string FileFor(const std::string& bytes) {
    return dir_.Write("case" + std::to_string(files_++) + ".ini", bytes);
  }

 private:
  ScratchDirectory dir_;
  int files_ = 0;
};

TEST_F(ReadsTest, ReadsValuesByWindowsRules) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.name);
    const std::string path = FileFor(c.utf16.empty() ? std::string(c.bytes) : Utf16LeFile(c.utf16));
    const ReadResult result = ReadValue(path, c.section, c.key);
    EXPECT_EQ(result.text, c.expected);
    EXPECT_EQ(result.returned, c.expected.size());
  }
}

struct CutCase {
  const char* name;
  std::string_view before;  // written before `units` x's
  std::size_t units;
  std::string_view after;
  DWORD size;
  std::u16string_view expected_prefix;  // followed by expected_units x's
  std::size_t expected_units;
};

constexpr std::size_t kMiB = 1024 * 1024;

constexpr CutCase kCutCases[] = {
    {"258 units fit", "", 258, "", 260, u"", 258},
    {"259 units fit", "", 259, "", 260, u"", 259},
    {"260 units cut", "", 260, "", 260, u"", 259},
    {"261 units cut", "", 261, "", 260, u"", 259},
    {"quotes removed before the cut", "\"", 260, "\"", 260, u"", 259},
    {"unclosed quote is cut as text", "\"", 300, "", 260, u"\"", 258},
    {"1 MiB value cut", "", kMiB, " \t", 260, u"", 259},
    {"1 MiB quoted value", "\"", kMiB, "\" \t", 260, u"", 259},
    {"1 MiB quoted value cut at a nul", "\"", kMiB, "\0\"x"sv, 260, u"\"", 258},
    {"1 MiB quoted value closed before a nul", "'", kMiB, "'\0x"sv, 260, u"", 259},
    {"size 1 leaves an empty string", "", 4, "", 1, u"", 0},
    {"size 3 keeps two units", "'", 4, "'", 3, u"", 2},
};

TEST_F(ReadsTest, CutsValuesToTheBuffer) {
  for (const CutCase& c : kCutCases) {
    SCOPED_TRACE(c.name);
    const std::string path = FileFor("[S]\nk=" + std::string(c.before) + std::string(c.units, 'x') +
                                     std::string(c.after) + "\nnext=1\n");
    const std::u16string expected =
        std::u16string(c.expected_prefix) + std::u16string(c.expected_units, u'x');
    const ReadResult result = ReadValue(path, u"S", u"k", c.size);
    EXPECT_EQ(result.text, expected);
    EXPECT_EQ(result.returned, expected.size());
  }
}

// The scan jumps from '[' to '[' outside the asked section and carries what it knows of the line
// from one 64 KiB read to the next: a header must be told from a '[' inside a line on either side
// of a read's edge.
TEST_F(ReadsTest, FindsHeadersAcrossTheEdgesOfItsReads) {
  constexpr std::size_t kChunk = 64 * 1024;
  // ANSI bytes `head` padded with comment lines to exactly `at` bytes, then `tail`.
  const auto padded = [](std::string head, std::size_t at, const std::string& tail) {
    while (head.size() + 8 <= at) head += ";padpad\n";
    head += std::string(at - head.size(), ' ');
    return head + tail;
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::u16string_view section;
    std::u16string expected;
  };
  const Case cases[] = {
      {"header after blanks that end a read", padded("[T]\nx=1\n", kChunk - 2, "\n  [S]\nk=v\n"), u"S", u"v"},
      {"'[' first in a read, line begun before", padded("[T]\nx=1\n", kChunk - 1, "x[S]\nk=v\n"), u"S", kDefault.data()},
      {"'[' first in a read after blanks, line begun before", padded("[T]\nx=1\n", kChunk - 3, "x  [S]\nk=v\n"), u"S", kDefault.data()},
      {"header split between reads", padded("[T]\nx=1\n", kChunk - 4, "\n[St]\nk=v\n"), u"St", u"v"},
      {"utf-16 header split between reads", Utf16LeFile(u"[T]\r\n" + std::u16string(kChunk / 2 - 6, u' ') + u"\n[St]\nk=w\n"), u"St", u"w"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadValue(FileFor(c.bytes), c.section, u"k").text, c.expected);
  }
}

TEST(ProfileReaderTest, DefaultStandsInForMissingValues) {
  ScratchDirectory dir;
  const std::string path = dir.Write("d.ini", "[S]\nk=value\n");
  const std::string missing = dir.Child("missing.ini");

  EXPECT_EQ(ReadValue(missing, u"S", u"k").text, kDefault);
  EXPECT_EQ(ReadValue(dir.path(), u"S", u"k").text, kDefault) << "a directory is no profile";
  EXPECT_EQ(ReadValue(path, u"S", u"j", kRoomy, u"dflt \t ").text, u"dflt");
  EXPECT_EQ(ReadValue(path, u"S", u"j", kRoomy, nullptr).returned, 0u);
  EXPECT_EQ(ReadValue(path, u"S", u"j", kRoomy, nullptr).text, u"");

  const ReadResult cut = ReadValue(path, u"S", u"j", 3, u"default");
  EXPECT_EQ(cut.text, u"de");
  EXPECT_EQ(cut.returned, 2u);

  const ReadResult untouched = ReadValue(path, u"S", u"k", 0);
  EXPECT_EQ(untouched.returned, 0u);
  EXPECT_EQ(untouched.text, u"#");
}

TEST(ProfileReaderTest, EnumerationIsNotSupported) {
  ScratchDirectory dir;
  const std::u16string path = standin::DecodeFileName(dir.Write("e.ini", "[S]\nk=v\n"));
  WCHAR buffer[8] = {u'#', u'#'};
  EXPECT_EQ(platform::GetPrivateProfileStringW(nullptr, u"k", u"d", buffer, 8, path.c_str()), 0u);
  EXPECT_EQ(buffer[0], 0);
  buffer[0] = u'#';
  EXPECT_EQ(platform::GetPrivateProfileStringW(u"S", nullptr, u"d", buffer, 8, path.c_str()), 0u);
  EXPECT_EQ(buffer[0], 0);
}

TEST(ProfileReaderTest, ReportsWhetherTheValueWasFound) {
  ScratchDirectory dir;
  const std::string path = dir.Write("f.ini", "[S]\nk=\"v\"\nempty=''\n");
  bool found = false;
  EXPECT_EQ(standin::ReadProfileString(path, u"S", u"k", nullptr, 0, &found), 0u);
  EXPECT_TRUE(found) << "found does not depend on room for the text";
  WCHAR buffer[4] = {};
  EXPECT_EQ(standin::ReadProfileString(path, u"S", u"empty", buffer, 4, &found), 0u);
  EXPECT_FALSE(found);
  EXPECT_EQ(standin::ReadProfileString(path, u"S", u"k", buffer, 4, nullptr), 1u);
  EXPECT_EQ(std::u16string(buffer), u"v");
}

// The file is read in chunks; a line may be split anywhere, in the middle of a UTF-16 unit pair
// included, and must still read as a whole.
TEST(ProfileReaderTest, LinesSplitAcrossReadChunksReadWhole) {
  constexpr std::size_t kChunk = 64 * 1024;
  ScratchDirectory dir;
  for (const bool utf16 : {false, true}) {
    for (std::size_t back = 0; back <= 12; ++back) {
      SCOPED_TRACE(std::string(utf16 ? "utf16" : "cp1252") + " key line starts " +
                   std::to_string(back) + " bytes before a chunk end");
      const std::size_t start_byte = kChunk - back;
      const std::size_t pad_units = (utf16 ? (start_byte - 2) / 2 : start_byte) - 9;
      const std::u16string text = u"[S]\r\np=" + std::u16string(pad_units, u'.') +
                                  u"\r\nk=\"ab\"\r\nz=1\r\n";
      std::string bytes;
      if (utf16) {
        bytes = Utf16LeFile(text);
      } else {
        bytes.assign(text.begin(), text.end());
      }
      const std::string path = dir.Write("chunk.ini", bytes);
      EXPECT_EQ(ReadValue(path, u"S", u"k").text, u"ab");
      EXPECT_EQ(ReadValue(path, u"S", u"z").text, u"1");
    }
  }
}

TEST(ProfileReaderTest, ReadsTheEndOfLargeFiles) {
  ScratchDirectory dir;
  std::string lines;
  for (int i = 0; lines.size() < kMiB; ++i) {
    lines += "key" + std::to_string(i) + " = filler text\r\n";
  }
  std::string file = "[Other]\n" + std::string(kMiB, 'o') + "=" + std::string(kMiB, 'v') + "\n";
  for (int i = 0; i < 25; ++i) file += lines;
  file += "[S]\nk" + std::string(kMiB, 'k') + "=long key\n";
  for (int i = 0; i < 25; ++i) file += lines;
  file += "k=last\n";
  const std::string path = dir.Write("large.ini", file);
  file.clear();
  file.shrink_to_fit();

  EXPECT_EQ(ReadValue(path, u"S", u"k").text, u"last");
  EXPECT_EQ(ReadValue(path, u"S", u"key7").text, u"filler text");
  EXPECT_EQ(ReadValue(path, u"Other", u"k").text, kDefault);
}

struct CorpusCase {
  const char* file;
  std::u16string_view section;
  std::u16string_view key;
  std::u16string_view expected;
};

constexpr CorpusCase kCorpusCases[] = {
    // UTF-16LE with BOM, CRLF.
    {"rpi-iotcore__RPIQ.inf", u"Strings", u"ProviderString", u"TODO-Set-Provider"},
    {"rpi-iotcore__RPIQ.inf", u"version", u"SIGNATURE", u"$WINDOWS NT$"},
    {"rpi-iotcore__RPIQ.inf", u"Strings", u"rpiq.DeviceDesc", u"RPIQ Driver"},
    // Windows-1252, LF; its DriverVer line is "DriverVer= ;".
    {"vigembus-2018__ViGEmBus.inf", u"Strings", u"ManufacturerName",
     u"Benjamin H\u00f6glinger-Stelzer"},
    {"vigembus-2018__ViGEmBus.inf", u"Version", u"DriverVer", u";"},
    // "DriverVer   = " has an empty value.
    {"fireshock-2017__FireShock.inf", u"Version", u"DriverVer", kDefault},
    // UTF-8 BOM in front of a comment line: everything after it reads normally.
    {"virtio-2010__wlh.inf", u"Strings", u"RHEL", u"Red Hat, Inc."},
    {"virtio-2010__wlh.inf", u"Version", u"Signature", u"$Windows NT$"},
    // UTF-8 BOM glued to "[Version]": that header is lost; UTF-8 text reads as Windows-1252.
    {"reactos__shortcuts.inf", u"Version", u"Signature", kDefault},
    {"reactos__shortcuts.inf", u"Strings.0405", u"SYSTOOLS",
     u"Syst\u00c3\u00a9mov\u00c3\u00a9 n\u00c3\u00a1stroje"},
};

TEST(ProfileReaderTest, ReadsRealInfFiles) {
  const std::string corpus = SPR_CORPUS_DIR;
  SPR_REQUIRE(!corpus.empty() && access(corpus.c_str(), R_OK | X_OK) == 0,
              "no INF corpus at '" + corpus + "' (SPR_CORPUS_DIR)");
  for (const CorpusCase& c : kCorpusCases) {
    SCOPED_TRACE(std::string(c.file) + " " + standin::EncodeFileName(c.key));
    EXPECT_EQ(ReadValue(corpus + "/" + c.file, c.section, c.key, 260).text, c.expected);
  }
}

}  // namespace
