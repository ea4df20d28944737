#!/usr/bin/env python3
"""Finishes the package that wixl 0.101 wrote, through libmsi (the library wixl writes with),
with what that wixl cannot author; nothing else in the package changes.

- The File table's Version and Language of each file that carries a VERSIONINFO (the
  executables): its FILEVERSION and the languages of its VarFileInfo Translation. The File
  table's page: "The file version entered into this field must be identical to the version of
  the file included with the installation package"; without it Windows Installer takes the file
  for unversioned, and keeps a copy already on disk that was modified after it was created
  ("File Versioning Rules"). Such a file's MsiFileHash row goes ("ICE60": no versioned files in
  the MsiFileHash table).
- The major upgrade's Upgrade row takes in the package's own version too
  (msidbUpgradeAttributesVersionMaxInclusive, "Upgrade Table"), as WiX's MajorUpgrade
  AllowSameVersionUpgrades authors it (msitools 0.102's wixl, not Debian 12's): another package of
  the same version, which has another product code (build-msi.sh), replaces the installed one.
  ICE61 warns of exactly this ("The Maximum version is not less than the current product"); it is
  what the version policy wants, so the warning stands.
- The summary information's package code, and its creation and last-saved times, which wixl
  writes at random and from the clock.

usage: finish-msi.py MSI PAYLOAD_DIR PACKAGE_CODE SOURCE_DATE_EPOCH
"""
import os
import sys

import gi

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
from pe_image import NotAnImage, version_info  # noqa: E402

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

VERSION_MAX_INCLUSIVE = 0x200


def file_version(path):
    """("major.minor.build.revision", "language,...") from a PE file's VERSIONINFO."""
    with open(path, "rb") as file:
        version, languages = version_info(file.read())
    # "Files should have language values stored in the version resource whenever possible. If a
    # file is language neutral, use the LANGID 0." ("ICE60")
    return version, ",".join(languages) or "0"


def run(database, sql, *values):
    query = Libmsi.Query.new(database, sql)
    record = None
    if values:
        record = Libmsi.Record.new(len(values))
        for i, value in enumerate(values, 1):
            if isinstance(value, int):
                record.set_int(i, value)
            elif value:  # an empty string stays a null field
                record.set_string(i, value)
    query.execute(record)
    query.close()


def rows(database, sql):
    query = Libmsi.Query.new(database, sql)
    query.execute(None)
    found = []
    while True:
        try:
            record = query.fetch()
        except gi.repository.GLib.Error:
            break
        if record is None:
            break
        found.append([record.get_string(i) for i in range(1, record.get_field_count() + 1)])
    query.close()
    return found


def main(msi, payload, package_code, epoch):
    database = Libmsi.Database.new(msi, Libmsi.DbFlags.TRANSACT, None)
    for file_id, file_name in rows(database, "SELECT `File`, `FileName` FROM `File`"):
        path = os.path.join(payload, file_name.split("|")[-1])
        try:
            version, language = file_version(path)
        except NotAnImage as error:
            # A program without a version resource is a build gone wrong, not an unversioned file.
            if path.lower().endswith((".exe", ".dll")):
                sys.exit(f"finish-msi: {path}: {error}")
            continue
        run(database, "UPDATE `File` SET `Version` = ?, `Language` = ? WHERE `File` = ?",
            version, language, file_id)
        run(database, "DELETE FROM `MsiFileHash` WHERE `File_` = ?", file_id)

    # Attributes is part of the Upgrade table's primary key, which SQL cannot update: the row is
    # written again.
    columns = "`UpgradeCode`, `VersionMin`, `VersionMax`, `Language`, `Attributes`, `Remove`, `ActionProperty`"
    upgrades = rows(database, f"SELECT {columns} FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
    if len(upgrades) != 1:
        sys.exit(f"finish-msi: expected one WIX_UPGRADE_DETECTED row in the Upgrade table: {upgrades}")
    (upgrade,) = upgrades
    upgrade[4] = int(upgrade[4]) | VERSION_MAX_INCLUSIVE
    run(database, "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
    run(database, f"INSERT INTO `Upgrade` ({columns}) VALUES (?, ?, ?, ?, ?, ?, ?)", *upgrade)

    summary = Libmsi.SummaryInfo.new(database, 3)
    summary.set_string(Libmsi.Property.UUID, package_code)
    # FILETIME: 100-nanosecond intervals since 1601-01-01 (UTC).
    filetime = (int(epoch) + 11644473600) * 10**7
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime)
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime)
    summary.persist()
    database.commit()


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit("usage: finish-msi.py MSI PAYLOAD_DIR PACKAGE_CODE SOURCE_DATE_EPOCH")
    main(*sys.argv[1:])
