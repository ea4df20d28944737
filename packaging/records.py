#!/usr/bin/env python3
"""Compares a published release's records of how it was built, its build information and its
SBOM, with a rebuild's, field by field, for scripts/verify-release.sh. Tool versions are records
of the machine that built a release, not of what it holds: a rebuild on a machine where a Debian
package has another version may give the same programs, scripts and MSI, and differ only there.

So each tool record that differs (a tool's version or file, one named by only one side, the
runtime packages' versions, the distribution's name) is printed, one line each, and the status is
0 when nothing else differs: every other field the same, and the published file exactly the text
its fields give (build_info.py reads every line of it in its one form; the SBOM is the JSON that
sbom.py writes of its own content, byte for byte). Otherwise 1, and the first field that differs
is named. 2: the published file is not such a record at all.

usage: records.py buildinfo|sbom PUBLISHED REBUILT
Everything printed from PUBLISHED is escaped (shown.py).
"""
import json
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from build_info import NotBuildInformation, read as read_build_info  # noqa: E402
from shown import shown  # noqa: E402

LARGEST = 16 << 20


def tool_differences(what, published, rebuilt):
    """Lines naming each tool whose records differ between two lists of (name, version, ...)
    records. A Debian package may have several (one a file the build ran): all of a name's are
    shown together, so that one differing among them is never hidden by the others."""
    def by_name(records):
        grouped = {}
        for name, *rest in records:
            grouped.setdefault(name, []).append(" ".join(rest))
        return {name: shown(", ".join(rests)) for name, rests in grouped.items()}

    theirs, ours = by_name(published), by_name(rebuilt)
    lines = []
    for name in sorted(theirs.keys() | ours.keys()):
        if name not in ours:
            lines.append(f"{what} {shown(name)}: {theirs[name]} in the release, not used here")
        elif name not in theirs:
            lines.append(f"{what} {shown(name)}: {ours[name]} here, not in the release")
        elif theirs[name] != ours[name]:
            lines.append(f"{what} {shown(name)}: {theirs[name]} in the release, {ours[name]} here")
    return lines


def build_info(published, rebuilt):
    theirs, ours = read_build_info(published), read_build_info(rebuilt)
    lines = []
    for name, value in theirs["header"].items():
        if name == "Build-Distribution":
            if value != ours["header"][name]:
                lines.append(f"distribution: {shown(value)} in the release, {shown(ours['header'][name])} here")
        elif value != ours["header"][name]:
            return lines, f"its {name} is {shown(value)}, the rebuild's {shown(ours['header'][name])}"
    lines += tool_differences("tool", theirs["tools"], ours["tools"])
    lines += tool_differences("runtime package", theirs["runtime"], ours["runtime"])
    return lines, None


def sbom_json(path):
    with open(path, "rb") as file:
        data = file.read(LARGEST + 1)
    try:
        bom = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise NotBuildInformation("not JSON") from None
    if len(data) > LARGEST or json.dumps(bom, indent=2, ensure_ascii=False).encode("utf-8") + b"\n" != data:
        raise NotBuildInformation("not laid out as sbom.py writes it")
    return bom


def sbom(published, rebuilt):
    theirs, ours = sbom_json(published), sbom_json(rebuilt)

    def tools(bom):
        """The tools, taken out of BOM: (name, version, purl) of each."""
        try:
            found = bom["metadata"]["tools"].pop("components")
            return [(str(t["name"]), str(t["version"]), str(t["purl"])) for t in found]
        except (KeyError, TypeError, AttributeError):
            raise NotBuildInformation("no list of tools as sbom.py writes it") from None

    lines = tool_differences("tool", tools(theirs), tools(ours))
    where = first_difference(theirs, ours, "")
    return lines, None if where is None else f"its field {shown(where or '(the whole)')}"


def first_difference(theirs, ours, path):
    """The path of the first field in which two JSON values differ, or None."""
    if type(theirs) is not type(ours):
        return path
    if isinstance(theirs, dict):
        for key in list(theirs) + [k for k in ours if k not in theirs]:
            if key not in theirs or key not in ours:
                return f"{path}.{key}"
            found = first_difference(theirs[key], ours[key], f"{path}.{key}")
            if found is not None:
                return found
        return None
    if isinstance(theirs, list):
        for index, (mine, other) in enumerate(zip(theirs, ours)):
            found = first_difference(mine, other, f"{path}[{index}]")
            if found is not None:
                return found
        return None if len(theirs) == len(ours) else f"{path}[{min(len(theirs), len(ours))}]"
    return None if theirs == ours else path


def main(args):
    if len(args) != 3 or args[0] not in ("buildinfo", "sbom"):
        sys.exit(__doc__[__doc__.index("usage:"):].rstrip())
    try:
        lines, difference = {"buildinfo": build_info, "sbom": sbom}[args[0]](args[1], args[2])
    except (OSError, NotBuildInformation) as error:
        print(f"not a record this project writes: {error}")
        return 2
    for line in lines:
        print(line)
    if difference:
        print(f"differs: {difference}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
