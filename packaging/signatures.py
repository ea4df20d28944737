#!/usr/bin/env python3
"""The one reader of an Authenticode signature in a file, with one rule for each kind of file:
a signed file is the unsigned file plus exactly one signature, in the form the signer
(osslsigncode, through sign-files.sh) writes it, and nothing else.

- A PE image (.exe, .dll): its certificate table, at the end of the file and at an 8-byte
  boundary, one WIN_CERTIFICATE (revision 2.0, PKCS#7 SignedData) spanning all of it, the
  signature and zeros up to the next 8-byte boundary; the header's checksum that of the signed
  file (pe_image.py, through pefile).
- A PowerShell script (.ps1): after the script's bytes as they were, CR LF, "# SIG # Begin
  signature block", the signature in base64, 64 characters a line, each line "# " and CR LF, and
  "# SIG # End signature block" with CR LF, which ends the file; no other signature block.
- An MSI package (.msi): its \\005DigitalSignature stream holding the signature and nothing else,
  and no \\005MsiDigitalSignatureEx (compound_file.py). The rest of the package is not read here:
  scripts/verify-release.sh compares it byte for byte with a rebuild carrying the signature.

The release checks every file it signs with this rule (sign-files.sh), and verify-release.sh
reads a download's signatures with it, so the two cannot disagree about what a signature is. The
signature's own structure is then checked by signed_data.py and parsed by OpenSSL.

usage: signatures.py take FILE SIGNATURE
           writes FILE's signature (DER) to SIGNATURE: status 0; 1 for an unsigned file (nothing
           written); 2 when FILE is not an unsigned file plus one signature in the signer's form
       signatures.py check FILE SIGNATURE [--timestamp]
           status 0 when SIGNATURE has the structure the signer writes for FILE's kind (with a time
           stamp, if --timestamp) and OpenSSL parses it and its time stamp, which prints
           "time-stamped" if it has one; else 2, and why
       signatures.py attach FILE SIGNATURE OUT
           writes to OUT the unsigned PE image or script FILE with SIGNATURE attached as the
           signer attaches it (an MSI's is attached by osslsigncode: copy-signatures.sh)
       signatures.py signed UNSIGNED SIGNED [--timestamp]
           status 0 when SIGNED is UNSIGNED plus one signature in the signer's form (for an MSI:
           one signature), with the structure that check asks for; prints as check does
Messages name no file: the caller names it, escaped where it came from a download.
"""
import base64
import os
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from compound_file import CompoundFile, NotACompoundFile  # noqa: E402
from pe_image import NotAnImage, certificate_table, load, with_certificate_table  # noqa: E402
from signed_data import Refused, check as check_structure, element  # noqa: E402

WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002
BLOCK_BEGIN = b"\r\n# SIG # Begin signature block\r\n"
BLOCK_END = b"# SIG # End signature block\r\n"
MSI_SIGNATURE, MSI_SIGNATURE_EX = "\x05DigitalSignature", "\x05MsiDigitalSignatureEx"


class NotSignersForm(Exception):
    pass


def kind_of(path):
    extension = os.path.splitext(path)[1].lower()
    kinds = {".exe": "pe", ".dll": "pe", ".msi": "msi", ".ps1": "ps1"}
    if extension not in kinds:
        raise NotSignersForm("no signature of this type of file is known here")
    return kinds[extension]


def one_element(der):
    """DER, which must be one element and nothing after it."""
    try:
        if element(der, 0, len(der)).end != len(der):
            raise NotSignersForm("bytes after the signature")
    except Refused as error:
        raise NotSignersForm(f"no signature: {error}") from None
    return der


def pe_table(der):
    size = (8 + len(der) + 7) // 8 * 8
    header = struct.pack("<IHH", size, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    return header + der + b"\0" * (size - 8 - len(der))


def script_block(der):
    text = base64.b64encode(der)
    lines = b"".join(b"# " + text[i:i + 64] + b"\r\n" for i in range(0, len(text), 64))
    return BLOCK_BEGIN + lines + BLOCK_END


def take_pe(data):
    image = load(data)
    offset, size = certificate_table(image)
    if (offset, size) == (0, 0):
        return None
    if offset % 8 or size < 8:
        raise NotSignersForm("a certificate table not at an 8-byte boundary")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if (revision, kind) != (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
        raise NotSignersForm("a certificate table entry that is no Authenticode signature")
    if length != size:
        raise NotSignersForm("a certificate table that holds more than one entry")
    try:
        der = element(data, offset + 8, offset + size).encoded
    except Refused as error:
        raise NotSignersForm(f"no signature in the certificate table: {error}") from None
    unsigned = bytearray(data[:offset])
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[4].get_file_offset()
    unsigned[entry:entry + 8] = bytes(8)
    if attach_pe(bytes(unsigned), der) != data:
        raise NotSignersForm("bytes in the certificate table after the signature's padding, or a "
                             "header checksum that is not the signed file's")
    return der


def attach_pe(unsigned, der):
    if certificate_table(load(unsigned)) != (0, 0):
        raise NotSignersForm("the file is signed already")
    return with_certificate_table(unsigned, pe_table(der))


def take_script(data):
    if b"sig # begin signature block" not in data.lower():
        return None
    start = data.rfind(BLOCK_BEGIN)
    if start < 0 or b"sig # begin signature block" in data[:start].lower() or not data.endswith(BLOCK_END):
        raise NotSignersForm("a signature block that is not the one the signer writes at the end")
    lines = data[start + len(BLOCK_BEGIN):-len(BLOCK_END)].split(b"\r\n")
    if lines[-1] != b"" or any(not line.startswith(b"# ") for line in lines[:-1]):
        raise NotSignersForm("a signature block with lines the signer does not write")
    try:
        der = one_element(base64.b64decode(b"".join(line[2:] for line in lines[:-1]), validate=True))
    except ValueError:
        raise NotSignersForm("a signature block that is not base64") from None
    if attach_script(data[:start], der) != data:
        raise NotSignersForm("a signature block laid out otherwise than the signer lays it out")
    return der


def attach_script(unsigned, der):
    if b"sig # begin signature block" in unsigned.lower():
        raise NotSignersForm("the file is signed already")
    return unsigned + script_block(der)


def take_msi(data):
    package = CompoundFile(data)
    streams = package.entries
    if MSI_SIGNATURE_EX in streams:
        raise NotSignersForm("an extended signature (MsiDigitalSignatureEx), which the signer never writes")
    if MSI_SIGNATURE not in streams:
        return None
    return one_element(package.stream(MSI_SIGNATURE))


def take(path, data):
    """The signature of the file at PATH, whose bytes are DATA, or None if it is unsigned."""
    kind = kind_of(path)
    try:
        return {"pe": take_pe, "ps1": take_script, "msi": take_msi}[kind](data)
    except NotAnImage as error:
        raise NotSignersForm(f"not a PE image Windows would load: {error}") from None
    except NotACompoundFile as error:
        raise NotSignersForm(f"not an MSI package: {error}") from None


def attach(path, unsigned, der):
    kind = kind_of(path)
    if kind == "msi":
        raise NotSignersForm("an MSI package's signature is attached by osslsigncode")
    try:
        return {"pe": attach_pe, "ps1": attach_script}[kind](unsigned, der)
    except NotAnImage as error:
        raise NotSignersForm(f"not a PE image Windows would load: {error}") from None


def openssl_parses(der, token):
    """OpenSSL's reading of the signature (with its certificates), and of its time-stamp token
    (with its TSTInfo)."""
    with tempfile.TemporaryDirectory() as scratch:
        readings = (("signature", der, ["pkcs7", "-inform", "DER", "-print_certs", "-noout"]),
                    ("time stamp", token, ["ts", "-reply", "-token_in", "-token_out", "-text"]))
        for what, data, command in readings:
            if data is None:
                continue
            path = os.path.join(scratch, "der")
            with open(path, "wb") as file:
                file.write(data)
            if subprocess.run(["openssl", *command, "-in", path], capture_output=True).returncode:
                raise Refused(f"OpenSSL cannot read its {what}")


def check(path, der, timestamp):
    """Prints "time-stamped" when the signature carries a time stamp."""
    token = check_structure(der, kind_of(path), timestamp)
    openssl_parses(der, token)
    if token is not None:
        print("time-stamped")


def read(path):
    with open(path, "rb") as file:
        return file.read()


def main(args):
    timestamp = "--timestamp" in args[3:]
    command = args[0] if args else ""
    try:
        if command == "take" and len(args) == 3:
            der = take(args[1], read(args[1]))
            if der is None:
                return 1
            with open(args[2], "wb") as file:
                file.write(der)
        elif command == "check" and len(args) in (3, 4) and args[3:] in ([], ["--timestamp"]):
            check(args[1], read(args[2]), timestamp)
        elif command == "attach" and len(args) == 4:
            signed = attach(args[1], read(args[1]), read(args[2]))
            with open(args[3], "wb") as file:
                file.write(signed)
        elif command == "signed" and len(args) in (3, 4) and args[3:] in ([], ["--timestamp"]):
            signed = read(args[2])
            der = take(args[2], signed)
            if der is None:
                raise NotSignersForm("not signed")
            check(args[2], der, timestamp)
            if kind_of(args[2]) != "msi" and attach(args[1], read(args[1]), der) != signed:
                raise NotSignersForm("not the unsigned file plus its signature")
        else:
            print(__doc__[__doc__.index("usage:"):].rstrip(), file=sys.stderr)
            return 2
    except (NotSignersForm, Refused) as error:
        print(f"signatures: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"signatures: {error.strerror}", file=sys.stderr)
        return 2
    except Exception as error:  # noqa: BLE001
        # Whatever a crafted file makes a parser raise is a refusal, never status 1 ("unsigned").
        print(f"signatures: the file could not be read ({type(error).__name__})", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
