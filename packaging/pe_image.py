"""A PE image's headers, as authenticode-sha256.py and finish-msi.py read them: every read is
bounds-checked, and a file that Windows would not load as an image raises NotAnImage."""
import struct
from typing import NamedTuple

PE32, PE32_PLUS = 0x10B, 0x20B
RESOURCE_TABLE, CERTIFICATE_TABLE = 2, 4  # indexes among the optional header's data directories


class NotAnImage(Exception):
    pass


def unpack(fmt, data, offset):
    if offset < 0 or offset + struct.calcsize(fmt) > len(data):
        raise NotAnImage(f"truncated at offset {offset}")
    return struct.unpack_from(fmt, data, offset)


class Headers(NamedTuple):
    optional: int         # the optional header's offset
    magic: int            # PE32 or PE32_PLUS
    directories: int      # the data directories' offset
    directory_count: int
    section_table: int    # the section table's offset
    section_count: int

    def directory(self, data, index):
        """(address or, for the certificate table, file offset; size) of a data directory."""
        if index >= self.directory_count:
            raise NotAnImage(f"no data directory {index}")
        return unpack("<II", data, self.directories + 8 * index)

    def sections(self, data):
        """(virtual size, address, raw size, raw offset) of each section, in the table's order."""
        return [unpack("<8xIIII", data, self.section_table + 40 * i) for i in range(self.section_count)]


def headers(data):
    (pe,) = unpack("<I", data, 0x3C)
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise NotAnImage("no MZ and PE signatures")
    section_count, optional_size = unpack("<H12xH", data, pe + 6)
    optional = pe + 24
    (magic,) = unpack("<H", data, optional)
    if magic not in (PE32, PE32_PLUS):
        raise NotAnImage(f"optional header magic {magic:#x}")
    directories = optional + (96 if magic == PE32 else 112)
    (directory_count,) = unpack("<I", data, directories - 4)
    return Headers(optional, magic, directories, directory_count, optional + optional_size, section_count)
