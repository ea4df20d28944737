"""The structure of an Authenticode signature as this project's signer (osslsigncode, through
sign-files.sh) writes it, checked before any other program reads the signature: osslsigncode
older than 2.12 and 2.13, which is what Debian 12 has, mishandles signatures that are not.

check(der, kind, timestamp) raises Refused unless DER is, with nothing before or after it:
- one ContentInfo holding one SignedData, version 1, with one digest algorithm, SHA-256;
- its content a SpcIndirectDataContent whose data is, byte for byte, the signer's for KIND (for
  a PE image: SpcPeImageData without page hashes), and whose digest is SHA-256 and 32 bytes;
- certificates, no CRLs, and one SignerInfo, version 1, SHA-256, whose signed attributes are the
  signer's (content type, message digest, and optionally signing time, statement type and opus
  info), each once with one value, the message digest 32 bytes and that of the content;
- no unsigned attribute but one RFC 3161 time stamp (required when TIMESTAMP), which is itself
  one SignedData of a TSTInfo with one SignerInfo, no unsigned attributes, every digest the size
  of its algorithm, and whose message imprint is that of this signature's value.
Reading is DER only: definite lengths in their shortest form, one-byte tags, every length within
its parent. Whether the signature verifies is not asked here (osslsigncode verify does that,
against a trust anchor, once this check has passed)."""
import hashlib

SEQUENCE, SET, INTEGER, OCTET_STRING, OID, NULL = 0x30, 0x31, 0x02, 0x04, 0x06, 0x05
CONTEXT_0, CONTEXT_1 = 0xA0, 0xA1


class Refused(Exception):
    pass


def oid(dotted):
    """The DER contents of an OBJECT IDENTIFIER."""
    numbers = [int(n) for n in dotted.split(".")]
    out = bytearray([40 * numbers[0] + numbers[1]])
    for number in numbers[2:]:
        chunk = [number & 0x7F]
        while number > 0x7F:
            number >>= 7
            chunk.append(0x80 | (number & 0x7F))
        out += bytes(reversed(chunk))
    return bytes(out)


SIGNED_DATA = oid("1.2.840.113549.1.7.2")
SPC_INDIRECT_DATA = oid("1.3.6.1.4.1.311.2.1.4")
TST_INFO = oid("1.2.840.113549.1.9.16.1.4")
CONTENT_TYPE = oid("1.2.840.113549.1.9.3")
MESSAGE_DIGEST = oid("1.2.840.113549.1.9.4")
SIGNING_TIME = oid("1.2.840.113549.1.9.5")
SPC_STATEMENT_TYPE = oid("1.3.6.1.4.1.311.2.1.11")
SPC_SP_OPUS_INFO = oid("1.3.6.1.4.1.311.2.1.12")
RFC3161_TIMESTAMP = oid("1.3.6.1.4.1.311.3.3.1")
SPC_PE_IMAGE_DATA = oid("1.3.6.1.4.1.311.2.1.15")
# The digest algorithms a time-stamp server may use, by hashlib's names.
HASHES = {oid("1.3.14.3.2.26"): "sha1", oid("2.16.840.1.101.3.4.2.1"): "sha256",
          oid("2.16.840.1.101.3.4.2.2"): "sha384", oid("2.16.840.1.101.3.4.2.3"): "sha512"}
SHA256_ALGORITHM = bytes.fromhex("300d06096086480165030402010500")  # SHA-256, NULL parameters
# SpcAttributeTypeAndOptionalValue as the signer writes it for each kind of file: for a PE image,
# SpcPeImageData with the "<<<Obsolete>>>" file link (no page hashes, which would be a moniker)
# and its flags, an empty bit string from osslsigncode 2.5 and one of 7 unused bits from 2.9; for
# an MSI package and a PowerShell script, SpcSipInfo naming their subject interface packages.
DATA_OF_KIND = {
    "pe": {bytes.fromhex("3034060a2b06010401823702010f302603020780a020a21e801c003c003c003c004f"
                         "00620073006f006c006500740065003e003e003e"),
           bytes.fromhex("3033060a2b06010401823702010f3025030100a020a21e801c003c003c003c004f"
                         "00620073006f006c006500740065003e003e003e")},
    "msi": {bytes.fromhex("3032060a2b06010401823702011e30240201010410f1100c0000000000c0000000"
                          "00000046020100020100020100020100020100")},
    "ps1": {bytes.fromhex("3034060a2b06010401823702011e3026020301000004101fcc3b60594b084eb724d2"
                          "c6297ef351020100020100020100020100020100")},
}
# The signed attributes the signer writes; a time-stamp server's may carry these others too
# (signing certificate, v1 and v2; CMS algorithm protection).
SIGNER_ATTRIBUTES = {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, SPC_STATEMENT_TYPE, SPC_SP_OPUS_INFO}
TIMESTAMP_ATTRIBUTES = {CONTENT_TYPE, MESSAGE_DIGEST, SIGNING_TIME, oid("1.2.840.113549.1.9.16.2.12"),
                        oid("1.2.840.113549.1.9.16.2.47"), oid("1.2.840.113549.1.9.52")}


class Node:
    """One DER element of DATA: its tag, where it starts, and where its contents start and end."""

    def __init__(self, data, tag, offset, start, end):
        self.data, self.tag, self.offset, self.start, self.end = data, tag, offset, start, end

    @property
    def contents(self):
        return self.data[self.start:self.end]

    @property
    def encoded(self):
        return self.data[self.offset:self.end]

    def children(self):
        found, offset = [], self.start
        while offset < self.end:
            node = element(self.data, offset, self.end)
            found.append(node)
            offset = node.end
        return found

    def only(self, tag, what):
        """The one child, of TAG."""
        inner = self.children()
        if len(inner) != 1:
            raise Refused(f"{what}: {len(inner)} elements where the signer writes one")
        return expect(inner[0], tag, what)


def element(data, offset, limit):
    if offset + 2 > limit:
        raise Refused("an element runs past its end")
    tag, first = data[offset], data[offset + 1]
    if tag & 0x1F == 0x1F:
        raise Refused("a multi-byte tag")
    start = offset + 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        if count == 0 or count > 4:
            raise Refused("an indefinite or oversized length")
        if start + count > limit:
            raise Refused("a length runs past its end")
        length = int.from_bytes(data[start:start + count], "big")
        if length < 0x80 or data[start] == 0:
            raise Refused("a length not in its shortest form")
        start += count
    if start + length > limit:
        raise Refused(f"an element of {length} bytes runs past its end")
    return Node(data, tag, offset, start, start + length)


def expect(node, tag, what):
    if node.tag != tag:
        raise Refused(f"{what}: tag {node.tag:#04x} where the signer writes {tag:#04x}")
    return node


def fields(node, tags, what):
    """NODE's children, which must have TAGS in order (a tag ending in "?" may be absent)."""
    inner, found = node.children(), []
    for tag in tags:
        optional = isinstance(tag, str)
        wanted = int(tag.rstrip("?"), 16) if optional else tag
        if inner and inner[0].tag == wanted:
            found.append(inner.pop(0))
        elif optional:
            found.append(None)
        else:
            raise Refused(f"{what}: no element of tag {wanted:#04x} where the signer writes one")
    if inner:
        raise Refused(f"{what}: {len(inner)} more element(s) than the signer writes")
    return found


def digest_size(algorithm, what):
    """The size of the digest of an AlgorithmIdentifier (its parameters NULL or absent)."""
    inner = algorithm.children()
    if not inner or expect(inner[0], OID, what).contents not in HASHES or len(inner) > 2 or \
            (len(inner) == 2 and (inner[1].tag, inner[1].contents) != (NULL, b"")):
        raise Refused(f"{what}: not a digest algorithm known here")
    name = HASHES[inner[0].contents]
    return hashlib.new(name).digest_size, name


def attributes(node, allowed, what):
    """{OID: its one value} of a set of attributes: each allowed, once, with one value."""
    found = {}
    for attribute in node.children():
        kind, values = fields(expect(attribute, SEQUENCE, what), [OID, SET], what)
        if kind.contents not in allowed:
            raise Refused(f"{what}: an attribute the signer does not write ({kind.contents.hex()})")
        if kind.contents in found:
            raise Refused(f"{what}: an attribute twice")
        value = values.children()
        if len(value) != 1:
            raise Refused(f"{what}: an attribute with {len(value)} values")
        found[kind.contents] = value[0]
    return found


def signed_data(data, what):
    """The SignedData of a ContentInfo spanning all of DATA."""
    info = element(data, 0, len(data))
    if info.end != len(data):
        raise Refused(f"{what}: {len(data) - info.end} bytes after it")
    kind, content = fields(expect(info, SEQUENCE, what), [OID, CONTEXT_0], what)
    if kind.contents != SIGNED_DATA:
        raise Refused(f"{what}: not a SignedData")
    return content.only(SEQUENCE, what)


def signed_attributes(signer, what):
    """(version, digest algorithm, signed attributes, signature value, unsigned attributes or
    None) of a SignerInfo."""
    version, _, algorithm, signed, _, value, unsigned = fields(
        signer, [INTEGER, SEQUENCE, SEQUENCE, CONTEXT_0, SEQUENCE, OCTET_STRING, "a1?"], what)
    return version, algorithm, signed, value, unsigned


def check_timestamp(token, signature_value):
    what = "the time stamp"
    content = signed_data(token, what)
    _, algorithms, encapsulated, _, crls, signers = fields(
        content, [INTEGER, SET, SEQUENCE, "a0?", "a1?", SET], what)
    if crls is not None:
        raise Refused(f"{what}: CRLs")
    for algorithm in algorithms.children():
        digest_size(expect(algorithm, SEQUENCE, what), what)
    kind, wrapped = fields(encapsulated, [OID, CONTEXT_0], what)
    if kind.contents != TST_INFO:
        raise Refused(f"{what}: not a TSTInfo")
    tst_info = wrapped.only(OCTET_STRING, what)
    info = element(token, tst_info.start, tst_info.end)
    if info.end != tst_info.end:
        raise Refused(f"{what}: bytes after its TSTInfo")
    imprint = expect(info, SEQUENCE, what).children()
    if len(imprint) < 3:
        raise Refused(f"{what}: a TSTInfo without its message imprint")
    algorithm, hashed = fields(expect(imprint[2], SEQUENCE, what), [SEQUENCE, OCTET_STRING], what)
    size, name = digest_size(algorithm, what)
    if len(hashed.contents) != size:
        raise Refused(f"{what}: a message imprint of {len(hashed.contents)} bytes, {size} for its algorithm")
    if hashed.contents != hashlib.new(name, signature_value).digest():
        raise Refused(f"{what}: its message imprint is not that of this signature")
    signer = expect(signers, SET, what).only(SEQUENCE, f"{what}'s signers")
    _, algorithm, signed, _, unsigned = signed_attributes(signer, what)
    if unsigned is not None:
        raise Refused(f"{what}: unsigned attributes")
    size, _ = digest_size(algorithm, what)
    found = attributes(signed, TIMESTAMP_ATTRIBUTES, f"{what}'s signed attributes")
    if MESSAGE_DIGEST not in found or len(expect(found[MESSAGE_DIGEST], OCTET_STRING, what).contents) != size:
        raise Refused(f"{what}: no message digest of its algorithm's size")


def has_page_hashes(data):
    """Whether a SpcAttributeTypeAndOptionalValue is SpcPeImageData whose file link is a moniker
    (which is where page hashes go) rather than a file name."""
    try:
        kind, image_data = fields(data, [OID, SEQUENCE], "")
        _, link = fields(image_data, [0x03, CONTEXT_0], "")
        return kind.contents == SPC_PE_IMAGE_DATA and link.only(CONTEXT_1, "").tag == CONTEXT_1
    except Refused:
        return False


def check(der, kind, timestamp=False):
    """Raises Refused unless DER is a signature of KIND ("pe", "msi", "ps1") as the signer writes
    it; TIMESTAMP: it must carry a time stamp. Returns the time stamp's token, or None."""
    what = "the signature"
    content = signed_data(der, what)
    version, algorithms, encapsulated, _, signers = fields(
        content, [INTEGER, SET, SEQUENCE, CONTEXT_0, SET], what)
    if version.contents != b"\x01":
        raise Refused(f"{what}: SignedData version {version.contents.hex()}")
    if algorithms.only(SEQUENCE, f"{what}'s digest algorithms").encoded != SHA256_ALGORITHM:
        raise Refused(f"{what}: a digest algorithm other than SHA-256")
    content_type, wrapped = fields(encapsulated, [OID, CONTEXT_0], what)
    if content_type.contents != SPC_INDIRECT_DATA:
        raise Refused(f"{what}: not Authenticode's SpcIndirectDataContent")
    indirect = wrapped.only(SEQUENCE, what)
    data, message = fields(indirect, [SEQUENCE, SEQUENCE], what)
    if data.encoded not in DATA_OF_KIND[kind]:
        raise Refused(f"{what}: page hashes" if has_page_hashes(data) else
                      f"{what}: its data is not what the signer writes for this kind of file")
    algorithm, digest = fields(message, [SEQUENCE, OCTET_STRING], what)
    if algorithm.encoded != SHA256_ALGORITHM:
        raise Refused(f"{what}: a file digest other than SHA-256")
    if len(digest.contents) != 32:
        raise Refused(f"{what}: a file digest of {len(digest.contents)} bytes, 32 for SHA-256")
    signer = signers.only(SEQUENCE, f"{what}'s signers")
    version, algorithm, signed, value, unsigned = signed_attributes(signer, what)
    if version.contents != b"\x01":
        raise Refused(f"{what}: SignerInfo version {version.contents.hex()}")
    if algorithm.encoded != SHA256_ALGORITHM:
        raise Refused(f"{what}: a signer's digest other than SHA-256")
    found = attributes(signed, SIGNER_ATTRIBUTES, f"{what}'s signed attributes")
    if found.get(CONTENT_TYPE) is None or \
            (found[CONTENT_TYPE].tag, found[CONTENT_TYPE].contents) != (OID, SPC_INDIRECT_DATA):
        raise Refused(f"{what}: no content type of SpcIndirectDataContent among its signed attributes")
    if MESSAGE_DIGEST not in found or found[MESSAGE_DIGEST].tag != OCTET_STRING:
        raise Refused(f"{what}: no message digest among its signed attributes")
    if len(found[MESSAGE_DIGEST].contents) != 32:
        raise Refused(f"{what}: a message digest of {len(found[MESSAGE_DIGEST].contents)} bytes, 32 for SHA-256")
    # Authenticode digests the content's value without its tag and length.
    if found[MESSAGE_DIGEST].contents != hashlib.sha256(indirect.contents).digest():
        raise Refused(f"{what}: its message digest is not that of its content")
    stamped = None
    if unsigned is not None:
        stamps = attributes(unsigned, {RFC3161_TIMESTAMP}, f"{what}'s unsigned attributes")
        if not stamps:
            raise Refused(f"{what}: an empty set of unsigned attributes")
        token = stamps[RFC3161_TIMESTAMP]
        check_timestamp(token.encoded, value.contents)
        stamped = token.encoded
    if timestamp and stamped is None:
        raise Refused(f"{what}: no time stamp, which was asked for")
    return stamped
