// Measures a full run of the Linux build against the cost of reading every byte of every INF
// once, on generated Windows directories of realistic size, and the Windows executable's full run
// under Wine on the same files. Prints one line per figure; medians of several repetitions.
//
//   full_run_benchmark [--sizes 1500,15000] [--repetitions 5] [--seed 1] [--wine-size 1500]
//                      [--executable PATH]   (another Linux build to measure, e.g. an older one)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "inf_generator.h"
#include "posix_process.h"
#include "wine_listing.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  std::vector<int> sizes = {1500, 15000};
  int repetitions = 5;
  std::uint64_t seed = 1;
  int wine_size = 1500;
  std::string executable = SPR_EXECUTABLE;
  fs::path work = fs::path(SPR_BUILD_DIR) / "bench";
};

struct Sample {
  double seconds = 0;
  double peak_mib = 0;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs argv with these variables in its environment, timing it and polling its peak memory.
Sample Run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
           int* exit_status) {
  ProcessSpec spec;
  spec.argv = argv;
  spec.environment = environment;
  spec.watch_memory = true;
  const ProcessResult result = RunPosixProcess(spec);
  *exit_status = result.exit_status;
  return {result.seconds, static_cast<double>(result.peak_memory_kib) / 1024};
}

std::vector<fs::path> InfFiles(const fs::path& windows) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(windows / "inf")) {
    if (entry.path().extension() == ".inf") files.push_back(entry.path());
  }
  return files;
}

// The floor: every byte of every INF read once, through the same 64 KiB reads.
double ReadFloor(const fs::path& windows) {
  const auto start = Clock::now();
  std::vector<char> buffer(64 * 1024);
  std::uint64_t total = 0;
  for (const fs::path& file : InfFiles(windows)) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<std::uint64_t>(got);
    close(fd);
  }
  if (total == 0) throw std::runtime_error("nothing read");
  return SecondsSince(start);
}

void CopyTree(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
}

std::string Ms(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
  return text;
}

struct SizeResult {
  double floor = 0;
  double linux_run = 0;
};

SizeResult MeasureSize(const Options& options, int size) {
  const fs::path master = options.work / ("master-" + std::to_string(size));
  fs::remove_all(master);
  const GeneratedDirectory generated = GenerateWindowsDirectory(
      {SPR_CORPUS_DIR, master.string(), size, options.seed});
  std::printf("%d INFs: %.1f MB of INF files, %d matching the rules\n", size,
              static_cast<double>(generated.inf_bytes) / 1e6, generated.matching_files);

  std::vector<double> floors;
  ReadFloor(master);  // warm the page cache the same way for every figure
  for (int r = 0; r < options.repetitions; ++r) floors.push_back(ReadFloor(master));

  // A fresh copy for every run, since matches are removed; each read once first, so that every
  // run starts from the page cache as the floor does.
  std::vector<fs::path> copies;
  for (int r = 0; r < options.repetitions; ++r) {
    copies.push_back(options.work / ("run-" + std::to_string(size) + "-" + std::to_string(r)));
    CopyTree(master, copies.back());
  }
  for (const fs::path& copy : copies) ReadFloor(copy);
  std::vector<double> runs, peaks;
  for (const fs::path& copy : copies) {
    int status = 0;
    const Sample s = Run({options.executable}, {"WINDIR=" + copy.string()}, &status);
    const size_t left = InfFiles(copy).size();
    if (status != 0 || left != static_cast<size_t>(generated.inf_files - generated.matching_files)) {
      throw std::runtime_error("the Linux run did not remove exactly the matching INFs");
    }
    runs.push_back(s.seconds);
    peaks.push_back(s.peak_mib);
    fs::remove_all(copy);
  }
  SizeResult result{Median(floors), Median(runs)};
  std::printf("read floor (every byte of every INF once), %d INFs: %s\n", size, Ms(result.floor).c_str());
  std::printf("Linux build, full run, %d INFs: %s, peak memory %.1f MiB\n", size,
              Ms(result.linux_run).c_str(), Median(peaks));
  return result;
}

void MeasureWine(const Options& options, int size) {
  const fs::path exe = fs::path(SPR_WINDOWS_BUILD_DIR) / "staged-package-removal.exe";
  if (!fs::exists(exe)) {
    std::printf("Windows .exe under Wine: not measured (%s is missing)\n", exe.c_str());
    return;
  }
  const fs::path master = options.work / ("master-" + std::to_string(size));
  const fs::path prefix = options.work / "wineprefix";
  const std::vector<std::string> env = {"WINEPREFIX=" + prefix.string(), "WINEDEBUG=-all",
                                        "WINEDLLOVERRIDES=mscoree,mshtml="};
  int status = 0;
  Run({"sh", "-c", "wineboot --init >/dev/null 2>&1"}, env, &status);
  Run({"wineserver", "-p"}, env, &status);  // one server for every run: its start is not ours
  const fs::path windows = prefix / "drive_c" / "windows";
  std::vector<double> runs, peaks;
  for (int r = 0; r < std::max(3, options.repetitions / 2); ++r) {
    for (const auto& entry : fs::directory_iterator(windows / "inf")) {
      if (entry.path().filename().string().rfind("oem", 0) == 0) fs::remove(entry.path());
    }
    for (const auto& entry : fs::directory_iterator(windows)) {
      if (entry.path().filename().string().rfind("ioem", 0) == 0) fs::remove(entry.path());
    }
    for (const auto& entry : fs::directory_iterator(master / "inf")) {
      const std::string name = entry.path().filename().string();
      fs::copy_file(entry.path(), windows / "inf" / name);
      if (entry.path().extension() == ".inf") AddWineListingAlias(windows, name);
    }
    const Sample s = Run({"wine", exe.string()}, env, &status);
    runs.push_back(s.seconds);
    peaks.push_back(s.peak_mib);
  }
  Run({"wineserver", "-k"}, env, &status);
  std::printf("Windows .exe under Wine, full run, %d INFs: %s, peak memory %.1f MiB\n", size,
              Ms(Median(runs)).c_str(), Median(peaks));
  std::printf("staged-package-removal.exe: %ju bytes\n", static_cast<std::uintmax_t>(fs::file_size(exe)));
}

Options Parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--sizes") {
      options.sizes.clear();
      std::stringstream list(value);
      for (std::string item; std::getline(list, item, ',');) options.sizes.push_back(std::stoi(item));
    } else if (flag == "--repetitions") {
      options.repetitions = std::max(1, std::stoi(value));
    } else if (flag == "--seed") {
      options.seed = std::stoull(value);
    } else if (flag == "--wine-size") {
      options.wine_size = std::stoi(value);
    } else if (flag == "--executable") {
      options.executable = value;
    } else {
      throw std::runtime_error("unknown option " + flag);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
  try {
    const Options options = Parse(argc, argv);
    fs::create_directories(options.work);
    std::vector<SizeResult> results;
    for (const int size : options.sizes) {
      results.push_back(MeasureSize(options, size));
      if (size == options.wine_size) MeasureWine(options, size);
    }
    for (size_t i = 1; i < results.size(); ++i) {
      std::printf("growth from %d to %d INFs: %.2f times the time\n", options.sizes[0],
                  options.sizes[i], results[i].linux_run / results[0].linux_run);
    }
    std::printf("full run / read floor: %.2f\n", results[0].linux_run / results[0].floor);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "full_run_benchmark: %s\n", error.what());
    return 1;
  }
}
