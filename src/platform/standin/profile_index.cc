// The per-process index of profile files. It parses nothing itself: the scanner finds the headers
// and key lines, and reads the one line that answers.
#include "platform/standin/profile_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/standin/profile_scanner.h"
#include "platform/standin/profile_text.h"
#include "platform/standin/wide_text.h"

namespace standin {
namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;  // even: a chunk never splits a UTF-16 unit
constexpr std::size_t kLineChunkBytes = 4096;    // for single lines
// Beyond these the index would cost more memory than it saves reading; such files are read.
// Offsets are kept in 32 bits, so files of 4 GiB and more are read instead.
constexpr std::size_t kMaxEntriesPerFile = 1 << 16;
constexpr std::size_t kMaxEntriesInAll = 1 << 22;
constexpr off_t kMaxIndexedSize = off_t{1} << 32;
constexpr std::chrono::nanoseconds kTrustAge = std::chrono::milliseconds(2100);

IndexUse InitialUse() {
  const char* text = std::getenv("SPR_STANDIN_INDEX");
  const std::string_view use = text != nullptr ? text : "";
  if (use == "off") return IndexUse::kOff;
  if (use == "all") return IndexUse::kTrustAll;
  return IndexUse::kTrustQuiet;
}

IndexUse g_use = InitialUse();

struct Identity {
  dev_t device;
  ino_t inode;
  off_t size;
  std::int64_t modified_ns;
  std::int64_t changed_ns;
  bool operator==(const Identity&) const = default;
};

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

Identity IdentityOf(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
          Nanoseconds(info.st_ctim)};
}

bool Trusted(const Identity& identity) {
  if (g_use == IndexUse::kTrustAll) return true;
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t last_change = std::max(identity.modified_ns, identity.changed_ns);
  return Nanoseconds(now) - last_change >= kTrustAge.count();
}

// A value already read, kept for the next read of the same key: the first kMemoUnits units of it,
// which answer any buffer up to that size.
constexpr DWORD kMemoUnits = MAX_PATH;
struct Memo {
  std::u16string folded_key;
  bool found = false;
  bool complete = false;  // the whole value is in `value`
  std::u16string value;
};

struct KeyedSection {
  std::uint32_t hash;                // of the section name
  std::u16string folded_name;        // as verified at its header
  std::vector<LineEntry> key_lines;  // every key line of the section, in file order
  std::vector<Memo> memos;
};

struct FileIndex {
  Identity identity {};
  bool usable = true;  // false: could not be indexed as it is; read it, and do not try again
  bool utf16 = false;
  std::vector<LineEntry> headers;  // the first header of each name hash, by hash
  std::vector<KeyedSection> sections;
  std::size_t entries = 0;
};

// Files are kept by device and inode: what a path names is looked up by stat() on every read
// anyway, and the identity then decides whether the entry still describes the file.
struct FileKey {
  dev_t device;
  ino_t inode;
  bool operator==(const FileKey&) const = default;
};

struct FileKeyHash {
  std::size_t operator()(const FileKey& key) const {
    return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(key.inode) * 0x9E3779B97F4A7C15u ^
                                      static_cast<std::uint64_t>(key.device));
  }
};

FileKey KeyOf(const Identity& identity) { return {identity.device, identity.inode}; }

struct IndexState {
  std::unordered_map<FileKey, FileIndex, FileKeyHash> files;
  std::size_t entries = 0;
};

IndexState& State() {
  static IndexState* state = new IndexState();
  return *state;
}

void Forget(const FileKey& key) {
  IndexState& state = State();
  const auto found = state.files.find(key);
  if (found == state.files.end()) return;
  state.entries -= found->second.entries;
  state.files.erase(found);
}

bool ByHash(const LineEntry& a, const LineEntry& b) { return a.hash < b.hash; }

bool BuildHeaders(int fd, FileIndex* index) {
  const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
  if (!chunk) return false;
  Scanner scanner = Scanner::Headers(&index->headers, kMaxEntriesPerFile);
  if (!ScanFrom(fd, 0, true, &index->utf16, &scanner, chunk.get(), kChunkBytes) ||
      !scanner.complete()) {
    return false;
  }
  // Only the first header of a name counts; the scanner found them in file order.
  std::stable_sort(index->headers.begin(), index->headers.end(), ByHash);
  index->headers.erase(std::unique(index->headers.begin(), index->headers.end(),
                                   [](const LineEntry& a, const LineEntry& b) { return a.hash == b.hash; }),
                       index->headers.end());
  return true;
}

// False when the section cannot be listed (read error, not the header asked for, too many keys).
bool BuildKeyLines(int fd, const FileIndex& index, std::uint32_t header_offset,
                   std::u16string_view section, std::vector<LineEntry>* lines) {
  const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
  if (!chunk) return false;
  Scanner scanner = Scanner::KeyLines(section, lines, kMaxEntriesPerFile);
  bool utf16 = index.utf16;
  return ScanFrom(fd, header_offset, false, &utf16, &scanner, chunk.get(), kChunkBytes) &&
         scanner.entered_section() && scanner.complete();
}

// Opens the file for reading its indexed content, making sure it is still the file indexed.
int OpenIndexed(const std::string& path, const Identity& identity) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd >= 0 && fstat(fd, &info) == 0 && IdentityOf(info) == identity) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Whether `more` entries still fit under the cap on the whole index; counts them if so.
bool Reserve(FileIndex* index, std::size_t more) {
  IndexState& state = State();
  if (state.entries + more > kMaxEntriesInAll) return false;
  state.entries += more;
  index->entries += more;
  return true;
}

FileIndex* IndexFor(const std::string& path, const Identity& identity) {
  IndexState& state = State();
  const auto found = state.files.find(KeyOf(identity));
  if (found != state.files.end() && found->second.identity == identity) {
    return found->second.usable ? &found->second : nullptr;
  }
  Forget(KeyOf(identity));
  if (state.entries >= kMaxEntriesInAll) return nullptr;
  const UniqueFd fd(OpenIndexed(path, identity));
  if (fd.get() < 0) return nullptr;
  FileIndex index;
  index.identity = identity;
  const bool built = BuildHeaders(fd.get(), &index);
  const std::size_t headers = index.headers.size();
  FileIndex& kept = state.files.emplace(KeyOf(identity), std::move(index)).first->second;
  // Even a file without headers, or one that could not be indexed, takes a place.
  if (!built || !Reserve(&kept, headers + 1)) {
    kept.headers = {};
    kept.usable = false;
    Reserve(&kept, 1);
    return nullptr;
  }
  return &kept;
}

void MarkUnusable(FileIndex* index) {
  State().entries -= index->entries;
  index->entries = 0;
  index->headers = {};
  index->sections = {};
  index->usable = false;
  Reserve(index, 1);
}

std::u16string Folded(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& unit : folded) unit = FoldAsciiCase(unit);
  return folded;
}

// The key lines of the section whose first header is `header`, listed on first use. Null when
// they cannot be listed, or when the header found by hash belongs to another name.
KeyedSection* KeyedSectionFor(const std::string& path, FileIndex* index, const LineEntry& header,
                              std::u16string_view section) {
  for (KeyedSection& keyed : index->sections) {
    if (keyed.hash == header.hash) {
      return EqualsIgnoringAsciiCase(keyed.folded_name, section) ? &keyed : nullptr;
    }
  }
  const UniqueFd fd(OpenIndexed(path, index->identity));
  if (fd.get() < 0) return nullptr;
  std::vector<LineEntry> lines;
  if (!BuildKeyLines(fd.get(), *index, header.offset, section, &lines) ||
      !Reserve(index, lines.size() + 1)) {
    MarkUnusable(index);
    return nullptr;
  }
  index->sections.push_back({header.hash, Folded(section), std::move(lines), {}});
  return &index->sections.back();
}

bool AnswerFromMemo(const Memo& memo, WCHAR* out, DWORD size, bool* found, DWORD* length) {
  if (!memo.complete && size - 1 > memo.value.size()) return false;
  *found = memo.found;
  *length = static_cast<DWORD>(std::min<std::size_t>(memo.value.size(), size - 1));
  std::copy_n(memo.value.begin(), *length, out);
  out[*length] = 0;
  return true;
}

// Reads the first key line of the section that is a line of `key`, and keeps its value.
bool ReadKey(const std::string& path, FileIndex* index, KeyedSection* keyed,
             std::u16string_view key, WCHAR* out, DWORD size, bool* found, DWORD* length) {
  for (const Memo& memo : keyed->memos) {
    if (EqualsIgnoringAsciiCase(memo.folded_key, key)) {
      return AnswerFromMemo(memo, out, size, found, length);
    }
  }
  const std::uint32_t key_hash = HashOfName(key);
  for (const LineEntry& line : keyed->key_lines) {
    if (line.hash != key_hash) continue;
    const UniqueFd fd(OpenIndexed(path, index->identity));
    WCHAR value[kMemoUnits + 1];
    unsigned char chunk[kLineChunkBytes];
    Scanner scanner = Scanner::OneLine(key, value, kMemoUnits + 1);
    bool utf16 = index->utf16;
    if (fd.get() < 0 ||
        !ScanFrom(fd.get(), line.offset, false, &utf16, &scanner, chunk, kLineChunkBytes)) {
      return false;
    }
    if (!scanner.key_matched()) continue;  // another name with the same hash
    bool value_found = false;
    const DWORD value_length = scanner.Result(&value_found);
    Memo memo{Folded(key), value_found, value_length < kMemoUnits,
              std::u16string(value, value_length)};
    const bool answered = AnswerFromMemo(memo, out, size, found, length);
    // A memo costs its two strings; counted in entries' worth of memory.
    const std::size_t cost = 1 + (memo.folded_key.size() + memo.value.size()) * 2 / sizeof(LineEntry);
    if (Reserve(index, cost)) keyed->memos.push_back(std::move(memo));
    return answered;
  }
  return true;  // no such key
}

}  // namespace

bool ReadIndexedProfileString(const std::string& path, const struct stat* known,
                              std::u16string_view section, std::u16string_view key, WCHAR* out,
                              DWORD size, bool* found, DWORD* length) {
  if (g_use == IndexUse::kOff) return false;
  try {
    struct stat info {};
    if (known != nullptr) info = *known;
    if (size == 0 || (known == nullptr && stat(path.c_str(), &info) != 0) ||
        !S_ISREG(info.st_mode) || info.st_size >= kMaxIndexedSize) {
      return false;
    }
    if (!Trusted(IdentityOf(info))) {
      Forget(KeyOf(IdentityOf(info)));
      return false;
    }
    FileIndex* index = IndexFor(path, IdentityOf(info));
    if (index == nullptr) return false;
    *found = false;
    *length = 0;
    const std::uint32_t section_hash = HashOfName(section);
    const auto header = std::lower_bound(index->headers.begin(), index->headers.end(),
                                         LineEntry{section_hash, 0}, ByHash);
    if (header == index->headers.end() || header->hash != section_hash) return true;  // none
    KeyedSection* keyed_section = KeyedSectionFor(path, index, *header, section);
    if (keyed_section == nullptr) return false;
    return ReadKey(path, index, keyed_section, key, out, size, found, length);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void SetProfileIndexUse(IndexUse use) {
  g_use = use;
  State().files.clear();
  State().entries = 0;
}

IndexUse ProfileIndexUse() { return g_use; }

}  // namespace standin
