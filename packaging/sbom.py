#!/usr/bin/env python3
"""Writes the release's software bill of materials (CycloneDX 1.6, JSON) to standard output.

It lists the project with its version and licence, the tools that built it (the Debian packages
that build-info.sh found, with their versions), each shipped file with its SHA-256, and in
each executable the runtime pieces that runtime-components.sh found in its linker map (the same
lines THIRD-PARTY-NOTICES.txt is written from), with the Debian package and version each came
from and its SPDX licence expression. The same inputs give the same bytes: the time is
SOURCE_DATE_EPOCH (the commit's), and the serial number is derived from the commit and the
files, so a signed release of a commit gets another one than its unsigned release.

usage: sbom.py --version VERSION --commit COMMIT --components COMPONENTS --build-info FILE FILE...
"""
import argparse
import datetime
import hashlib
import json
import os
import sys
import urllib.parse
import uuid

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
import build_info  # noqa: E402

PROJECT = "staged-package-removal"


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def runtime_pieces(components_path):
    """{executable: [component, ...]} from runtime-components.sh's lines, in their order."""
    held = {}
    with open(components_path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 8:
                sys.exit(f"sbom: not a line of runtime-components.sh: {line!r}")
            executable, name, what, package, version, spdx, files, _ = fields
            pieces = held.setdefault(executable, [])
            if package == "-":
                continue
            pieces.append({
                "type": "library",
                "bom-ref": f"{executable}#{name}",
                "name": name,
                "version": version,
                "description": what,
                "licenses": [{"expression": spdx}],
                "purl": f"pkg:deb/debian/{package}@{urllib.parse.quote(version, safe='')}",
                "properties": [
                    {"name": f"{PROJECT}:debian-package", "value": package},
                    {"name": f"{PROJECT}:linked-files", "value": files.replace(";", "; ")},
                ],
            })
    return held


def build_tools(build_info_path):
    """The tools that shaped the release, one per Debian package, from the build information
    (build_info.py reads it), in its order."""
    tools, seen = [], set()
    for package, version, _ in build_info.read(build_info_path)["tools"]:
        if package in seen:
            continue
        seen.add(package)
        tools.append({
            "type": "application",
            "bom-ref": f"tool:{package}",
            "name": package,
            "version": version,
            "purl": f"pkg:deb/debian/{package}@{urllib.parse.quote(version, safe='')}",
        })
    return tools


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--commit", required=True)
    parser.add_argument("--components", required=True)
    parser.add_argument("--build-info", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    held = runtime_pieces(args.components)
    files = []
    for path in args.files:
        # Named as given: the release passes paths relative to its directory (deploy/x.ps1).
        name = os.path.normpath(path)
        file = {"type": "file", "bom-ref": f"file:{name}", "name": name,
                "hashes": [{"alg": "SHA-256", "content": sha256(path)}]}
        if name in held:
            file["components"] = held.pop(name)
        files.append(file)
    if held:
        sys.exit(f"sbom: no shipped file for {', '.join(held)}")

    # A name for this very bill: the commit and the exact files it describes.
    identity = args.commit + "".join(f" {f['name']}={f['hashes'][0]['content']}" for f in files)
    serial = uuid.uuid5(uuid.NAMESPACE_URL, f"urn:{PROJECT}:sbom:{identity}")
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    timestamp = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    bom = {
        "$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "serialNumber": f"urn:uuid:{serial}",
        "version": 1,
        "metadata": {
            "timestamp": timestamp.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "tools": {"components": build_tools(args.build_info)},
            "component": {
                "type": "application",
                "bom-ref": PROJECT,
                "name": PROJECT,
                "version": args.version,
                "licenses": [{"license": {"id": "MIT"}}],
                "properties": [{"name": f"{PROJECT}:commit", "value": args.commit}],
            },
        },
        "components": files,
        "dependencies": [{"ref": PROJECT, "dependsOn": [f["bom-ref"] for f in files]}],
    }
    json.dump(bom, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
