// What the stand-in's operations share: where the Windows and INF directories are, and an owned
// directory stream.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace standin {

// $WINDIR as bytes; false when it is unset or empty.
inline bool WindowsDirectoryBytes(std::string* bytes) {
  const char* value = std::getenv("WINDIR");
  if (value == nullptr || *value == '\0') return false;
  *bytes = value;
  return true;
}

inline bool InfDirectoryBytes(std::string* bytes) {
  if (!WindowsDirectoryBytes(bytes)) return false;
  if (bytes->back() != '/') bytes->push_back('/');
  bytes->append("inf");
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace standin
