#!/usr/bin/env python3
"""The one reader of a release's build information (build-info.sh writes it): every line in the
order and form build-info.sh writes, or NotBuildInformation. sbom.py takes the tools from it, and
scripts/verify-release.sh the commit and source date of a download's.

usage: build_info.py commit FILE   prints "COMMIT SOURCE_DATE_EPOCH VERSION"; status 2, and
                                   why, for a file that is not build information written here
"""
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from shown import shown  # noqa: E402

FORMAT = "staged-package-removal build information 1"
HEADER = ["Format", "Source", "Version", "Commit", "Source-Date-Epoch", "Build-Architecture",
          "Build-Distribution"]
VALUE = {
    "Format": re.escape(FORMAT),
    "Source": "staged-package-removal",
    "Version": r"[0-9]+\.[0-9]+\.[0-9]+",
    "Commit": "[0-9a-f]{40}",
    "Source-Date-Epoch": "[0-9]{1,12}",
    "Build-Architecture": "[a-z0-9-]+",
    "Build-Distribution": r"[ -~]+",
}
TOOL = re.compile(r" ([a-z0-9][a-z0-9+.-]*) ([A-Za-z0-9.+~:-]+) (/[!-~]+)")
RUNTIME = re.compile(r" ([a-z0-9][a-z0-9+.-]*) ([A-Za-z0-9.+~:-]+)")
LARGEST = 1 << 20


class NotBuildInformation(Exception):
    pass


def read(path):
    """{"header": {field: value}, "tools": [(package, version, file)], "runtime": [(package,
    version)]} of the build information at PATH."""
    with open(path, "rb") as file:
        data = file.read(LARGEST + 1)
    if len(data) > LARGEST or not data.endswith(b"\n") or re.search(rb"[^\n -~]", data):
        raise NotBuildInformation("not lines of printable ASCII")
    lines = data.decode("ascii").split("\n")[:-1]
    header = {}
    for name in HEADER:
        line = lines.pop(0) if lines else ""
        match = re.fullmatch(f"{re.escape(name)}: ({VALUE[name]})", line)
        if not match:
            raise NotBuildInformation(f"no {name} line where build-info.sh writes it: {shown(line)}")
        header[name] = match.group(1)
    sections = {}
    for name, pattern in (("Tools", TOOL), ("Runtime-Linked", RUNTIME)):
        if not lines or lines.pop(0) != f"{name}:":
            raise NotBuildInformation(f"no {name}: section where build-info.sh writes it")
        sections[name] = []
        while lines and lines[0].startswith(" "):
            match = pattern.fullmatch(lines.pop(0))
            if not match:
                raise NotBuildInformation(f"a {name} line that build-info.sh does not write")
            sections[name].append(match.groups())
    if lines:
        raise NotBuildInformation(f"a line after the sections: {shown(lines[0])}")
    if not sections["Tools"]:
        raise NotBuildInformation("no tool")
    return {"header": header, "tools": sections["Tools"], "runtime": sections["Runtime-Linked"]}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "commit":
        sys.exit(__doc__[__doc__.index("usage:"):].rstrip())
    try:
        found = read(sys.argv[2])["header"]
    except (OSError, UnicodeDecodeError, NotBuildInformation) as error:
        print(f"build_info: {error}", file=sys.stderr)
        sys.exit(2)
    print(found["Commit"], found["Source-Date-Epoch"], found["Version"])
