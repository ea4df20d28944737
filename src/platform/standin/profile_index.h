// A per-process index of profile files that have not changed for a while: where the first header
// of each section name is and, once a section has been read, where each of its key lines is, both
// as the scanner found them. Repeated reads of the same files (every rule reads every INF) then
// cost a stat, a lookup and one line, not a pass over the file.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "platform/setup_platform.h"

namespace standin {

// Which files the index may answer for. A file is used only while its device, inode, size,
// modification and change times are what they were when it was indexed; a change within the
// same timestamp tick as the indexing could still go unseen, which is why, by default, only files
// left alone for the trust age (2.1 s) are indexed at all.
enum class IndexUse {
  kOff,         // every read scans the file as it comes
  kTrustAll,    // every regular file is indexed at once (tests and fuzzers, to reach the index)
  kTrustQuiet,  // files unchanged for the trust age
};

// Answers a read of key in section of the file at path from the index, building the file's index
// first if needed. True with *found and *length set (and the value in out) when answered; false
// when the file cannot be served from the index (not trusted, not a regular file, too large to
// index, a hash collision) and the caller must read it itself. `known`, when not null, is what
// stat() said of path a moment ago.
bool ReadIndexedProfileString(const std::string& path, const struct stat* known,
                              std::u16string_view section, std::u16string_view key, WCHAR* out,
                              DWORD size, bool* found, DWORD* length);

// The use starts as SPR_STANDIN_INDEX says ("off", "all"; anything else or unset: kTrustQuiet).
// Setting it forgets every file indexed so far.
void SetProfileIndexUse(IndexUse use);
IndexUse ProfileIndexUse();

}  // namespace standin
