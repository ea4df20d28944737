// The Linux stand-in against a real implementation of the same Windows functions: every query
// is put to Wine's GetPrivateProfileStringW and SetupGetInfFileListW (through wine-profile-probe)
// and to the stand-in, and the answers must agree, except where Wine is known to depart from
// Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/setup_platform.h"
#include "platform/standin/wide_text.h"
#include "posix_process.h"
#include "prerequisites.h"
#include "scratch_directory.h"
#include "file_text.h"
#include "wine_departures.h"

namespace fs = std::filesystem;

namespace {

struct Query {
  std::string path;  // Linux path of the file
  std::string section;
  std::string key;
};

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string WinePath(const std::string& linux_path) {
  std::string path = "Z:" + linux_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Every key-looking name of the file (printable ASCII before an '='), asked of [Strings]; the
// [Version] signature; the first keys of each localized [Strings.xxxx]; and a key no file has.
std::vector<Query> QueriesFor(const fs::path& file) {
  const std::u16string text = FileUnits(ReadBytes(file));
  std::vector<Query> queries = {{file.string(), "Version", "Signature"},
                                {file.string(), "Strings", "NoSuchKey_2f9c"}};
  std::set<std::string> keys;
  std::string section;
  for (const std::u16string& units : SplitLines(text)) {
    std::string line;
    bool ascii = true;
    for (const char16_t unit : units) {
      if (unit < 0x20 && unit != u'\t') ascii = false;
      if (unit > 0x7E) ascii = false;
      line.push_back(static_cast<char>(unit & 0x7F));
    }
    line = Trimmed(line);
    if (!ascii || line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.find(']') != std::string::npos) {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    const std::string key = Trimmed(line.substr(0, equals));
    if (key.empty() || key.size() > 60 || !keys.insert(section + "\t" + key).second) continue;
    if (keys.size() > 150) break;
    const bool localized = section.size() > 8 && (section.rfind("Strings.", 0) == 0 || section.rfind("strings.", 0) == 0);
    queries.push_back({file.string(), localized ? section : "Strings", key});
  }
  return queries;
}

std::string Answer(DWORD count, const WCHAR* units) {
  std::ostringstream out;
  out << count << ':' << std::hex;
  for (DWORD i = 0; i < count; ++i) out << (i ? "," : "") << static_cast<unsigned>(units[i]);
  return out.str();
}

std::string StandInAnswer(const Query& q) {
  WCHAR value[MAX_PATH];
  const std::u16string path = standin::DecodeFileName(q.path);
  const std::u16string section(q.section.begin(), q.section.end());
  const std::u16string key(q.key.begin(), q.key.end());
  const DWORD count = platform::GetPrivateProfileStringW(section.c_str(), key.c_str(), u"", value,
                                                         MAX_PATH, path.c_str());
  return Answer(count, value);
}

// The probe's output lines, carriage returns dropped; its standard error is not read.
std::vector<std::string> RunProbe(const std::vector<std::string>& arguments) {
  ProcessSpec spec;
  spec.argv = {"wine", SPR_WINE_PROBE};
  spec.argv.insert(spec.argv.end(), arguments.begin(), arguments.end());
  spec.environment = {"WINEPREFIX=" + (fs::path(SPR_BINARY_DIR) / "wineprefix").string(),
                      "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
  const CaptureFile out, err;
  spec.out_fd = out.fd();
  spec.err_fd = err.fd();
  RunPosixProcess(spec);
  std::vector<std::string> lines;
  std::string line;
  for (const char c : out.Text()) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line.push_back(c);
    }
  }
  return lines;
}

// Single queries where Wine 8 is known to answer otherwise than Windows. Each must still differ,
// so that this list stays true.
struct WineDeviation {
  const char* file;
  const char* key;
  const char* why;
};
constexpr WineDeviation kWineDeviations[] = {
    {"key-without-equals.inf", "k1", kLineWithoutEquals},
    {"lengths.inf", "q259", kQuotesStrippedAfterTheCut},
    {"header-two-closing.inf", "h3", kFirstClosingBracket},
    {"header-bracket-after.inf", "h7", kFirstClosingBracket},
    {"header-unclosed.inf", "h8", kNoClosingBracket},
    {"header-unclosed-ends-section.inf", "h9", kNoClosingBracket},
};

const WineDeviation* KnownDeviation(const Query& q) {
  for (const WineDeviation& d : kWineDeviations) {
    if (fs::path(q.path).filename() == d.file && q.key == d.key) return &d;
  }
  return nullptr;
}

// Small files for the rules the corpus rarely exercises.
std::vector<std::pair<std::string, std::string>> GeneratedFiles() {
  const std::string v = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  const std::string a259(259, 'a'), a260(260, 'a');
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"quotes.inf", v + "[Strings]\r\nk1=\"double\"\r\nk2='single'\r\nk3=\"mixed'\r\nk4=\"\r\nk5=\"\"\r\nk6= \" spaced \" \r\nk7=\"in\"side\"\r\n"},
      {"spacing.inf", v + "[Strings]\r\n  k1  =  v 1  \r\n\tk2\t=\tv2\t\r\nk3 = \r\nk4=\t\r\n"},
      {"case.inf", v + "[sTRINGS]\r\nDescr1=Value\r\nDESCR2=VALUE\r\n"},
      {"duplicates.inf", v + "[Strings]\r\nk1=first\r\nK1=second\r\n[Strings]\r\nk2=later section\r\n"},
      {"comments.inf", v + "[Strings]\r\n;k1=commented\r\nk2=a;b\r\n  ; k3=indented comment\r\nk4=v ;tail\r\n"},
      {"lengths.inf", v + "[Strings]\r\nk259=" + a259 + "\r\nk260=" + a260 + "\r\nq259=\"" + a259 + "\"\r\n"},
      {"cr-only.inf", "[Version]\rSignature=\"$Chicago$\"\r[Strings]\rk1=cr\rk2=ends\r"},
      {"lf-only.inf", "[Version]\nSignature=$CHICAGO$\n[Strings]\nk1=lf\nk2=ends\n"},
      {"ansi.inf", v + "[Strings]\r\nk1=H\xF6gl \x80 \x9F\r\nk2=\xE4\xF6\xFC\xDF\r\n"},
      {"no-signature.inf", "[Version]\r\nClass=Printer\r\n[Strings]\r\nk1=v\r\n"},
      {"other-signature.inf", "[Version]\r\nSignature=\"$Windows 95$\"\r\n[Strings]\r\nk1=v\r\n"},
      {"key-without-equals.inf", v + "[Strings]\r\nk1\r\nk1=after\r\nk2=v\r\n"},
      // Section header shapes, one per file, each before the key it hides or shows.
      {"header-blanks.inf", v + "[ Strings ]\r\nh1=v\r\n"},
      {"header-tabs.inf", v + "[\tStrings \t]\r\nh2=v\r\n"},
      {"header-two-closing.inf", v + "[Strings]]\r\nh3=v\r\n"},
      {"header-second-opening.inf", v + "[[Strings]\r\nh4=v\r\n"},
      {"header-text-after.inf", v + "[Strings] text\r\nh5=v\r\n"},
      {"header-comment-after.inf", v + "[Strings] ; comment\r\nh6=v\r\n"},
      {"header-bracket-after.inf", v + "[Strings] ; see [Other]\r\nh7=v\r\n"},
      {"header-unclosed.inf", v + "[Strings \r\nh8=v\r\n"},
      {"header-unclosed-ends-section.inf", v + "[Strings]\r\nh0=v\r\n[Other\r\nh9=v\r\n"},
      {"header-indented.inf", v + "  \t[Strings]\r\nh10=v\r\n"},
      {"not-an-inf.txt", v + "[Strings]\r\nk1=v\r\n"},
  };
  std::vector<std::pair<std::string, std::string>> files = texts;
  files.push_back({"utf16le.inf", Utf16LeFile(v + "[Strings]\r\nk1=\xC3\xA9t\xC3\xA9\r\nk2=\xE6\x97\xA5\xE6\x9C\xAC\r\n")});
  std::string no_bom = Utf16LeFile(v + "[Strings]\r\nk1=v\r\n").substr(2);
  files.push_back({"utf16le-no-bom.inf", no_bom});
  files.push_back({"utf8-bom.inf", "\xEF\xBB\xBF" + v + "[Strings]\r\nk1=\xC3\xA9\r\n"});
  std::string be = "\xFE\xFF";
  for (const char c : v + "[Strings]\r\nk1=v\r\n") be += std::string("\0", 1) + c;
  files.push_back({"utf16be.inf", be});
  return files;
}

TEST(WineFidelityTest, ProfileReadsAndListingAgreeWithWine) {
  SPR_REQUIRE(fs::exists(SPR_WINE_PROBE), std::string("no Wine probe at '") + SPR_WINE_PROBE +
                                              "': build the windows-x64 preset first "
                                              "(SPR_WINDOWS_BUILD_DIR)");
  SPR_REQUIRE(fs::is_directory(SPR_CORPUS_DIR),
              std::string("no INF corpus at '") + SPR_CORPUS_DIR + "' (SPR_CORPUS_DIR)");
  ScratchDirectory scratch;
  const fs::path generated = fs::path(scratch.path()) / "generated";
  fs::create_directory(generated);
  for (const auto& [name, bytes] : GeneratedFiles()) std::ofstream(generated / name, std::ios::binary) << bytes;

  std::vector<fs::path> files;
  const fs::path corpus = SPR_CORPUS_DIR;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    const std::string extension = entry.path().extension().string();
    if (extension == ".inf" || extension == ".inx") files.push_back(entry.path());
  }
  for (const auto& entry : fs::directory_iterator(generated)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());

  std::vector<Query> queries;
  for (const fs::path& file : files) {
    const std::vector<Query> more = QueriesFor(file);
    queries.insert(queries.end(), more.begin(), more.end());
  }
  const fs::path query_file = fs::path(scratch.path()) / "queries.txt";
  {
    std::ofstream out(query_file, std::ios::binary);
    for (const Query& q : queries) out << WinePath(q.path) << '\t' << q.section << '\t' << q.key << '\n';
  }
  const std::vector<std::string> wine = RunProbe({"read", WinePath(query_file.string())});
  ASSERT_EQ(wine.size(), queries.size()) << "the probe did not answer every query";

  size_t agree = 0, deviations = 0;
  std::vector<std::string> disagreements;
  for (size_t i = 0; i < queries.size(); ++i) {
    const std::string ours = StandInAnswer(queries[i]);
    if (const WineDeviation* known = KnownDeviation(queries[i])) {
      EXPECT_NE(ours, wine[i]) << "Wine now agrees, so this no longer holds: " << known->why;
      ++deviations;
    } else if (ours == wine[i]) {
      ++agree;
    } else if (WineDecodesWhatWindowsDoesNot(ReadBytes(queries[i].path))) {
      ++deviations;
    } else {
      disagreements.push_back(fs::path(queries[i].path).filename().string() + " [" +
                              queries[i].section + "] " + queries[i].key + ": wine " + wine[i] +
                              ", stand-in " + ours);
    }
  }
  std::cout << "profile reads: " << agree << " of " << queries.size() << " agree with Wine, "
            << deviations << " differ where Wine departs from Windows, " << disagreements.size()
            << " disagree\n";
  EXPECT_EQ(disagreements, std::vector<std::string>{});

  for (const fs::path& directory : {corpus, generated}) {
    SCOPED_TRACE(directory.string());
    std::vector<std::string> wine_listing = RunProbe({"list", WinePath(directory.string())});
    std::set<std::string> wine_names(wine_listing.begin(), wine_listing.end());
    std::set<std::string> our_names;
    const std::u16string directory16 = standin::DecodeFileName(directory.string());
    DWORD required = 0;
    ASSERT_TRUE(platform::SetupGetInfFileListW(directory16.c_str(), INF_STYLE_WIN4, nullptr, 0, &required));
    std::vector<WCHAR> list(required);
    ASSERT_TRUE(platform::SetupGetInfFileListW(directory16.c_str(), INF_STYLE_WIN4, list.data(), required, &required));
    for (const WCHAR* name = list.data(); *name != 0; name += std::u16string_view(name).size() + 1) {
      our_names.insert(standin::EncodeFileName(name));
    }
    std::vector<std::string> only_wine, only_ours;
    std::set_difference(wine_names.begin(), wine_names.end(), our_names.begin(), our_names.end(), std::back_inserter(only_wine));
    std::set_difference(our_names.begin(), our_names.end(), wine_names.begin(), wine_names.end(), std::back_inserter(only_ours));
    std::cout << "listing of " << directory.filename().string() << ": " << wine_names.size()
              << " files by Wine, " << our_names.size() << " by the stand-in\n";
    for (const std::string& name : only_wine) {
      std::cout << "  only Wine lists " << name << "\n";
      EXPECT_TRUE(WineDecodesWhatWindowsDoesNot(ReadBytes(directory / name))) << name << ": " << kByteOrderMarks;
    }
    EXPECT_EQ(only_ours, std::vector<std::string>{});
  }
}

}  // namespace
