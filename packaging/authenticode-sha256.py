#!/usr/bin/env python3
"""Prints the Authenticode SHA-256 of PE files, in sha256sum's layout ("<hex>  <name>").

That is the PE image hash that App Control for Business and AppLocker hash rules match: it leaves
out the header's checksum, the certificate table's directory entry and the certificate table,
so a file has the same one signed and unsigned. Computed as Microsoft's "Windows Authenticode
Portable Executable Signature Format" says ("Calculating the PE Image Hash"): the headers without
those two fields, then each section's raw data in file order, then whatever follows the last
section but the certificate table (pe_image.py, which reads the image through pefile, and says
how large a section is in the file, where that document is silent).

usage: authenticode-sha256.py PE_FILE...
A file that is no PE image Windows would load is an error: status 2, and a message.
"""
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from pe_image import NotAnImage, authenticode_hash  # noqa: E402


def main(paths):
    if not paths:
        sys.exit("usage: authenticode-sha256.py PE_FILE...")
    for path in paths:
        try:
            with open(path, "rb") as file:
                print(f"{authenticode_hash(file.read())}  {os.path.basename(path)}")
        except (OSError, NotAnImage) as error:
            print(f"authenticode-sha256: {path}: not a PE image Windows would load: {error}", file=sys.stderr)
            sys.exit(2)


if __name__ == "__main__":
    main(sys.argv[1:])
