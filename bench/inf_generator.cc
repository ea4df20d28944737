// The benchmark's INF directory generator.
#include "inf_generator.h"

#include "file_text.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Section {
  std::u16string name;  // lower-case ASCII, for telling [Version] and [Strings] apart
  std::u16string text;  // header and lines, CRLF line ends
};

struct SampleInf {
  std::vector<Section> sections;
  size_t units = 0;
};

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  return text;
}

SampleInf Parse(const std::u16string& text) {
  SampleInf inf;
  inf.sections.push_back({u"", u""});  // lines before the first header
  for (const std::u16string& line : SplitLines(text)) {
    const size_t first = line.find_first_not_of(u" \t");
    if (first != std::u16string::npos && line[first] == u'[' && line.find(u']') != std::u16string::npos) {
      const size_t close = line.find(u']');
      inf.sections.push_back({Lower(line.substr(first + 1, close - first - 1)), u""});
    }
    inf.sections.back().text += line + u"\r\n";
    inf.units += line.size() + 2;
  }
  return inf;
}

std::vector<SampleInf> LoadCorpus(const std::string& directory) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".inf") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<SampleInf> corpus;
  for (const fs::path& path : paths) {
    std::ifstream in(path, std::ios::binary);
    corpus.push_back(Parse(FileUnits(std::string(std::istreambuf_iterator<char>(in), {}))));
  }
  if (corpus.empty()) throw std::runtime_error("no INF files in " + directory);
  return corpus;
}

bool IsVersion(const Section& s) { return s.name == u"version"; }
bool IsStrings(const Section& s) { return s.name == u"strings" || s.name.rfind(u"strings.", 0) == 0; }

// The removal rules' packages, and near misses that must stay.
const char16_t* const kRuleLines[] = {
    u"Tamrix_Vessa_Driver_Name=\"Tamrix Vessa 4100 Series\"",
    u"DESCR1=\"Tamrix NXR KLT\"",
    u"DESCR1=\"Tamrix PNP\"",
    u"Dot4_Name=\"IEEE-1284.4 Driver QLDcor08\"",
    u"Dot4Usb_Name=\"USB Bridge Driver for IEEE-1284.4 QLDusb08\"",
    u"Dot4Par_Name=\"Parallel Port Bridge Driver for IEEE-1284.4\"",
    u"Dot4Print_Name=\"IEEE-1284.4 Printing Class Driver QLDprn08\"",
    u"DeviceDesc=\"QLD IEEE-1284.4 Storage Function Driver V8\"",
};
const char16_t* const kNearMisses[] = {
    u"DESCR1=\"Tamrix PNP Scanner\"",
    u"Dot4_Name=\"IEEE-1284.4 Driver QLDcor07\"",
    u"DeviceDesc=\"QLD IEEE-1284.4 Storage Function Driver\"",
};

std::u16string BuildInf(const std::vector<SampleInf>& corpus, std::mt19937_64& random,
                        size_t target_units, const std::u16string& extra_string) {
  // A real file no larger than the target is the base; the rest is padding.
  const SampleInf* base = &corpus[random() % corpus.size()];
  for (int tries = 0; tries < 32 && base->units > target_units; ++tries) {
    base = &corpus[random() % corpus.size()];
  }
  std::u16string text = u"[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  for (const Section& s : base->sections) {
    if (!IsVersion(s)) continue;
    size_t start = s.text.find(u"\r\n") + 2;  // past the header
    while (start < s.text.size()) {
      const size_t end = s.text.find(u"\r\n", start) + 2;
      const std::u16string line = s.text.substr(start, end - start);
      if (Lower(line).find(u"signature") == std::u16string::npos) text += line;
      start = end;
    }
    break;
  }
  std::u16string localized, strings = u"[Strings]\r\n";
  for (const Section& s : base->sections) {
    if (IsVersion(s) || s.name.empty()) continue;
    if (s.name == u"strings") {
      strings += s.text.substr(s.text.find(u"\r\n") + 2);
    } else if (IsStrings(s)) {
      localized += s.text;
    } else {
      text += s.text;
    }
  }
  // Pad with sections of other real files until the file reaches its size.
  for (int misses = 0; misses < 64 && text.size() + localized.size() + strings.size() < target_units;) {
    const SampleInf& other = corpus[random() % corpus.size()];
    const Section& s = other.sections[random() % other.sections.size()];
    const size_t room = target_units - text.size() - localized.size() - strings.size();
    if (IsVersion(s) || IsStrings(s) || s.name.empty() || s.text.size() > room + 4096) {
      ++misses;
      continue;
    }
    text += s.text;
  }
  if (!extra_string.empty()) strings += extra_string + u"\r\n";
  return text + localized + strings;
}

}  // namespace

GeneratedDirectory GenerateWindowsDirectory(const GeneratorOptions& options) {
  const std::vector<SampleInf> corpus = LoadCorpus(options.corpus_directory);
  std::mt19937_64 random(options.seed);
  // Sizes of a real INF directory: most files a few tens of KiB, a long tail of large ones.
  std::lognormal_distribution<double> size_units(std::log(25000.0), 1.0);

  const fs::path inf = fs::path(options.windows_directory) / "inf";
  fs::create_directories(inf);
  GeneratedDirectory result;
  const int n = options.inf_count;

  // One package per rule and three near misses, spread through the directory.
  std::vector<std::u16string> extras(static_cast<size_t>(n));
  for (int k = 0; k < 11; ++k) {
    const auto index = static_cast<size_t>((static_cast<std::int64_t>(k) * n) / 11 + n / 22);
    if (index < extras.size()) extras[index] = k < 8 ? kRuleLines[k] : kNearMisses[k - 8];
    if (index < extras.size() && k < 8) ++result.matching_files;
  }
  for (int i = 0; i < n; ++i) {
    const std::u16string& extra = extras[static_cast<size_t>(i)];
    const auto target = static_cast<size_t>(std::min(size_units(random), 2.0e6));
    const bool utf16 = random() % 2 == 0;
    const std::u16string text = BuildInf(corpus, random, target, extra);
    const std::string bytes = utf16 ? Utf16LeFile(text) : AnsiFile(text);
    const std::string stem = "oem" + std::to_string(i);
    std::ofstream(inf / (stem + ".inf"), std::ios::binary) << bytes;
    std::string pnf(4096 + random() % 16384, '\0');
    for (char& c : pnf) c = static_cast<char>(random() & 0xFF);
    std::ofstream(inf / (stem + ".pnf"), std::ios::binary) << pnf;
    ++result.inf_files;
    result.inf_bytes += bytes.size();
  }
  return result;
}
