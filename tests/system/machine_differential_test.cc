// The Linux build and the Windows executable under Wine on the same machines: seeded Windows
// directories of real INF files from the corpus, each with one rule's key injected in a mutated
// form and place. What the two remove must agree, INF by INF, except where Wine is known to read
// a profile otherwise than Windows; each such departure is listed with its evidence and must
// still be seen, so that the list retires itself when Wine changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "file_text.h"
#include "posix_process.h"
#include "prerequisites.h"
#include "scratch_directory.h"
#include "wine_departures.h"
#include "wine_listing.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kMachines = 4;
constexpr int kInfsPerMachine = 600;

// The rules, written out here independently of the product's table.
struct Rule {
  std::u16string_view key;
  std::u16string_view value;  // for rule 1, which takes any value, one such value
};
constexpr Rule kRules[] = {
    {u"Tamrix_Vessa_Driver_Name", u"Tamrix Vessa 4100 Series"},
    {u"DESCR1", u"Tamrix NXR KLT"},
    {u"DESCR1", u"Tamrix PNP"},
    {u"Dot4_Name", u"IEEE-1284.4 Driver QLDcor08"},
    {u"Dot4Usb_Name", u"USB Bridge Driver for IEEE-1284.4 QLDusb08"},
    {u"Dot4Par_Name", u"Parallel Port Bridge Driver for IEEE-1284.4"},
    {u"Dot4Print_Name", u"IEEE-1284.4 Printing Class Driver QLDprn08"},
    {u"DeviceDesc", u"QLD IEEE-1284.4 Storage Function Driver V8"},
};

// How the [Strings] header that holds the key is written.
struct HeaderShape {
  const char* name;
  std::u16string_view text;
  const char* departure;  // why Wine reads it otherwise than Windows, or null
};

constexpr HeaderShape kHeaderShapes[] = {
    {"plain", u"[Strings]", nullptr},
    {"plain", u"[Strings]", nullptr},
    {"lower case", u"[strings]", nullptr},
    {"blanks inside", u"[ Strings ]", nullptr},
    {"tabs inside", u"[\tStrings\t]", nullptr},
    {"indented", u"  \t[Strings]", nullptr},
    {"text after", u"[Strings] text", nullptr},
    {"comment after", u"[Strings] ; comment", nullptr},
    {"second opening", u"[[Strings]", nullptr},
    {"two closing", u"[Strings]]", kFirstClosingBracket},
    {"bracket in a comment after", u"[Strings] ; see [Other]", kFirstClosingBracket},
    {"no closing", u"[Strings  ", kNoClosingBracket},
};

// Where the key line goes.
enum class Place { kStringsEnd, kStringsStart, kAppendedStrings, kLocalizedStrings, kOtherSection };

struct Injected {
  std::string description;
  // Set when the key sits where Wine reads the file otherwise than Windows, with which build
  // then removes the INF.
  const char* departure = nullptr;
  bool departure_removed_by_linux = true;
};

template <typename T, size_t N>
const T& Pick(const T (&items)[N], std::mt19937& random) {
  return items[random() % N];
}

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }
char16_t Swapped(char16_t c) { return Lower(c) != c ? Lower(c) : Upper(c); }

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (const char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

std::u16string MutatedKeyLine(const Rule& rule, std::mt19937& random, std::string* description) {
  std::u16string key(rule.key);
  switch (random() % 4) {
    case 0: break;
    case 1: std::transform(key.begin(), key.end(), key.begin(), Lower); break;
    case 2: std::transform(key.begin(), key.end(), key.begin(), Upper); break;
    default: std::transform(key.begin(), key.end(), key.begin(), Swapped);
  }
  static constexpr std::u16string_view kBefore[] = {u"", u"", u" ", u"\t"};
  static constexpr std::u16string_view kEquals[] = {u"=", u"=", u" = ", u"= ", u" =\t"};
  std::u16string value(rule.value);
  switch (random() % 8) {
    case 0: value += u'x'; break;             // one unit longer
    case 1: value.pop_back(); break;          // one unit shorter
    case 2: std::transform(value.begin(), value.end(), value.begin(), Upper); break;
    default: break;
  }
  static constexpr std::u16string_view kOpen[] = {u"", u"\"", u"\"", u"'", u"\"", u"", u"\"\"", u"\"", u"'"};
  static constexpr std::u16string_view kClose[] = {u"", u"\"", u"\"", u"'", u"", u"\"", u"\"\"", u" \"", u"\""};
  const size_t quotes = random() % std::size(kOpen);
  static constexpr std::u16string_view kTail[] = {u"", u"", u"", u"  ", u"\t", u" ; comment"};
  const std::u16string_view tail = Pick(kTail, random);
  const std::u16string line = std::u16string(Pick(kBefore, random)) + key +
                              std::u16string(Pick(kEquals, random)) + std::u16string(kOpen[quotes]) +
                              value + std::u16string(kClose[quotes]) + std::u16string(tail);
  *description += "line '" + Narrow(line) + "'";
  return line;
}

std::u16string Trimmed(const std::u16string& line) {
  const size_t first = line.find_first_not_of(u" \t");
  if (first == std::u16string::npos) return u"";
  return line.substr(first, line.find_last_not_of(u" \t") - first + 1);
}

bool IsPlainStringsHeader(const std::u16string& line) {
  std::u16string trimmed = Trimmed(line);
  std::transform(trimmed.begin(), trimmed.end(), trimmed.begin(), Lower);
  return trimmed == u"[strings]";
}

// One INF: a corpus file with one key line injected, its lines and encoding possibly changed.
std::string BuildInf(const std::string& base, std::mt19937& random, Injected* injected) {
  std::vector<std::u16string> lines = SplitLines(FileUnits(base));
  const Rule& rule = kRules[random() % std::size(kRules)];
  const std::u16string key_line = MutatedKeyLine(rule, random, &injected->description);
  const HeaderShape& shape = Pick(kHeaderShapes, random);

  const auto strings = std::find_if(lines.begin(), lines.end(), IsPlainStringsHeader);
  const auto has_strings = strings != lines.end();
  const auto place = static_cast<Place>(random() % 5);
  auto section_end = [&](std::vector<std::u16string>::iterator header) {
    return std::find_if(header + 1, lines.end(), [](const std::u16string& l) {
      const std::u16string t = Trimmed(l);
      return !t.empty() && t[0] == u'[';
    });
  };
  if ((place == Place::kStringsEnd || place == Place::kStringsStart) && has_strings) {
    injected->description += std::string(", in [Strings] written '") + Narrow(shape.text) + "'";
    injected->departure = shape.departure;
    *strings = std::u16string(shape.text);
    lines.insert(place == Place::kStringsStart ? strings + 1 : section_end(strings), key_line);
  } else if (place == Place::kLocalizedStrings) {
    injected->description += ", in an appended [Strings.0407]";
    lines.insert(lines.end(), {u"[Strings.0407]", key_line});
  } else if (place == Place::kOtherSection) {
    injected->description += ", in an appended [Models.NTamd64]";
    lines.insert(lines.end(), {u"[Models.NTamd64]", key_line});
  } else {
    // Appended: the file's second [Strings] when it has one, which does not count.
    injected->description += std::string(", in an appended section written '") + Narrow(shape.text) +
                             (has_strings ? "' after the file's own [Strings]" : "'");
    if (!has_strings) {
      injected->departure = shape.departure;
    } else if (shape.departure == kNoClosingBracket) {
      // Wine reads the unclosed header as a key line of the section before it, which may be the
      // file's own [Strings]: the key is then in it.
      injected->departure = kNoClosingBracket;
      injected->departure_removed_by_linux = false;
    }
    lines.insert(lines.end(), {std::u16string(shape.text), key_line});
  }

  static constexpr std::u16string_view kLineEnds[] = {u"\r\n", u"\r\n", u"\n", u"\r"};
  const std::u16string_view line_end = Pick(kLineEnds, random);
  std::u16string text;
  for (const std::u16string& line : lines) text += line + std::u16string(line_end);
  const bool utf16 = random() % 2 == 0;
  injected->description += std::string(line_end == u"\r\n" ? ", CRLF" : line_end == u"\n" ? ", LF" : ", CR") +
                           (utf16 ? ", UTF-16LE" : ", ANSI");
  return utf16 ? Utf16LeFile(text) : AnsiFile(text);
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Corpus files both builds list alike: those with a byte order mark that Wine decodes and Windows
// does not (kByteOrderMarks) are left out.
std::vector<std::string> CorpusBases() {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(SPR_CORPUS_DIR)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> bases;
  for (const fs::path& path : paths) {
    const std::string bytes = ReadBytes(path);
    if (WineDecodesWhatWindowsDoesNot(bytes)) continue;
    bases.push_back(bytes);
  }
  return bases;
}

// Runs a program with these variables in its environment, its standard output going to `out`
// when one is given; returns its exit status, or -1 when it did not run to an exit.
int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
          int out = ProcessSpec::kInherit) {
  ProcessSpec spec;
  spec.argv = argv;
  spec.environment = environment;
  spec.out_fd = out;
  return RunPosixProcess(spec).exit_status;
}

// What a program printed, carriage returns and the last line end dropped.
std::string Capture(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  const CaptureFile output;
  if (Spawn(argv, environment, output.fd()) != 0) return "(failed)";
  std::string text = output.Text();
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "";
  for (size_t start = 0; start <= directories.size();) {
    size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    if (fs::exists(fs::path(directories.substr(start, end - start)) / program)) return true;
    start = end + 1;
  }
  return false;
}

TEST(MachineDifferentialTest, LinuxBuildAndWineRemoveTheSameInfs) {
  const fs::path exe = fs::path(SPR_WINDOWS_BUILD_DIR) / "staged-package-removal.exe";
  const fs::path probe = fs::path(SPR_WINDOWS_BUILD_DIR) / "exit-code-probe.exe";
  SPR_REQUIRE(fs::exists(exe) && fs::exists(probe),
              "no Windows executable or exit-code probe in '" + std::string(SPR_WINDOWS_BUILD_DIR) +
                  "': build the windows-x64 preset first (SPR_WINDOWS_BUILD_DIR)");
  SPR_REQUIRE(fs::is_directory(SPR_CORPUS_DIR),
              std::string("no INF corpus at '") + SPR_CORPUS_DIR + "' (SPR_CORPUS_DIR)");
  SPR_REQUIRE(OnPath("wine"), "wine is not installed");

  const std::vector<std::string> wine_env = {
      "WINEPREFIX=" + (fs::path(SPR_BINARY_DIR) / "wineprefix").string(), "WINEDEBUG=-all",
      "WINEDLLOVERRIDES=mscoree,mshtml="};
  ASSERT_EQ(Spawn({"wineboot", "--init"}, wine_env), 0);
  const fs::path wine_windows = fs::path(SPR_BINARY_DIR) / "wineprefix" / "drive_c" / "windows";

  const std::vector<std::string> bases = CorpusBases();
  ASSERT_FALSE(bases.empty());
  int inf_count = 0, agree = 0, removed_by_both = 0;
  std::map<std::string, int> departures_seen;
  std::vector<std::string> disagreements;
  for (unsigned seed = 1; seed <= kMachines; ++seed) {
    SCOPED_TRACE("machine " + std::to_string(seed));
    std::mt19937 random(seed);
    ScratchDirectory linux_windows;
    fs::create_directory(fs::path(linux_windows.path()) / "inf");
    std::vector<std::pair<std::string, Injected>> infs;
    for (int i = 0; i < kInfsPerMachine; ++i) {
      Injected injected;
      const std::string& base = bases[random() % bases.size()];
      const std::string bytes = BuildInf(base, random, &injected);
      const std::string name = "oem" + std::to_string(1000 + i) + ".inf";
      linux_windows.Write("inf/" + name, bytes);
      std::ofstream(wine_windows / "inf" / name, std::ios::binary) << bytes;
      AddWineListingAlias(wine_windows, name);
      infs.emplace_back(name, injected);
    }

    const int linux_exit = Spawn({SPR_EXECUTABLE}, {"WINDIR=" + linux_windows.path()});
    // Through the probe, which reads the full exit code and, like the Windows suites, starts the
    // program again when Wine 8 fails to start it (tests/win32_process.h).
    const std::string wine_exit = Capture({"wine", probe.string(), "Z:" + exe.string()}, wine_env);
    EXPECT_EQ(linux_exit, linux_exit == 0 ? 0 : 255);
    EXPECT_EQ(wine_exit, linux_exit == 0 ? "0" : "4294967295") << "exit codes";

    for (const auto& [name, injected] : infs) {
      const bool linux_removed = !fs::exists(fs::path(linux_windows.path()) / "inf" / name);
      const bool wine_removed = !fs::exists(wine_windows / "inf" / name);
      fs::remove(wine_windows / "inf" / name);
      RemoveWineListingAlias(wine_windows, name);
      ++inf_count;
      if (linux_removed == wine_removed) {
        ++agree;
        removed_by_both += linux_removed ? 1 : 0;
      } else if (injected.departure != nullptr &&
                 linux_removed == injected.departure_removed_by_linux) {
        ++departures_seen[injected.departure];
      } else {
        disagreements.push_back(name + " (" + injected.description + "): " +
                                (linux_removed ? "Linux build removed it, Wine kept it"
                                               : "Wine removed it, the Linux build kept it"));
      }
    }
  }

  std::cout << "machine differential: " << agree << " of " << inf_count << " INFs agree ("
            << removed_by_both << " removed by both)";
  for (const auto& [why, count] : departures_seen) std::cout << "; " << count << " differ: " << why;
  std::cout << "\n";
  EXPECT_EQ(disagreements, std::vector<std::string>{});
  // Matches must be common, or agreement would say little.
  EXPECT_GT(removed_by_both, inf_count / 20);
  for (const char* why : {kFirstClosingBracket, kNoClosingBracket}) {
    EXPECT_GT(departures_seen[why], 0) << "no longer seen, so Wine may now read as Windows: " << why;
  }
}

}  // namespace
