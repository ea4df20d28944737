// Comparing tree snapshots.
#include "tree_snapshot.h"

std::vector<std::string> SnapshotDifferences(const TreeSnapshot& expected,
                                             const TreeSnapshot& actual) {
  std::vector<std::string> lines;
  for (const auto& [path, bytes] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) {
      lines.push_back("gone, should have stayed: " + path);
    } else if (found->second != bytes) {
      lines.push_back("modified: " + path);
    }
  }
  for (const auto& [path, bytes] : actual) {
    if (expected.count(path) == 0) lines.push_back("there, should not be: " + path);
  }
  return lines;
}
