// Generates a realistic Windows directory for benchmarks: an INF directory of oem<N>.inf files
// built from the sections of real INF files, with [Version] at the top, [Strings] at the bottom,
// about half in UTF-16LE, a .pnf beside each, and a handful that match the removal rules.
#pragma once

#include <cstdint>
#include <string>

struct GeneratorOptions {
  std::string corpus_directory;  // real INF files to sample sections from
  std::string windows_directory; // created; its inf/ receives the files
  int inf_count = 1500;
  std::uint64_t seed = 1;
};

struct GeneratedDirectory {
  int inf_files = 0;
  int matching_files = 0;
  std::uint64_t inf_bytes = 0;
};

// Deterministic for given options. Throws std::runtime_error when the corpus cannot be read.
GeneratedDirectory GenerateWindowsDirectory(const GeneratorOptions& options);
