#!/usr/bin/env python3
"""Text from a download as it may be shown on a terminal: every byte but printable ASCII, and
every backslash, as \\xHH, so that no name or field of a crafted release can move the cursor,
clear a line or recolour what the verifier says. The shell's shown (common.sh) hands anything it
cannot pass as it is to this.

usage: shown.py [--lines] <TEXT   (--lines: each line escaped, the line ends kept)
"""
import sys


def shown(data):
    """DATA (bytes, or text as UTF-8) with each byte outside 0x20-0x7E, and backslash, as \\xHH."""
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    return "".join(chr(b) if 0x20 <= b <= 0x7E and b != 0x5C else f"\\x{b:02x}" for b in data)


if __name__ == "__main__":
    text = sys.stdin.buffer.read()
    if sys.argv[1:] == ["--lines"]:
        lines = text.split(b"\n")
        if lines[-1] == b"":
            lines.pop()
        sys.stdout.write("".join(shown(line) + "\n" for line in lines))
    else:
        sys.stdout.write(shown(text) + "\n")
