// A directory tree as the tests compare it before and after a run: every file by its path
// relative to the root, with its bytes (a link with its target instead, a directory with a
// trailing "/").
#pragma once

#include <map>
#include <string>
#include <vector>

using TreeSnapshot = std::map<std::string, std::string>;

// What differs between the expected and the actual tree, one line per path, so that a failure
// names the files instead of printing every byte of both. Empty when they are the same.
std::vector<std::string> SnapshotDifferences(const TreeSnapshot& expected,
                                             const TreeSnapshot& actual);
