"""A PE image as this project reads one, through pefile (Debian's python3-pefile), for the
Authenticode hash (authenticode-sha256.py, differences.py), the signature in the certificate table
(signatures.py) and the version resource (finish-msi.py). pefile is lenient by design: it reads
what it can of a broken file and warns. The checks that matter here are made here, so that a
file Windows would not load, or whose certificate table is not where the signer puts it, raises
NotAnImage instead of being read on."""
import hashlib

import pefile

SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]


class NotAnImage(Exception):
    pass


def load(data):
    """The headers and section table of a PE image (nothing else is parsed yet)."""
    try:
        image = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        raise NotAnImage(str(error)) from None
    if len(image.OPTIONAL_HEADER.DATA_DIRECTORY) <= SECURITY:
        raise NotAnImage("no certificate table directory")
    if image.OPTIONAL_HEADER.SizeOfHeaders > len(data):
        raise NotAnImage("headers larger than the file")
    return image


def certificate_table(image):
    """(file offset, size) of the certificate table; (0, 0) when there is none. Unlike every other
    directory, this one gives a file offset, not an address in the image. It is the end of the
    file wherever there is one: the Authenticode format puts it there, and the hash leaves out
    everything after the sections but it."""
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    offset, size = entry.VirtualAddress, entry.Size
    if (offset, size) != (0, 0) and (size == 0 or offset + size != len(image.__data__)):
        raise NotAnImage("the certificate table is not at the end of the file")
    return offset, size


def excluded_fields(image):
    """(offset, size) of the two header fields a signature changes: the checksum and the
    certificate table's directory entry."""
    checksum = image.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY].get_file_offset()
    if entry + 8 > image.OPTIONAL_HEADER.SizeOfHeaders:
        raise NotAnImage("the certificate table's directory entry is outside the headers")
    return (checksum, 4), (entry, 8)


def raw_sections(image):
    """(file offset, size in the file) of each section with bytes in the file. Its size in the
    file is SizeOfRawData rounded up to FileAlignment, as the PE format requires it to be and as
    Windows' loader reads it (GNU ld writes the resource section's size unrounded); never past
    the certificate table."""
    alignment = image.OPTIONAL_HEADER.FileAlignment
    end = len(image.__data__) - certificate_table(image)[1]
    spans = []
    for section in image.sections:
        offset, size = section.PointerToRawData, section.SizeOfRawData
        if not size:
            continue
        if alignment:
            size = -(-size // alignment) * alignment
        if offset >= end:
            raise NotAnImage("a section starts past the end of the file")
        spans.append((offset, min(size, end - offset)))
    return sorted(spans)


def authenticode_hash(data):
    """The Authenticode SHA-256 of a PE image ("Windows Authenticode Portable Executable Signature
    Format", "Calculating the PE Image Hash"): the headers but the checksum and the certificate
    table's directory entry, each section's bytes in file order, then whatever follows the last
    section but the certificate table."""
    image = load(data)
    headers_size = image.OPTIONAL_HEADER.SizeOfHeaders
    (checksum, checksum_size), (entry, entry_size) = excluded_fields(image)
    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + checksum_size:entry])
    digest.update(data[entry + entry_size:headers_size])
    hashed = headers_size
    for offset, size in raw_sections(image):
        digest.update(data[offset:offset + size])
        hashed += size
    # Past the last section (an overlay, alignment the signer added), up to the certificates.
    remaining = len(data) - certificate_table(image)[1] - hashed
    if remaining < 0:
        raise NotAnImage("sections overlap the headers or one another")
    digest.update(data[hashed:hashed + remaining])
    return digest.hexdigest()


def with_certificate_table(data, table):
    """DATA with TABLE appended at an 8-byte boundary as its certificate table, the directory
    entry set and the checksum written again, as a signer writes them."""
    padding = b"\0" * (-len(data) % 8)
    image = load(data + padding + table)
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY]
    entry.VirtualAddress, entry.Size = len(data) + len(padding), len(table)
    image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
    return bytes(image.write())


def version_info(data):
    """(FILEVERSION as "a.b.c.d", [language, ...] of VarFileInfo's Translation) of a PE image's
    version resource; NotAnImage if it has none."""
    image = load(data)
    image.parse_data_directories(directories=[RESOURCE])
    fixed = getattr(image, "VS_FIXEDFILEINFO", None)
    if not fixed:
        raise NotAnImage("no version resource")
    ms, ls = fixed[0].FileVersionMS, fixed[0].FileVersionLS
    languages = []
    for info in getattr(image, "FileInfo", []):
        for block in info:
            for var in getattr(block, "Var", []):
                # "0xLANG 0xCODEPAGE": pefile keeps one pair of a Translation (its last); the
                # executables' version resources carry one (src/app/version.rc.in).
                translation = var.entry.get(b"Translation")
                if translation:
                    languages.append(str(int(translation.split()[0], 16)))
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}", languages
