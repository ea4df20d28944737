#!/usr/bin/env python3
"""Says where a published file differs from the rebuilt one, for scripts/verify-release.sh,
reading the published file only with this project's readers: for a PE image its Authenticode hash
and which parts of it differ (pe_image.py), for an MSI package which of its streams
(compound_file.py), for anything else the first byte that differs. One line each, indented.

usage: differences.py PUBLISHED REBUILT
"""
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from compound_file import CompoundFile, NotACompoundFile  # noqa: E402
from pe_image import NotAnImage, authenticode_hash, certificate_table, load  # noqa: E402
from shown import shown  # noqa: E402


def first_difference(published, rebuilt):
    offset = next((i for i, (a, b) in enumerate(zip(published, rebuilt)) if a != b), min(len(published), len(rebuilt)))
    return f"first difference at byte {offset} ({len(published)} bytes, the rebuild's {len(rebuilt)})"


def pe_parts(data):
    """{part: bytes} of a PE image: its headers, each section by name, what follows the last
    section, the certificate table."""
    image = load(data)
    parts = {"the headers": data[:image.OPTIONAL_HEADER.SizeOfHeaders]}
    end = image.OPTIONAL_HEADER.SizeOfHeaders
    for section in image.sections:
        name = shown(section.Name.rstrip(b"\0"))
        parts[f"section {name}"] = section.get_data()
        end = max(end, section.PointerToRawData + section.SizeOfRawData)
    offset, size = certificate_table(image)
    parts["what follows the sections"] = data[end:len(data) - size]
    parts["the certificate table"] = data[offset:offset + size]
    return parts


def pe(published, rebuilt):
    theirs, ours = authenticode_hash(published), authenticode_hash(rebuilt)
    if theirs != ours:
        yield f"Authenticode hash {theirs}, rebuilt {ours}"
    theirs, ours = pe_parts(published), pe_parts(rebuilt)
    for part in list(theirs) + [p for p in ours if p not in theirs]:
        if theirs.get(part) != ours.get(part):
            yield f"{part}: differs" if part in theirs and part in ours else \
                f"{part} is only in the {'release' if part in theirs else 'rebuild'}"


def table_name(name):
    """An MSI stream's name as Windows Installer encodes it (two characters of
    "0-9A-Za-z._" to one code point from U+3800, U+4840 for a table's "!"), decoded."""
    alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
    decoded = ""
    for character in name:
        code = ord(character)
        if code == 0x4840:
            decoded += "!"
        elif 0x4800 <= code < 0x4840:
            decoded += alphabet[code - 0x4800]
        elif 0x3800 <= code < 0x4800:
            decoded += alphabet[(code - 0x3800) & 0x3F] + alphabet[(code - 0x3800) >> 6]
        else:
            decoded += character
    return shown(decoded)


def msi(published, rebuilt):
    theirs, ours = CompoundFile(published), CompoundFile(rebuilt)
    their_names, our_names = theirs.entries, ours.entries
    for name in sorted(their_names.keys() | our_names.keys()):
        if name not in our_names or name not in their_names:
            yield f"stream {table_name(name)} is only in the {'release' if name in their_names else 'rebuild'}"
        elif theirs.stream(name) != ours.stream(name):
            yield f"stream {table_name(name)} differs"
    yield first_difference(published, rebuilt)


def main(published_path, rebuilt_path):
    with open(published_path, "rb") as file:
        published = file.read()
    with open(rebuilt_path, "rb") as file:
        rebuilt = file.read()
    extension = os.path.splitext(rebuilt_path)[1].lower()
    try:
        lines = list({".exe": pe, ".dll": pe, ".msi": msi}.get(extension, lambda *_: [])(published, rebuilt))
    except (NotAnImage, NotACompoundFile) as error:
        lines = [f"not read: {shown(str(error))}"]
    for line in lines or [first_difference(published, rebuilt)]:
        print(f"      {line}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__[__doc__.index("usage:"):].rstrip())
    main(*sys.argv[1:])
