// The per-process index of profile files.
#include "platform/standin/profile_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/standin/profile_reader.h"
#include "platform/standin/profile_text.h"
#include "platform/standin/wide_text.h"

namespace standin {
namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;  // even: a chunk never splits a UTF-16 unit
// Beyond these the index would cost more memory than it saves reading; such files are read.
// Offsets are kept in 32 bits, so files of 4 GiB and more are read instead.
constexpr std::size_t kMaxEntriesPerFile = 1 << 16;
constexpr std::size_t kMaxEntriesInAll = 1 << 22;
constexpr off_t kMaxIndexedSize = off_t{1} << 32;

// The environment may shorten it for a whole run (SPR_STANDIN_INDEX_TRUST_MS), so that end-to-end
// tests, whose files are always new, exercise the index too.
std::chrono::nanoseconds InitialTrustAge() {
  const char* text = std::getenv("SPR_STANDIN_INDEX_TRUST_MS");
  if (text != nullptr && *text != '\0') {
    char* end = nullptr;
    const long long ms = std::strtoll(text, &end, 10);
    if (*end == '\0' && ms >= 0) return std::chrono::milliseconds(ms);
  }
  return std::chrono::milliseconds(2100);
}

std::chrono::nanoseconds g_trust_age = InitialTrustAge();

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
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t last_change = std::max(identity.modified_ns, identity.changed_ns);
  return Nanoseconds(now) - last_change >= g_trust_age.count();
}

// FNV-1a over the ASCII-folded units (whole units, not bytes) of a name, so that equal names
// always hash alike. Only a filter: every match is checked against the file.
struct NameHash {
  std::uint32_t value = 2166136261u;
  void Add(char16_t unit) { value = (value ^ FoldAsciiCase(unit)) * 16777619u; }
};

std::uint32_t HashOf(std::u16string_view name) {
  NameHash hash;
  for (const char16_t unit : name) hash.Add(unit);
  return hash.value;
}

struct Entry {
  std::uint32_t hash;
  std::uint32_t offset;
};

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
  std::uint32_t hash;            // of the section name
  std::u16string folded_name;    // as verified at its header
  std::vector<Entry> key_lines;  // every key line of the section, in file order
  std::vector<Memo> memos;
};

struct FileIndex {
  Identity identity {};
  bool usable = true;  // false: could not be indexed as it is; read it, and do not try again
  bool utf16 = false;
  std::vector<Entry> headers;  // the first header of each name hash, by hash
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

// A view of one chunk as units: bytes of a Windows-1252 file or pairs of a UTF-16LE one.
struct Units {
  const unsigned char* bytes;
  std::size_t count;
  bool utf16;
  char16_t operator[](std::size_t i) const {
    return utf16 ? static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)) : AnsiUnit(bytes[i]);
  }
  // The next '[' from unit i on, or count.
  std::size_t FindBracket(std::size_t i) const {
    const std::size_t width = utf16 ? 2 : 1;
    const unsigned char* at = bytes + i * width;
    const unsigned char* end = bytes + count * width;
    while (at < end) {
      const auto* hit = static_cast<const unsigned char*>(std::memchr(at, '[', static_cast<std::size_t>(end - at)));
      if (hit == nullptr) return count;
      const auto byte = static_cast<std::size_t>(hit - bytes);
      if (!utf16) return byte;
      if (byte % 2 == 0 && hit[1] == 0) return byte / 2;
      at = hit + 1;
    }
    return count;
  }
};

// Finds every section header of a file in one pass that looks only at '[' units: a header is a
// line whose first non-blank unit is '[' and which has a ']' later on the line; its name is what
// lies between them, up to a NUL.
class HeaderFinder {
 public:
  explicit HeaderFinder(FileIndex* index) : index_(index) {}

  bool Feed(const Units& units, std::uint64_t first_unit_offset) {
    base_ = first_unit_offset;
    std::size_t i = in_header_ ? ContinueHeader(units, 0) : 0;
    while (i < units.count) {
      const std::size_t bracket = units.FindBracket(i);
      if (bracket == units.count) break;
      if (!AtLineStart(units, bracket)) {
        i = bracket + 1;
        continue;
      }
      in_header_ = true;
      hash_ = NameHash{};
      nul_ = false;
      header_offset_ = static_cast<std::uint32_t>(base_ + bracket * Width(units));
      i = ContinueHeader(units, bracket + 1);
    }
    line_start_ = in_header_ ? false : AtLineStart(units, units.count);
    return index_->entries <= kMaxEntriesPerFile;
  }

 private:
  static std::size_t Width(const Units& units) { return units.utf16 ? 2 : 1; }

  // Whether only blanks stand between the last line end (or the file's start) and unit i.
  bool AtLineStart(const Units& units, std::size_t i) const {
    while (i > 0 && IsBlank(units[i - 1])) --i;
    return i == 0 ? line_start_ : IsLineEnd(units[i - 1]);
  }

  std::size_t ContinueHeader(const Units& units, std::size_t i) {
    for (; i < units.count; ++i) {
      const char16_t unit = units[i];
      if (IsLineEnd(unit)) {
        in_header_ = false;  // no ']': a key line, not a header
        return i;
      }
      if (unit == u']') {
        in_header_ = false;
        Record();
        return i + 1;
      }
      if (unit == 0) nul_ = true;
      if (!nul_) hash_.Add(unit);
    }
    return i;
  }

  void Record() {
    index_->headers.push_back({hash_.value, header_offset_});
    ++index_->entries;
  }

  FileIndex* index_;
  std::uint64_t base_ = 0;
  bool line_start_ = true;
  bool in_header_ = false;
  bool nul_ = false;
  NameHash hash_;
  std::uint32_t header_offset_ = 0;
};

bool BuildHeaders(int fd, FileIndex* index) {
  const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
  if (!chunk) return false;
  HeaderFinder finder(index);
  std::uint64_t offset = 0;
  for (bool first = true;; first = false) {
    const ssize_t got = ReadFull(fd, chunk.get(), kChunkBytes);
    if (got < 0) return false;
    std::size_t skip = 0;
    if (first && got >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) {
      index->utf16 = true;
      skip = 2;
    }
    const auto bytes = static_cast<std::size_t>(got) - skip;
    const Units units{chunk.get() + skip, index->utf16 ? bytes / 2 : bytes, index->utf16};
    if (!finder.Feed(units, offset + skip)) return false;
    offset += static_cast<std::uint64_t>(got);
    if (static_cast<std::size_t>(got) < kChunkBytes) break;
  }
  // Only the first header of a name counts; headers were found in file order.
  std::stable_sort(index->headers.begin(), index->headers.end(),
                   [](const Entry& a, const Entry& b) { return a.hash < b.hash; });
  index->headers.erase(std::unique(index->headers.begin(), index->headers.end(),
                                   [](const Entry& a, const Entry& b) { return a.hash == b.hash; }),
                       index->headers.end());
  index->entries = index->headers.size();
  return true;
}

// Lists the key lines of the section whose header is at `offset`, after checking that the header
// there names `section`. The section runs up to the next header line; a key line is recorded at
// its first non-blank unit, under the hash of its name as the reader compares it.
class KeyLineFinder {
 public:
  KeyLineFinder(std::u16string_view section, std::vector<Entry>* lines)
      : section_(section), lines_(lines) {}

  // False once the section has ended, or when the header is not the one asked for.
  bool Feed(char16_t unit, std::uint64_t offset) {
    if (IsLineEnd(unit)) return EndLine();
    switch (phase_) {
      case Phase::kLineStart: return StartLine(unit, offset);
      case Phase::kHeader: return FeedHeader(unit);
      case Phase::kName: return FeedName(unit);
      case Phase::kRest: return !(bracket_line_ && unit == u']');
    }
    return true;
  }

  // At the end of the file.
  void End() { EndLine(); }

  bool verified() const { return verified_; }

 private:
  enum class Phase { kLineStart, kHeader, kName, kRest };

  bool StartLine(char16_t unit, std::uint64_t offset) {
    if (IsBlank(unit)) return true;
    if (!verified_) {
      phase_ = Phase::kHeader;
      return unit == u'[';
    }
    line_offset_ = static_cast<std::uint32_t>(offset);
    bracket_line_ = unit == u'[';
    if (unit == u';') {
      phase_ = Phase::kRest;
      return true;
    }
    phase_ = Phase::kName;
    name_ = NameHash{};
    trimmed_ = name_.value;
    name_nul_ = false;
    return FeedName(unit);
  }

  bool FeedHeader(char16_t unit) {
    if (unit == u']') {
      verified_ = !header_mismatch_ && header_length_ == section_.size();
      phase_ = Phase::kRest;
      return verified_;
    }
    if (unit == 0) header_nul_ = true;
    if (header_nul_) return true;
    if (header_length_ >= section_.size() ||
        FoldAsciiCase(unit) != FoldAsciiCase(section_[header_length_])) {
      header_mismatch_ = true;
    }
    ++header_length_;
    return true;
  }

  bool FeedName(char16_t unit) {
    // A line that starts with '[' and has a ']' is a header, even with an '=' before the ']'.
    if (bracket_line_ && unit == u']') return false;
    if (unit == u'=') {
      // The name ends at a NUL with the blanks before it, else at its last non-blank unit.
      pending_ = {name_nul_ ? name_.value : trimmed_, line_offset_};
      has_pending_ = true;
      phase_ = Phase::kRest;
      return true;
    }
    if (name_nul_) return true;
    if (unit == 0) {
      name_nul_ = true;
      return true;
    }
    name_.Add(unit);
    if (!IsBlank(unit)) trimmed_ = name_.value;
    return true;
  }

  bool EndLine() {
    if (!verified_) return phase_ == Phase::kLineStart;  // a '[' line without ']' is no header
    if (has_pending_) lines_->push_back(pending_);
    has_pending_ = false;
    phase_ = Phase::kLineStart;
    bracket_line_ = false;
    return lines_->size() <= kMaxEntriesPerFile;
  }

  std::u16string_view section_;
  std::vector<Entry>* lines_;
  Phase phase_ = Phase::kLineStart;
  bool verified_ = false;
  bool header_mismatch_ = false;
  bool header_nul_ = false;
  std::size_t header_length_ = 0;
  bool bracket_line_ = false;
  std::uint32_t line_offset_ = 0;
  NameHash name_;
  std::uint32_t trimmed_ = 0;
  bool name_nul_ = false;
  Entry pending_ {};
  bool has_pending_ = false;
};

// False when the section cannot be listed (read error, not the header asked for, too many keys).
bool BuildKeyLines(int fd, const FileIndex& index, std::uint64_t header_offset,
                   std::u16string_view section, std::vector<Entry>* lines) {
  const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kChunkBytes]);
  if (!chunk || lseek(fd, static_cast<off_t>(header_offset), SEEK_SET) < 0) return false;
  KeyLineFinder finder(section, lines);
  const std::size_t width = index.utf16 ? 2 : 1;
  for (std::uint64_t offset = header_offset;;) {
    const ssize_t got = ReadFull(fd, chunk.get(), kChunkBytes);
    if (got < 0) return false;
    const Units units{chunk.get(), static_cast<std::size_t>(got) / width, index.utf16};
    for (std::size_t i = 0; i < units.count; ++i) {
      if (!finder.Feed(units[i], offset + i * width)) {
        return finder.verified() && lines->size() <= kMaxEntriesPerFile;
      }
    }
    offset += static_cast<std::uint64_t>(got);
    if (static_cast<std::size_t>(got) < kChunkBytes) break;
  }
  finder.End();
  return finder.verified() && lines->size() <= kMaxEntriesPerFile;
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
  FileIndex index;
  index.identity = identity;
  if (fd.get() < 0) return nullptr;
  const bool built = BuildHeaders(fd.get(), &index);
  const std::size_t headers = index.headers.size();
  index.entries = 0;
  FileIndex& kept = state.files.emplace(KeyOf(identity), std::move(index)).first->second;
  // Even a file without headers, or one that could not be indexed, takes a place.
  if (!built || !Reserve(&kept, headers + 1)) {
    kept.headers.clear();
    kept.headers.shrink_to_fit();
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
KeyedSection* KeyedSectionFor(const std::string& path, FileIndex* index, const Entry& header,
                              std::u16string_view section) {
  for (KeyedSection& keyed : index->sections) {
    if (keyed.hash == header.hash) {
      return EqualsIgnoringAsciiCase(keyed.folded_name, section) ? &keyed : nullptr;
    }
  }
  const UniqueFd fd(OpenIndexed(path, index->identity));
  if (fd.get() < 0) return nullptr;
  std::vector<Entry> lines;
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
  const std::uint32_t key_hash = HashOf(key);
  for (const Entry& line : keyed->key_lines) {
    if (line.hash != key_hash) continue;
    const UniqueFd fd(OpenIndexed(path, index->identity));
    WCHAR value[kMemoUnits + 1];
    LineValue read;
    if (fd.get() < 0 || !ReadProfileLine(fd.get(), line.offset, index->utf16, key, value,
                                         kMemoUnits + 1, &read)) {
      return false;
    }
    if (!read.key_matched) continue;  // another name with the same hash
    Memo memo{Folded(key), read.found, read.length < kMemoUnits,
              std::u16string(value, read.length)};
    const bool answered = AnswerFromMemo(memo, out, size, found, length);
    // A memo costs its two strings; counted in entries' worth of memory.
    const std::size_t cost = 1 + (memo.folded_key.size() + memo.value.size()) * 2 / sizeof(Entry);
    if (Reserve(index, cost)) keyed->memos.push_back(std::move(memo));
    return answered;
  }
  return true;  // no such key
}

}  // namespace

bool ReadIndexedProfileString(const std::string& path, const struct stat* known,
                              std::u16string_view section, std::u16string_view key, WCHAR* out,
                              DWORD size, bool* found, DWORD* length) {
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
    const std::uint32_t section_hash = HashOf(section);
    const auto header = std::lower_bound(
        index->headers.begin(), index->headers.end(), section_hash,
        [](const Entry& e, std::uint32_t hash) { return e.hash < hash; });
    if (header == index->headers.end() || header->hash != section_hash) return true;  // none
    KeyedSection* keyed_section = KeyedSectionFor(path, index, *header, section);
    if (keyed_section == nullptr) return false;
    return ReadKey(path, index, keyed_section, key, out, size, found, length);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void SetProfileIndexTrustAge(std::chrono::nanoseconds age) { g_trust_age = age; }

void ClearProfileIndex() {
  State().files.clear();
  State().entries = 0;
}

}  // namespace standin
