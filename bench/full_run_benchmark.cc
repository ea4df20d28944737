// Measures a full run of the Linux build against the cost of reading every byte of every INF
// once, on generated Windows directories of realistic size, and the Windows executable's full run
// under Wine on the same files. Prints one line per figure; medians of several repetitions.
//
//   full_run_benchmark [--sizes 1500,15000] [--repetitions 5] [--seed 1] [--wine-size 1500]
//                      [--executable PATH]   (another Linux build to measure, e.g. an older one)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "inf_generator.h"
#include "wine_listing.h"

extern char** environ;

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

// VmHWM of a running process in KiB, 0 once it is gone.
double PeakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6));
  }
  return 0;
}

// Runs argv with the extra environment, timing it and sampling its peak memory every
// millisecond (rusage would also count this process, which the child shares until exec).
Sample Run(std::vector<std::string> argv, const std::vector<std::string>& extra_env, int* exit_status) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  std::vector<std::string> env_storage = extra_env;
  std::vector<char*> env;
  for (std::string& var : env_storage) env.push_back(var.data());
  for (char** var = environ; *var != nullptr; ++var) env.push_back(*var);
  env.push_back(nullptr);

  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env.data()) != 0) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  Sample sample;
  int status = 0;
  const std::string name = fs::path(argv[0]).filename().string().substr(0, 15);
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string current;
    std::getline(comm, current);
    if (current != "posix_spawn") sample.peak_mib = std::max(sample.peak_mib, PeakKiB(pid) / 1024);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  sample.seconds = SecondsSince(start);
  *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return sample;
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

  // A fresh copy for every run, since matches are removed. The copies are made first and then
  // left alone for more than two seconds: the stand-in trusts its cache only for files that have
  // not changed in that long, as INF files on a real machine have not.
  std::vector<fs::path> copies;
  for (int r = 0; r < options.repetitions; ++r) {
    copies.push_back(options.work / ("run-" + std::to_string(size) + "-" + std::to_string(r)));
    CopyTree(master, copies.back());
  }
  for (const fs::path& copy : copies) ReadFloor(copy);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
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
