"""The streams at the top of a compound file (an MSI package is one), read as Microsoft's
"[MS-CFB]: Compound File Binary File Format" lays them out, for signatures.py to take an MSI's
signature out of a download without handing the file to any other program. Every sector number
is checked against the file, every chain for loops and for its length, and the directory's tree
for cycles; a file that breaks a rule raises NotACompoundFile. Only what reading a stream needs
is read; storages below the top are not entered."""
import struct

SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")
END_OF_CHAIN, FREE = 0xFFFFFFFE, 0xFFFFFFFF
LAST_REGULAR_SECTOR = 0xFFFFFFFA
NO_STREAM = 0xFFFFFFFF
STORAGE, STREAM, ROOT = 1, 2, 5
ENTRY_SIZE = 128


class NotACompoundFile(Exception):
    pass


class CompoundFile:
    def __init__(self, data):
        if len(data) < 512 or data[:8] != SIGNATURE:
            raise NotACompoundFile("no compound file signature")
        (major, byte_order, sector_shift, mini_shift, directory_start, mini_cutoff, mini_fat_start,
         difat_start, difat_count) = struct.unpack_from("<2xHHHH14xI4xII4xII", data, 24)
        if (major, sector_shift) not in ((3, 9), (4, 12)) or byte_order != 0xFFFE or mini_shift != 6 \
                or mini_cutoff != 4096:
            raise NotACompoundFile("a header no compound file writer writes")
        self.data, self.major, self.sector_size = data, major, 1 << sector_shift
        self.sector_count = (len(data) - self.sector_size) // self.sector_size
        self.fat = self._fat(struct.unpack_from("<109I", data, 76), difat_start, difat_count)
        self.directory = self._chain_bytes(directory_start, None)
        self.root = self._entry(0)
        if self.root[1] != ROOT:
            raise NotACompoundFile("the first directory entry is not the root")
        self.mini_fat = self._table(self._chain(mini_fat_start, None)) if mini_fat_start != END_OF_CHAIN else []
        self.mini_stream = self._chain_bytes(self.root[3], self.root[4]) if self.root[3] != END_OF_CHAIN else b""
        self.entries = self._top()

    def _sector(self, number):
        if number >= self.sector_count or number > LAST_REGULAR_SECTOR:
            raise NotACompoundFile(f"sector {number:#x} is outside the file")
        start = (number + 1) * self.sector_size
        return self.data[start:start + self.sector_size]

    def _table(self, sectors):
        """The sector numbers that SECTORS hold, in order."""
        out = []
        for number in sectors:
            out += struct.unpack(f"<{self.sector_size // 4}I", self._sector(number))
        return out

    def _fat(self, header_entries, difat_start, difat_count):
        fat_sectors = [n for n in header_entries if n != FREE]
        number, seen = difat_start, set()
        for _ in range(difat_count):
            if number in seen:
                raise NotACompoundFile("a loop in the DIFAT")
            seen.add(number)
            entries = struct.unpack(f"<{self.sector_size // 4}I", self._sector(number))
            fat_sectors += [n for n in entries[:-1] if n != FREE]
            number = entries[-1]
        for sector in fat_sectors:
            self._sector(sector)
        return self._table(fat_sectors)

    def _follow(self, table, start, limit):
        """The chain from START through TABLE, each number below LIMIT, no number twice."""
        chain, seen, number = [], set(), start
        while number != END_OF_CHAIN:
            if number >= min(len(table), limit) or number in seen:
                raise NotACompoundFile("a sector chain that loops or leaves the file")
            seen.add(number)
            chain.append(number)
            number = table[number]
        return chain

    def _chain(self, start, size):
        chain = self._follow(self.fat, start, self.sector_count)
        if size is not None and len(chain) != -(-size // self.sector_size):
            raise NotACompoundFile("a stream whose chain is not its size")
        return chain

    def _chain_bytes(self, start, size):
        joined = b"".join(self._sector(n) for n in self._chain(start, size))
        return joined if size is None else joined[:size]

    def _entry(self, number):
        """(name, type, (left, right, child), start sector, size) of directory entry NUMBER."""
        offset = number * ENTRY_SIZE
        if offset + ENTRY_SIZE > len(self.directory):
            raise NotACompoundFile(f"directory entry {number} is outside the directory")
        raw_name, name_size, kind, left, right, child, start, size = struct.unpack_from(
            "<64sHB1xIII36xIQ", self.directory, offset)
        if self.major == 3:
            size &= 0xFFFFFFFF  # "[MS-CFB]" 2.6.3: the high part may hold anything in version 3
        if name_size > 64 or name_size % 2 or name_size < 2:
            raise NotACompoundFile(f"directory entry {number} has a name of {name_size} bytes")
        name = raw_name[:name_size - 2].decode("utf-16-le", errors="strict")
        return name, kind, (left, right, child), start, size

    def _top(self):
        """{name: (type, start sector, size)} of the entries directly under the root."""
        found, pending, seen = {}, [self.root[2][2]], set()
        while pending:
            number = pending.pop()
            if number == NO_STREAM:
                continue
            if number in seen:
                raise NotACompoundFile("a cycle in the directory")
            seen.add(number)
            name, kind, (left, right, _), start, size = self._entry(number)
            if kind not in (STORAGE, STREAM):
                raise NotACompoundFile(f"directory entry {number} of type {kind} under the root")
            if name in found:
                raise NotACompoundFile(f"two entries named {name!r}")
            found[name] = (kind, start, size)
            pending += [left, right]
        return found

    def stream(self, name):
        """The bytes of the stream NAME under the root."""
        kind, start, size = self.entries[name]
        if kind != STREAM or size > len(self.data):
            raise NotACompoundFile(f"{name!r} is not a stream")
        if size >= 4096:
            return self._chain_bytes(start, size)
        mini = self._follow(self.mini_fat, start, len(self.mini_stream) // 64) if size else []
        if len(mini) != -(-size // 64):
            raise NotACompoundFile("a stream whose chain is not its size")
        return b"".join(self.mini_stream[n * 64:(n + 1) * 64] for n in mini)[:size]
