#!/usr/bin/env python3
"""Prints the Authenticode SHA-256 of PE files, in sha256sum's layout ("<hex>  <name>").

That is the PE image hash that App Control for Business and AppLocker hash rules match: it leaves
out the header's checksum, the certificate table's directory entry and the certificate table,
so a file has the same one signed and unsigned. Computed as Microsoft's "Windows Authenticode
Portable Executable Signature Format" says ("Calculating the PE Image Hash"): the headers without
those two fields, then each section's raw data in file order, then whatever follows the last
section but the certificate table. One reading is added, where that document is silent: a
section's size in the file is its SizeOfRawData rounded up to FileAlignment, as the PE format
requires it to be and as Windows' loader reads it. GNU ld writes the resource section's size
unrounded, and without the rounding the padding after it would be left out of the hash, unlike
Windows and osslsigncode, which hash it.

usage: authenticode-sha256.py PE_FILE...
       authenticode-sha256.py --signature PE_FILE >SIGNATURE.der
The second form writes the file's signature, the PKCS#7 SignedData of its first certificate
table entry, and exits 1 with nothing written for an unsigned file (copy-signatures.sh moves a
signature onto a rebuilt file this way). A file that is no PE image Windows would load is an
error: status 2, and a message.
"""
import hashlib
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from pe_image import CERTIFICATE_TABLE, NotAnImage, headers, unpack  # noqa: E402


def image_hash(data):
    image = headers(data)
    (file_alignment,) = unpack("<I", data, image.optional + 36)
    (headers_size,) = unpack("<I", data, image.optional + 60)
    checksum = image.optional + 64
    certificate_entry = image.directories + 8 * CERTIFICATE_TABLE
    # Unlike every other directory, this one gives a file offset, not an address in the image.
    certificate_offset, certificate_size = image.directory(data, CERTIFICATE_TABLE)
    if certificate_size and certificate_offset + certificate_size != len(data):
        raise NotAnImage("the certificate table is not at the end of the file")
    if headers_size > len(data) or certificate_entry + 8 > headers_size:
        raise NotAnImage("headers larger than the file")

    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:certificate_entry])
    digest.update(data[certificate_entry + 8:headers_size])
    hashed = headers_size
    raw = []
    for _, _, raw_size, raw_offset in image.sections(data):
        if raw_size:
            aligned = -(-raw_size // file_alignment) * file_alignment if file_alignment else raw_size
            raw.append((raw_offset, min(aligned, len(data) - certificate_size - raw_offset)))
    for raw_offset, raw_size in sorted(raw):
        if raw_offset + raw_size > len(data):
            raise NotAnImage("a section runs past the end of the file")
        digest.update(data[raw_offset:raw_offset + raw_size])
        hashed += raw_size
    # Past the last section (an overlay, alignment the signer added), up to the certificates.
    remaining = len(data) - certificate_size - hashed
    if remaining < 0:
        raise NotAnImage("sections overlap the headers or one another")
    digest.update(data[hashed:hashed + remaining])
    return digest.hexdigest()


WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


def fail(message):
    """Status 2: 1 is --signature's "unsigned"."""
    print(f"authenticode-sha256: {message}", file=sys.stderr)
    sys.exit(2)


def signature(data):
    """The PKCS#7 SignedData of the first certificate table entry, or None if unsigned."""
    image_hash(data)  # the same checks of the headers and the certificate table's place
    offset, size = headers(data).directory(data, CERTIFICATE_TABLE)
    if not size:
        return None
    length, revision, kind = unpack("<IHH", data, offset)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= size:
        raise NotAnImage("the certificate table's first entry is no Authenticode signature")
    return data[offset + 8:offset + length]


def main(paths):
    if len(paths) == 2 and paths[0] == "--signature":
        with open(paths[1], "rb") as file:
            data = file.read()
        try:
            found = signature(data)
        except NotAnImage as error:
            fail(f"{paths[1]}: not a PE image Windows would load: {error}")
        if found is None:
            sys.exit(1)
        sys.stdout.buffer.write(found)
        return
    if not paths:
        fail("usage: authenticode-sha256.py PE_FILE...")
    for path in paths:
        with open(path, "rb") as file:
            data = file.read()
        try:
            print(f"{image_hash(data)}  {os.path.basename(path)}")
        except NotAnImage as error:
            fail(f"{path}: not a PE image Windows would load: {error}")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except OSError as error:
        fail(str(error))
