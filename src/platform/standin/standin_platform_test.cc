// Tests of the directory-backed seam: file-name text, paths, INF listing and uninstall.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_directory.h"
#include "file_text.h"

#include "platform/setup_platform.h"
#include "platform/standin/wide_text.h"

namespace {

using namespace std::string_view_literals;


constexpr WCHAR kUntouched = u'#';

// Sets or clears WINDIR for one test and puts the old value back afterwards.
class ScopedWindir {
 public:
  explicit ScopedWindir(const char* value) {
    if (const char* old = std::getenv("WINDIR")) saved_ = old;
    if (value == nullptr) {
      unsetenv("WINDIR");
    } else {
      setenv("WINDIR", value, 1);
    }
  }
  ScopedWindir(const ScopedWindir&) = delete;
  ScopedWindir& operator=(const ScopedWindir&) = delete;
  ~ScopedWindir() {
    if (saved_) {
      setenv("WINDIR", saved_->c_str(), 1);
    } else {
      unsetenv("WINDIR");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// ---- wide_text ----------------------------------------------------------------------------------

struct TextCase {
  const char* name;
  std::string_view bytes;
  std::u16string_view text;
};

constexpr TextCase kTextCases[] = {
    {"ascii", "oem1.inf", u"oem1.inf"},
    {"two-byte utf8", "caf\xC3\xA9", u"caf\u00e9"},
    {"three-byte utf8", "\xE2\x82\xAC", u"\u20ac"},
    {"four-byte utf8", "\xF0\x9F\x98\x80", u"\U0001F600"},
    {"latin-1 byte escaped", "caf\xE9.inf", u"caf\xDCE9.inf"},
    {"stray continuation escaped", "\x80\xBF", u"\xDC80\xDCBF"},
    {"cut-short sequence escaped", "\xE2\x82", u"\xDCE2\xDC82"},
    {"overlong form escaped", "\xC0\xAF", u"\xDCC0\xDCAF"},
    {"encoded surrogate escaped", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
    {"beyond U+10FFFF escaped", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},
    {"bad lead then a valid sequence", "\xE2\xE2\x82\xAC", u"\xDCE2\u20ac"},
};

TEST(WideTextTest, DecodesAndEncodesFileNames) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(standin::DecodeFileName(c.bytes), c.text);
    EXPECT_EQ(standin::EncodeFileName(c.text), c.bytes);
  }
}

TEST(WideTextTest, EncodesOtherLoneSurrogatesAsWtf8) {
  EXPECT_EQ(standin::EncodeFileName(u"a\xD800z"), "a\xED\xA0\x80z");
  EXPECT_EQ(standin::EncodeFileName(u"\xDC7F"), "\xED\xB1\xBF");
  EXPECT_EQ(standin::EncodeFileName(u"\xDD00"), "\xED\xB4\x80");
  // A high surrogate pairs with a following escape-range unit rather than releasing the byte.
  EXPECT_EQ(standin::EncodeFileName(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

TEST(WideTextTest, EveryShortByteStringRoundTrips) {
  for (unsigned first = 0; first < 256; ++first) {
    for (unsigned second = 0; second < 256; ++second) {
      const std::string bytes = {static_cast<char>(first), static_cast<char>(second), '\x80'};
      ASSERT_EQ(standin::EncodeFileName(standin::DecodeFileName(bytes)), bytes)
          << "bytes " << first << " " << second;
    }
  }
}

// ---- GetWindowsDirectoryW -----------------------------------------------------------------------

struct WindirCase {
  const char* name;
  const char* windir;  // null: unset
  UINT size;
  UINT expected_return;
  std::u16string_view expected_text;  // empty: buffer left untouched
};

constexpr WindirCase kWindirCases[] = {
    {"fits", "/win", 5, 4, u"/win"},
    {"no room for the terminator", "/win", 4, 5, u""},
    {"only measures", "/win", 0, 5, u""},
    {"utf8 decoded", "/w\xC3\xA9", 8, 3, u"/w\u00e9"},
    {"invalid byte escaped", "/w\xE9", 8, 3, u"/w\xDCE9"},
    {"unset", nullptr, 8, 0, u""},
    {"empty", "", 8, 0, u""},
};

TEST(GetWindowsDirectoryTest, ReportsWindir) {
  for (const WindirCase& c : kWindirCases) {
    SCOPED_TRACE(c.name);
    const ScopedWindir windir(c.windir);
    std::vector<WCHAR> buffer(8, kUntouched);
    EXPECT_EQ(platform::GetWindowsDirectoryW(c.size == 0 ? nullptr : buffer.data(), c.size),
              c.expected_return);
    if (c.expected_text.empty()) {
      EXPECT_EQ(buffer[0], kUntouched);
    } else {
      EXPECT_EQ(std::u16string(buffer.data()), c.expected_text);
    }
  }
}

// ---- PathCombineW -------------------------------------------------------------------------------

struct CombineCase {
  const char* name;
  const WCHAR* dir;
  const WCHAR* file;
  const WCHAR* expected;  // null: the call fails
};

constexpr CombineCase kCombineCases[] = {
    {"joined with a slash", u"/win/inf", u"oem1.inf", u"/win/inf/oem1.inf"},
    {"no second slash", u"/win/inf/", u"oem1.inf", u"/win/inf/oem1.inf"},
    {"empty dir", u"", u"oem1.inf", u"oem1.inf"},
    {"null dir", nullptr, u"oem1.inf", u"oem1.inf"},
    {"empty file", u"/win", u"", u"/win"},
    {"null file", u"/win", nullptr, u"/win"},
    {"both null", nullptr, nullptr, nullptr},
};

TEST(PathCombineTest, JoinsPieces) {
  for (const CombineCase& c : kCombineCases) {
    SCOPED_TRACE(c.name);
    WCHAR dest[MAX_PATH];
    std::fill(std::begin(dest), std::end(dest), kUntouched);
    const WCHAR* result = platform::PathCombineW(dest, c.dir, c.file);
    EXPECT_EQ(result, c.expected == nullptr ? nullptr : dest);
    EXPECT_EQ(std::u16string(dest), c.expected == nullptr ? u"" : c.expected);
  }
}

TEST(PathCombineTest, FailsBeyondMaxPath) {
  struct SizedCase {
    const char* name;
    std::size_t dir_units;
    bool fits;
  };
  // dir + '/' + "f" + terminator: 257 units make 260, 258 make 261.
  constexpr SizedCase kSized[] = {{"fills MAX_PATH", 257, true}, {"one over MAX_PATH", 258, false}};
  for (const SizedCase& c : kSized) {
    SCOPED_TRACE(c.name);
    const std::u16string dir(c.dir_units, u'd');
    WCHAR dest[MAX_PATH];
    std::fill(std::begin(dest), std::end(dest), kUntouched);
    const WCHAR* result = platform::PathCombineW(dest, dir.c_str(), u"f");
    EXPECT_EQ(result, c.fits ? dest : nullptr);
    EXPECT_EQ(std::u16string(dest), c.fits ? dir + u"/f" : u"");
  }
}

TEST(PathCombineTest, DestinationMayBeTheDirectory) {
  WCHAR buffer[MAX_PATH] = u"/win/inf";
  EXPECT_EQ(platform::PathCombineW(buffer, buffer, u"oem2.inf"), buffer);
  EXPECT_EQ(std::u16string(buffer), u"/win/inf/oem2.inf");
  EXPECT_EQ(platform::PathCombineW(nullptr, u"/win", u"x"), nullptr);
}

// ---- Windows directory fixtures -----------------------------------------------------------------

// A fresh Windows directory with an empty inf/ in it, made WINDIR for the object's lifetime.
struct WindowsTree {
  ScratchDirectory root;
  ScopedWindir windir{root.path().c_str()};

  WindowsTree() { EXPECT_EQ(mkdir(root.Child("inf").c_str(), 0755), 0); }

  std::string Path(std::string_view relative) const { return root.Child(relative); }
  void Write(std::string_view relative, std::string_view bytes) const {
    root.Write(relative, bytes);
  }
  void Link(std::string_view relative, const char* target) const {
    EXPECT_EQ(symlink(target, Path(relative).c_str()), 0) << relative;
  }
  void MakeDir(std::string_view relative) const {
    EXPECT_EQ(mkdir(Path(relative).c_str(), 0755), 0) << relative;
  }

  // Every path under the root, relative and sorted; real directories end in '/'.
  std::vector<std::string> Entries() const {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
      std::string relative = entry.path().lexically_relative(root.path()).string();
      if (entry.is_directory() && !entry.is_symlink()) relative += "/";
      paths.push_back(relative);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }
};

constexpr std::string_view kNtInf = "[Version]\nSignature=\"$Windows NT$\"\n";

// Splits a multi-string into its names, checking that it closes exactly at units.
std::vector<std::u16string> SplitMultiString(const WCHAR* list, DWORD units) {
  std::vector<std::u16string> names;
  DWORD at = 0;
  while (at < units && list[at] != 0) {
    names.emplace_back(list + at);
    at += static_cast<DWORD>(names.back().size()) + 1;
  }
  EXPECT_EQ(at + 1, units) << "the list must close with one empty name exactly at RequiredSize";
  return names;
}

// Lists the INF directory of WINDIR with a buffer of exactly the measured size.
std::vector<std::u16string> ListInfs(const WCHAR* directory = nullptr) {
  DWORD required = 0;
  EXPECT_EQ(platform::SetupGetInfFileListW(directory, INF_STYLE_WIN4, nullptr, 0, &required), TRUE);
  std::vector<WCHAR> buffer(required, kUntouched);
  DWORD listed = 0;
  EXPECT_EQ(platform::SetupGetInfFileListW(directory, INF_STYLE_WIN4, buffer.data(), required,
                                           &listed),
            TRUE);
  EXPECT_EQ(listed, required);
  return SplitMultiString(buffer.data(), listed);
}

// ---- SetupGetInfFileListW -----------------------------------------------------------------------

struct ListCase {
  const char* name;
  void (*prepare)(const WindowsTree& tree);
  std::vector<std::u16string> expected;
};

const ListCase kListCases[] = {
    {"signatures",
     [](const WindowsTree& t) {
       t.Write("inf/a.inf", kNtInf);
       t.Write("inf/b.inf", "; x\r\n[version]\r\nsignature = $CHICAGO$\r\n");
       t.Write("inf/c.inf", "[Version]\nSignature=\"$Windows 95$\"\n");
       t.Write("inf/d.inf", "[Strings]\nSignature=\"$Windows NT$\"\n");
       t.Write("inf/e.inf", Utf16LeFile(u"[Version]\r\nSignature=\"$wInDoWs nt$\""));
       t.Write("inf/f.inf", "[Version]\nSignature=\"$Windows NT$x\"\n");
       t.Write("inf/g.inf", "\xEF\xBB\xBF[Version]\nSignature=\"$Windows NT$\"\n");
       t.Write("inf/h.inf", "");
     },
     {u"a.inf", u"b.inf", u"e.inf"}},
    {"extension in any case",
     [](const WindowsTree& t) {
       for (const char* name : {"x.INF", "y.Inf", "z.inf.bak", "z.txt", "inf", "zinf"}) {
         t.Write("inf/" + std::string(name), kNtInf);
       }
     },
     {u"x.INF", u"y.Inf"}},
    {"only regular files, links followed",
     [](const WindowsTree& t) {
       t.Write("target.txt", kNtInf);
       t.MakeDir("sub");
       t.MakeDir("inf/dir.inf");
       t.Write("inf/dir.inf/Version", kNtInf);
       t.Link("inf/file.inf", "../target.txt");
       t.Link("inf/dirlink.inf", "../sub");
       t.Link("inf/dangling.inf", "../nowhere.inf");
       EXPECT_EQ(mkfifo(t.Path("inf/fifo.inf").c_str(), 0644), 0);
     },
     {u"file.inf"}},
    {"sorted ignoring ascii case, ties by units",
     [](const WindowsTree& t) {
       for (const char* name : {"b.inf", "a.inf", "C.inf", "A.inf", "_x.inf", "a0.inf", "c.inf"}) {
         t.Write("inf/" + std::string(name), kNtInf);
       }
     },
     {u"_x.inf", u"A.inf", u"a.inf", u"a0.inf", u"b.inf", u"C.inf", u"c.inf"}},
    {"non-utf8 name escaped",
     [](const WindowsTree& t) { t.Write("inf/caf\xE9.inf", kNtInf); },
     {u"caf\xDCE9.inf"}},
    {"empty directory", [](const WindowsTree&) {}, {}},
};

TEST(SetupGetInfFileListTest, ListsSignedInfFiles) {
  for (const ListCase& c : kListCases) {
    SCOPED_TRACE(c.name);
    const WindowsTree tree;
    c.prepare(tree);
    EXPECT_EQ(ListInfs(), c.expected);
    const std::u16string explicit_dir = standin::DecodeFileName(tree.Path("inf"));
    EXPECT_EQ(ListInfs(explicit_dir.c_str()), c.expected) << "with the directory given";
  }
}

enum class Windir { kTree, kUnset, kEmpty };
enum class InfEntry { kMissing, kFile };

struct ListFailureCase {
  const char* name;
  Windir windir;
  InfEntry inf;
  DWORD style;
  BOOL expected;
};

constexpr ListFailureCase kListFailureCases[] = {
    {"missing inf directory is an empty list", Windir::kTree, InfEntry::kMissing, INF_STYLE_WIN4,
     TRUE},
    {"inf is a file", Windir::kTree, InfEntry::kFile, INF_STYLE_WIN4, FALSE},
    {"windir unset", Windir::kUnset, InfEntry::kMissing, INF_STYLE_WIN4, FALSE},
    {"windir empty", Windir::kEmpty, InfEntry::kMissing, INF_STYLE_WIN4, FALSE},
    {"old style not supported", Windir::kTree, InfEntry::kMissing, 1, FALSE},
};

TEST(SetupGetInfFileListTest, HandlesMissingAndInvalidDirectories) {
  for (const ListFailureCase& c : kListFailureCases) {
    SCOPED_TRACE(c.name);
    ScratchDirectory root;
    if (c.inf == InfEntry::kFile) root.Write("inf", kNtInf);
    const ScopedWindir windir(c.windir == Windir::kTree    ? root.path().c_str()
                              : c.windir == Windir::kEmpty ? ""
                                                           : nullptr);
    WCHAR buffer[4] = {kUntouched, kUntouched};
    DWORD required = 99;
    EXPECT_EQ(platform::SetupGetInfFileListW(nullptr, c.style, buffer, 4, &required), c.expected);
    if (c.expected == TRUE) {
      EXPECT_EQ(required, 1u);
      EXPECT_EQ(buffer[0], 0);
    } else {
      EXPECT_EQ(buffer[0], kUntouched);
    }
  }
}

// Names equal but for case come upper case first whatever order the directory returns them in;
// with pairs created in alternating order, neither creation nor hash order can pass by chance.
TEST(SetupGetInfFileListTest, BreaksCaseTiesByUnits) {
  const WindowsTree tree;
  std::vector<std::u16string> expected;
  for (char digit = '0'; digit <= '9'; ++digit) {
    const std::string upper = std::string("K") + digit + ".inf";
    const std::string lower = std::string("k") + digit + ".inf";
    tree.Write("inf/" + (digit % 2 == 0 ? upper : lower), kNtInf);
    tree.Write("inf/" + (digit % 2 == 0 ? lower : upper), kNtInf);
    expected.push_back(standin::DecodeFileName(upper));
    expected.push_back(standin::DecodeFileName(lower));
  }
  EXPECT_EQ(ListInfs(), expected);
}

TEST(SetupGetInfFileListTest, NamedDirectoryNeedsNoWindir) {
  const ScratchDirectory dir;
  dir.Write("oem1.inf", kNtInf);
  const ScopedWindir windir(nullptr);
  const std::u16string path = standin::DecodeFileName(dir.path());
  EXPECT_EQ(ListInfs(path.c_str()), std::vector<std::u16string>{u"oem1.inf"});
}

TEST(SetupGetInfFileListTest, WritesNothingIntoAShortBuffer) {
  const WindowsTree tree;
  tree.Write("inf/oem1.inf", kNtInf);
  tree.Write("inf/oem22.inf", kNtInf);
  constexpr DWORD kNeeded = 9 + 10 + 1;

  DWORD required = 0;
  EXPECT_EQ(platform::SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, nullptr, 0, &required), TRUE);
  EXPECT_EQ(required, kNeeded);

  std::vector<WCHAR> buffer(kNeeded, kUntouched);
  required = 0;
  EXPECT_EQ(platform::SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, buffer.data(), kNeeded - 1,
                                           &required),
            FALSE);
  EXPECT_EQ(required, kNeeded);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](WCHAR u) { return u == kUntouched; }));

  EXPECT_EQ(
      platform::SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, buffer.data(), kNeeded, nullptr),
      TRUE);
  EXPECT_EQ(SplitMultiString(buffer.data(), kNeeded),
            (std::vector<std::u16string>{u"oem1.inf", u"oem22.inf"}));
}

// The name the listing gives for a file whose name is not UTF-8 must lead back to that file.
TEST(SetupGetInfFileListTest, NonUtf8NamesLeadBackToTheirFiles) {
  const WindowsTree tree;
  tree.Write("inf/\xE9t\xE9.inf", "[Version]\nSignature=$Chicago$\n[Strings]\nName=latin1\n");
  const std::vector<std::u16string> names = ListInfs();
  ASSERT_EQ(names.size(), 1u);
  WCHAR directory[MAX_PATH];
  ASSERT_GT(platform::GetWindowsDirectoryW(directory, MAX_PATH), 0u);
  WCHAR inf_dir[MAX_PATH];
  WCHAR path[MAX_PATH];
  ASSERT_NE(platform::PathCombineW(inf_dir, directory, u"inf"), nullptr);
  ASSERT_NE(platform::PathCombineW(path, inf_dir, names[0].c_str()), nullptr);
  WCHAR value[16];
  EXPECT_EQ(platform::GetPrivateProfileStringW(u"Strings", u"Name", u"", value, 16, path), 6u);
  EXPECT_EQ(std::u16string(value), u"latin1");
}

// ---- the listing is a snapshot -----------------------------------------------------------------

TEST(SetupGetInfFileListTest, FilesThatVanishOrChangeAfterTheListingAreReadAsTheyAreNow) {
  const WindowsTree tree;
  tree.Write("inf/oem1.inf", std::string(kNtInf) + "[Strings]\nk=one\n");
  tree.Write("inf/oem2.inf", std::string(kNtInf) + "[Strings]\nk=two\n");
  tree.Write("inf/oem3.inf", std::string(kNtInf) + "[Strings]\nk=three\n");
  ASSERT_EQ(ListInfs(), (std::vector<std::u16string>{u"oem1.inf", u"oem2.inf", u"oem3.inf"}));

  ASSERT_EQ(unlink(tree.Path("inf/oem1.inf").c_str()), 0);
  tree.Write("inf/oem2.inf", std::string(kNtInf) + "[Strings]\nk=owt\n");  // same size
  ASSERT_EQ(rename(tree.Path("inf/oem3.inf").c_str(), tree.Path("old.inf").c_str()), 0);
  tree.Write("inf/oem3.inf", std::string(kNtInf) + "[Strings]\nk=replaced\n");

  const struct {
    const char* name;
    std::u16string_view expected;
  } cases[] = {{"oem1.inf", u""}, {"oem2.inf", u"owt"}, {"oem3.inf", u"replaced"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string path = standin::DecodeFileName(tree.Path("inf/" + std::string(c.name)));
    WCHAR value[MAX_PATH];
    const DWORD count = platform::GetPrivateProfileStringW(u"Strings", u"k", u"", value, MAX_PATH,
                                                           path.c_str());
    EXPECT_EQ(std::u16string_view(value, count), c.expected);
  }
}

// ---- GetPrivateProfileStringW file names --------------------------------------------------------

TEST(GetPrivateProfileStringTest, RelativeNamesAreInTheWindowsDirectory) {
  const WindowsTree tree;
  tree.Write("app.ini", "[S]\nk=top\n");
  tree.Write("inf/oem1.inf", "[S]\nk=nested\n");
  struct NameCase {
    const char* name;
    std::u16string file;
    std::u16string_view expected;
  };
  const NameCase cases[] = {
      {"bare name", u"app.ini", u"top"},
      {"relative path", u"inf/oem1.inf", u"nested"},
      {"full path", standin::DecodeFileName(tree.Path("inf/oem1.inf")), u"nested"},
      {"missing", u"none.ini", u"d"},
      {"empty name", u"", u"d"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    WCHAR value[16];
    platform::GetPrivateProfileStringW(u"S", u"k", u"d", value, 16, c.file.c_str());
    EXPECT_EQ(std::u16string(value), c.expected);
  }
}

// ---- SetupUninstallOEMInfW ----------------------------------------------------------------------

struct UninstallCase {
  const char* name;
  void (*prepare)(const WindowsTree& tree);  // on top of oem1.*, oem12.* and printer.*
  const WCHAR* argument;
  BOOL expected;
  std::vector<std::string> removed;
  DWORD flags = SUOI_FORCEDELETE;
  bool reserved = false;
  bool unset_windir = false;
};

void Nothing(const WindowsTree&) {}

const UninstallCase kUninstallCases[] = {
    {"oem name and its pnf", Nothing, u"oem12.inf", TRUE, {"inf/oem12.inf", "inf/oem12.pnf"}},
    {"no flags", Nothing, u"oem1.inf", TRUE, {"inf/oem1.inf", "inf/oem1.pnf"}, 0},
    {"upper case, twin in other case",
     [](const WindowsTree& t) {
       t.Write("inf/OEM3.INF", kNtInf);
       t.Write("inf/Oem3.Pnf", "");
     },
     u"OEM3.INF", TRUE, {"inf/OEM3.INF", "inf/Oem3.Pnf"}},
    {"no twin", [](const WindowsTree& t) { t.Write("inf/oem4.inf", kNtInf); }, u"oem4.inf", TRUE,
     {"inf/oem4.inf"}},
    {"symlink removed, target kept",
     [](const WindowsTree& t) {
       t.Write("target.inf", kNtInf);
       t.Link("inf/oem9.inf", "../target.inf");
       t.Write("inf/oem9.pnf", "");
     },
     u"oem9.inf", TRUE, {"inf/oem9.inf", "inf/oem9.pnf"}},
    {"not an oem name", Nothing, u"printer.inf", FALSE, {}},
    {"no digits", [](const WindowsTree& t) { t.Write("inf/oem.inf", kNtInf); }, u"oem.inf",
     FALSE, {}},
    {"letters after digits", [](const WindowsTree& t) { t.Write("inf/oem5x.inf", kNtInf); },
     u"oem5x.inf", FALSE, {}},
    {"the pnf named", Nothing, u"oem1.pnf", FALSE, {}},
    {"relative path", Nothing, u"../inf/oem1.inf", FALSE, {}},
    {"path inside the directory", Nothing, u"./oem1.inf", FALSE, {}},
    {"missing file, twin present", [](const WindowsTree& t) { t.Write("inf/oem6.pnf", ""); },
     u"oem6.inf", FALSE, {}},
    {"directory", [](const WindowsTree& t) { t.MakeDir("inf/oem7.inf"); }, u"oem7.inf", FALSE,
     {}},
    {"dangling symlink", [](const WindowsTree& t) { t.Link("inf/oem10.inf", "../gone.inf"); },
     u"oem10.inf", FALSE, {}},
    {"read-only file kept",
     [](const WindowsTree& t) {
       t.Write("inf/oem8.inf", kNtInf);
       t.Write("inf/oem8.pnf", "");
       EXPECT_EQ(chmod(t.Path("inf/oem8.inf").c_str(), 0444), 0);
     },
     u"oem8.inf", FALSE, {}},
    {"reserved must be null", Nothing, u"oem1.inf", FALSE, {}, SUOI_FORCEDELETE, true},
    {"windir unset", Nothing, u"oem1.inf", FALSE, {}, SUOI_FORCEDELETE, false, true},
    {"null name", Nothing, nullptr, FALSE, {}},
};

TEST(SetupUninstallOemInfTest, RemovesOnlyOemInfsAndTheirPnf) {
  for (const UninstallCase& c : kUninstallCases) {
    SCOPED_TRACE(c.name);
    const WindowsTree tree;
    for (const char* name : {"oem1.inf", "oem1.pnf", "oem12.inf", "oem12.pnf", "printer.inf",
                             "printer.pnf"}) {
      tree.Write("inf/" + std::string(name), kNtInf);
    }
    c.prepare(tree);
    std::vector<std::string> expected = tree.Entries();
    for (const std::string& gone : c.removed) std::erase(expected, gone);
    ASSERT_EQ(expected.size(), tree.Entries().size() - c.removed.size()) << "removed list typo";

    int reserved_target = 0;
    {
      const std::optional<ScopedWindir> unset =
          c.unset_windir ? std::make_optional<ScopedWindir>(nullptr) : std::nullopt;
      EXPECT_EQ(platform::SetupUninstallOEMInfW(c.argument, c.flags,
                                                c.reserved ? &reserved_target : nullptr),
                c.expected);
    }
    EXPECT_EQ(tree.Entries(), expected);
  }
}

// ---- heap ---------------------------------------------------------------------------------------

TEST(GeneralHeapTest, AllocatesZeroedDistinctBlocks) {
  void* empty_a = platform::GeneralHeapAlloc(0);
  void* empty_b = platform::GeneralHeapAlloc(0);
  EXPECT_NE(empty_a, nullptr);
  EXPECT_NE(empty_a, empty_b);
  auto* block = static_cast<unsigned char*>(platform::GeneralHeapAlloc(4096));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + 4096, [](unsigned char b) { return b == 0; }));
  platform::GeneralHeapFree(block);
  platform::GeneralHeapFree(empty_a);
  platform::GeneralHeapFree(empty_b);
  platform::GeneralHeapFree(nullptr);
}

}  // namespace
