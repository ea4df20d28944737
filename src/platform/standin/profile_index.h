// A per-process index of profile files that have not changed for a while: where each section
// starts and, once a section has been read, where each of its key lines is. Repeated reads of the
// same files (every rule reads every INF) then cost a stat and a lookup, not a pass over the file.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <string_view>

#include "platform/setup_platform.h"

namespace standin {

// Answers a read of key in section of the file at path from the index, building the file's index
// first if needed. True with *found and *length set (and the value in out) when answered; false
// when the file cannot be served from the index (changed too recently, not a regular file, too
// large to index, a hash collision) and the caller must read it itself.
//
// An entry is used only while the file's device, inode, size, modification and change times are
// what they were when it was indexed, and files changed within the trust age are never indexed:
// a change in the same timestamp tick as the indexing could otherwise go unseen.
// `known`, when not null, is what stat() said of path a moment ago.
bool ReadIndexedProfileString(const std::string& path, const struct stat* known,
                              std::u16string_view section, std::u16string_view key, WCHAR* out,
                              DWORD size, bool* found, DWORD* length);

// The trust age (two seconds and a bit by default); tests and fuzzers shorten it.
void SetProfileIndexTrustAge(std::chrono::nanoseconds age);
void ClearProfileIndex();

}  // namespace standin
