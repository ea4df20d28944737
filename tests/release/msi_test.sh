#!/usr/bin/env bash
# The Windows Installer package (packaging/build-msi.sh) installed for real by Wine's msiexec, an
# independent implementation of Windows Installer, each case in a fresh Wine prefix:
# - /i /qn installs both programs, byte for byte the release's, LICENSE and the notices, into
#   C:\Program Files\Staged Package Removal\ and registers name, version and publisher for
#   Programs and Features; the installed check then reports a staged machine from there, the
#   installed removal cleans it, and the check finds nothing left;
# - a higher version over it leaves one product registered and the newer files;
# - an older version over a newer is refused (1603, at LaunchConditions, by the downgrade
#   condition) and changes nothing;
# - /x by package and by product code removes the files, the folder and the registration;
# - the unsigned and the signed release of one commit, one after the other, leave one product
#   and the signed files; the same package twice exits 0 and changes nothing; the install folder
#   cannot be moved from the command line; an install over copies already in the folder (an older
#   version, a copy modified after it was created) leaves the package's files;
# - without Wine: the tables hold no custom action, service, shortcut or registry row, every
#   component is 64-bit, the summary says x64, and the downgrade condition carries its message;
#   each executable's File row carries its VERSIONINFO's version and language and has no file
#   hash; the major upgrade covers the package's own version; the install folder's property is
#   private; and the UpgradeCode and each component's GUID with its key path are the committed
#   ones (a literal list here);
#   the deployment scripts (packaging/deploy/) are ASCII, so UTF-8 and the same text under any
#   code page, every path they name under $env:ProgramW6432 is one the package installs (and,
#   under Wine, is there after the install), and docs/deployment.md shows each as it is.
# The package under test is a release's (scripts/release.sh of HEAD, packaging the executables of
# BUILD_DIR); the higher version is built from the same files by packaging/build-msi.sh, as the
# release builds its own.
#
# usage: msi_test.sh BUILD_DIR   (a windows-x64 build of HEAD: its executables and exit-code-probe.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/harness/harness.sh
build=$(realpath "$1")
work=$(mktemp -d)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stop_prefixes_and_clean() {
  # Each prefix has its own wineserver; stop the ones this test started.
  local prefix
  for prefix in "$work"/prefix-*; do
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_prefixes_and_clean EXIT

limited 600 bash scripts/release.sh --windows-build "$build" --output "$work/release" \
  >"$work/release.log" 2>&1 || { cat "$work/release.log" >&2; exit 1; }
# The same commit signed, as a release follows its unsigned pilot.
source tests/release/throwaway_ca.sh
mkdir "$work/ca"
make_throwaway_ca "$work/ca"
limited 600 bash scripts/release.sh --windows-build "$build" --output "$work/signed-release" \
  --pkcs12 "$work/ca/signer.p12" --password-file "$work/ca/password.txt" >"$work/release.log" 2>&1 ||
  { cat "$work/release.log" >&2; exit 1; }
version=$(cat "$build/project-version.txt")
IFS=. read -r major minor patch <<<"$version"
newer_version=$major.$minor.$((patch + 1))

# The release's files as the zip lays them out, and for the higher version the same with a few
# bytes appended to each program (data after the image, which Windows ignores), so that "the
# newer files" can be told from the older ones.
unzip -q "$work/release/staged-package-removal-$version-win64.zip" -d "$work/zip"
staged=("$work/zip/"*)
cp -R "${staged[0]}" "$work/newer-staged"
for exe in "$work/newer-staged/"*.exe; do
  printf 'newer' >>"$exe"
done
cp "$work/release/staged-package-removal-$version-x64.msi" "$work/older.msi"
cp "$work/signed-release/staged-package-removal-$version-x64.msi" "$work/signed.msi"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD) \
  bash packaging/build-msi.sh "$newer_version" "$work/newer-staged" "$work/newer.msi"
# What each package installs, as msiextract finds it in the package.
for package in older newer signed; do
  msiextract -C "$work/$package-extracted" "$work/$package.msi" >/dev/null
  ln -s "$work/$package-extracted/Staged Package Removal" "$work/$package"
done

property() {  # property MSI NAME: a row of the Property table
  msiinfo export "$1" Property | awk -F'\t' -v name="$2" '$1 == name { print $2 }' | tr -d '\r'
}
older_code=$(property "$work/older.msi" ProductCode)
newer_code=$(property "$work/newer.msi" ProductCode)
signed_code=$(property "$work/signed.msi" ProductCode)
upgrade_code=$(property "$work/older.msi" UpgradeCode)

rows() {  # rows MSI TABLE: the table's rows, without msiinfo's three header lines
  msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4
}

begin_case "the package installs files only, all 64-bit, and its summary says x64"
for table in CustomAction ServiceInstall ServiceControl Shortcut Registry RemoveFile Binary; do
  [ -z "$(rows "$work/older.msi" "$table")" ] || fail "$table has rows: $(rows "$work/older.msi" "$table")"
done
msiinfo suminfo "$work/older.msi" | grep -qx "Template: x64;1033" ||
  fail "summary: $(msiinfo suminfo "$work/older.msi")"
# msidbComponentAttributes64bit (256), and nothing else, on every component.
attributes=$(rows "$work/older.msi" Component | awk -F'\t' '{ print $4 }' | sort -u)
[ "$attributes" = 256 ] || fail "component attributes: $attributes"
[ "$(rows "$work/older.msi" Component | wc -l)" = 4 ] || fail "components: $(rows "$work/older.msi" Component)"
rows "$work/older.msi" LaunchCondition | grep -qx $'NOT WIX_DOWNGRADE_DETECTED\tA newer version of Staged Package Removal is already installed.' ||
  fail "launch conditions: $(rows "$work/older.msi" LaunchCondition)"
[ "$(property "$work/older.msi" ALLUSERS)" = 1 ] || fail "not per-machine"

# Windows Installer refuses a second package of an installed product code whose package differs
# (1638, ERROR_PRODUCT_VERSION, "Another version of this product is already installed"): every
# distinct package has its own product code, and its own package code.
begin_case "distinct packages of one version or two have distinct product and package codes"
package_code() {  # package_code MSI
  msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'
}
[ "$(sort -u < <(printf '%s\n' "$older_code" "$newer_code" "$signed_code") | wc -l)" = 3 ] ||
  fail "product codes: $older_code $newer_code $signed_code"
[ "$(sort -u < <(for m in older newer signed; do package_code "$work/$m.msi"; done) | wc -l)" = 3 ] ||
  fail "package codes: $(for m in older newer signed; do package_code "$work/$m.msi"; done)"

# The File table's Version "must be identical to the version of the file included with the
# installation package" ("File Table"); read here straight from the bytes: the VS_FIXEDFILEINFO
# after its signature, and the VarFileInfo Translation's language.
version_resource() {  # version_resource FILE: "<file version> <language>"
  /usr/bin/python3 - "$1" <<'PYTHON'
import struct, sys
data = open(sys.argv[1], "rb").read()
fixed = data.index(struct.pack("<I", 0xFEEF04BD))
ms, ls = struct.unpack_from("<II", data, fixed + 8)
translation = data.index("Translation\0".encode("utf-16-le"))
value = (translation + len("Translation\0".encode("utf-16-le")) + 3) & ~3
(language,) = struct.unpack_from("<H", data, value)
print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF} {language}")
PYTHON
}
begin_case "each executable's File row carries its version and language, and no file hash"
while IFS=$'\t' read -r file_id file_name file_version file_language; do
  file_name=${file_name#*|}
  if [[ $file_name == *.exe ]]; then
    [ "$file_version $file_language" = "$(version_resource "$work/older/$file_name")" ] ||
      fail "$file_name: File table says '$file_version $file_language', its resource '$(version_resource "$work/older/$file_name")'"
    [ "$file_version" = "$version.0" ] || fail "$file_name: version $file_version, not the project's"
    ! rows "$work/older.msi" MsiFileHash | cut -f1 | grep -qx "$file_id" || fail "$file_name has a file hash"
  else
    [ -z "$file_version" ] || fail "$file_name, which has no version resource, has version $file_version"
  fi
done < <(rows "$work/older.msi" File | cut -f1,3,5,6)
[ "$(rows "$work/older.msi" File | grep -c '\.exe')" = 2 ] || fail "File table: $(rows "$work/older.msi" File)"

# "Upgrade Table": msidbUpgradeAttributesVersionMaxInclusive (0x200) takes in VersionMax, the
# package's own ProductVersion, so that another package of the same version is upgraded; the
# downgrade row starts above it. (Windows Installer compares only the first three fields of
# ProductVersion, "ProductVersion property", which is all this project's version has.)
begin_case "the major upgrade covers the package's own version, the downgrade only newer ones"
[ "$(rows "$work/older.msi" Upgrade | cut -f2-7 | sort)" = "$(printf '%s\n' \
    $'\t'"$version"$'\t\t'513$'\t\t'WIX_UPGRADE_DETECTED "$version"$'\t\t\t'2$'\t\t'WIX_DOWNGRADE_DETECTED | sort)" ] ||
  fail "Upgrade rows: $(rows "$work/older.msi" Upgrade)"

# "Private Properties": "Private property names must include lowercase letters" and "Private
# property values cannot be overridden at a command line". Wine upper-cases the names it reads on
# its command line, so the Wine case below would pass for a folder property of any case: this is
# what holds on Windows.
begin_case "the install folder's property is private"
install_folder=$(rows "$work/older.msi" Directory | awk -F'\t' '$2 == "ProgramFiles64Folder" { print $1 }')
[ "$(wc -l <<<"$install_folder")" = 1 ] && [[ $install_folder =~ [a-z] ]] ||
  fail "the folder under ProgramFiles64Folder is '$install_folder'"

# A new UpgradeCode makes every later version a second product beside the first, and a changed
# component GUID, or a key path moved without a new GUID, breaks Windows Installer's component
# rules; so both are written out here, not read from what builds the package. A file under
# another name or folder is a new key path: give it a new GUID here and in the list.
begin_case "the UpgradeCode and each component's GUID and key path are the committed ones"
[ "$upgrade_code" = "{5B6B1A1A-2F60-47DB-8D3D-D019CD3FEC0B}" ] || fail "UpgradeCode $upgrade_code"
pinned_components=$(printf '%s\n' \
  "{46B4E50E-F926-4AC4-B8BF-85FCE2FECCC3} ProgramFiles64Folder\STAGED~1|Staged Package Removal\SPREMOVE.EXE|staged-package-removal.exe" \
  "{0127DAA7-BBE4-43D5-A08B-588484AC0BE9} ProgramFiles64Folder\STAGED~1|Staged Package Removal\SPCHECK.EXE|staged-package-check.exe" \
  "{FAA4EA86-47BC-4445-BE5E-C112B2BE9467} ProgramFiles64Folder\STAGED~1|Staged Package Removal\LICENSE" \
  "{873D1AFD-6175-4EDB-BEF5-78FE702DECD3} ProgramFiles64Folder\STAGED~1|Staged Package Removal\NOTICES.TXT|THIRD-PARTY-NOTICES.txt" |
  sort)
# Each component's GUID and key path: the key file's name under its folders' names.
components=$(awk -F'\t' '
  FNR == 1 { table++ }
  table == 1 { parent[$1] = $2; name[$1] = $3; next }
  table == 2 { file_name[$1] = $3; next }
  { path = file_name[$6]
    for (dir = $3; dir != "TARGETDIR" && dir != ""; dir = parent[dir])
      path = (parent[dir] == "TARGETDIR" ? dir : name[dir]) "\\" path
    print $2 " " path }' \
  <(rows "$work/older.msi" Directory) <(rows "$work/older.msi" File) <(rows "$work/older.msi" Component) | sort)
[ "$components" = "$pinned_components" ] || fail "components and key paths:
$(diff <(echo "$pinned_components") <(echo "$components"))"

begin_case "the deployment scripts name the paths the package installs"
# ProgramW6432 is the 64-bit Program Files folder, ProgramFiles64Folder ("WOW64 Implementation
# Details"; "ProgramFiles64Folder property").
install_dir=$(rows "$work/older.msi" Directory | awk -F'\t' '$2 == "ProgramFiles64Folder" { sub(/.*\|/, "", $3); print $3 }')
packaged_paths=$(rows "$work/older.msi" File | awk -F'\t' -v dir="$install_dir" '{ sub(/.*\|/, "", $3); print dir "\\" $3 }')
script_paths=()
for script in packaging/deploy/*.ps1; do
  ! LC_ALL=C grep -q '[^ -~'$'\r''	]' "$script" || fail "$script is not ASCII"
  # Each path is [System.IO.Path]::Combine("$env:ProgramW6432", 'folder', 'file').
  named=$(LC_ALL=C grep -o "Combine(\"\$env:ProgramW6432\", '[^']*', '[^']*')" "$script" |
    sed "s/.*, '\(.*\)', '\(.*\)')/\1\\\\\2/")
  [ -n "$named" ] || fail "$script names no path under \$env:ProgramW6432"
  while IFS= read -r path; do
    [ -n "$path" ] || continue
    grep -qxF -- "$path" <<<"$packaged_paths" || fail "$script names $path, which the package does not install"
    script_paths+=("$path")
  done <<<"$named"
done

begin_case "the guide shows each deployment script as it is"
for script in packaging/deploy/*.ps1; do
  quoted=$(awk -v heading="### \`deploy/$(basename "$script")\`" '
    $0 == heading { found = 1; next }
    found && /^```powershell$/ { inside = 1; next }
    inside && /^```$/ { exit }
    inside { print }' docs/deployment.md)
  [ "$quoted" = "$(tr -d '\r' <"$script")" ] || fail "docs/deployment.md does not show $script as it is"
done

# A pristine prefix, made once and copied for each case: a copy of a prefix that nothing has run
# in is what wineboot --init would make again, in a fraction of the time.
WINEPREFIX=$work/pristine bash tests/harness/wine_prefix.sh
fresh_prefix() {  # fresh_prefix NAME: sets WINEPREFIX to a new copy of the pristine prefix
  export WINEPREFIX=$work/prefix-$1
  cp -a "$work/pristine" "$WINEPREFIX"
  installed=$WINEPREFIX/drive_c/Program\ Files/Staged\ Package\ Removal
}

msiexec_code() {  # msiexec_code ARGUMENTS...: Wine's msiexec; prints its full exit code
  limited 300 wine "$build/exit-code-probe.exe" 'C:\windows\system32\msiexec.exe' "$@" | tr -d '\r'
}

installed_files_are() {  # installed_files_are PAYLOAD_DIR: the folder holds exactly those files
  [ "$(ls "$installed" 2>/dev/null)" = "$(ls "$1")" ] ||
    { fail "installed: $(ls "$installed" 2>&1)"; return; }
  local file
  for file in "$1"/*; do
    cmp -s "$file" "$installed/$(basename "$file")" || fail "$(basename "$file") is not $1's"
  done
}

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
registered() {  # registered: the product codes in Programs and Features' list, one a line
  wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r' | sed -n 's/.*\\Uninstall\\\({.*}\)$/\1/p'
}
arp_value() {  # arp_value PRODUCT_CODE NAME
  wine reg query "$uninstall_key\\$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
# Windows Installer keeps the products of an upgrade code under the code's "packed" form: the
# first three groups reversed, the rest byte by byte with nibbles swapped.
packed() {
  local hex=${1//[\{\}-]/} out="" i
  out=$(rev <<<"${hex:0:8}")$(rev <<<"${hex:8:4}")$(rev <<<"${hex:12:4}")
  for ((i = 16; i < 32; i += 2)); do out+=${hex:i+1:1}${hex:i:1}; done
  echo "$out"
}
# Under Wine 8 a second product of the same upgrade code took the first one's place here (seen
# with the major upgrade taken out of the package): this list alone would not show two products,
# Programs and Features' does.
products_of_upgrade_code() {  # one packed product code a line
  wine reg query "HKLM\\Software\\Classes\\Installer\\UpgradeCodes\\$(packed "$upgrade_code")" 2>/dev/null |
    tr -d '\r' | awk '$2 == "REG_SZ" { print $1 }'
}

installs() {  # installs PACKAGE [OPTION...]: msiexec /i $work/PACKAGE.msi /qn must exit 0
  local package=$1 code
  shift
  code=$(msiexec_code /i "$(winepath -w "$work/$package.msi")" /qn "$@")
  [ "$code" = 0 ] || fail "msiexec /i $package: exit code $code"
}
only_product() {  # only_product PRODUCT_CODE: the one product registered, and its upgrade code's
  [ "$(registered)" = "$1" ] || fail "registered: $(registered)"
  [ "$(products_of_upgrade_code)" = "$(packed "$1")" ] ||
    fail "products of the upgrade code: $(products_of_upgrade_code)"
}

# A staged machine: one INF that rule 1 takes and one that no rule takes, each also where Wine 8's
# listing looks (tests/support/wine_listing.h).
stage_machine() {
  local windir=$WINEPREFIX/drive_c/windows name line
  for entry in 'oem3.inf|Tamrix_Vessa_Driver_Name="Tamrix Vessa 4100 Series"' \
               'oem9.inf|DeviceDesc="Contoso USB Printing Support"'; do
    IFS='|' read -r name line <<<"$entry"
    printf '[Version]\r\nSignature="$Windows NT$"\r\nClass=Printer\r\n\r\n[Strings]\r\n%s\r\n' "$line" \
      >"$windir/inf/$name"
    printf 'PNF' >"$windir/inf/${name%.inf}.pnf"
    ln -sf "inf/$name" "$windir/i$name"
  done
}

installed_program() {  # installed_program EXE: runs it from the install folder; $code, $out
  set +e
  out=$(limited 120 wine "C:\\Program Files\\Staged Package Removal\\$1" | tr -d '\r')
  code=$?  # pipefail: the program's, unless tr failed
  set -e
}

begin_case "install /qn puts both programs under Program Files and registers the product"
fresh_prefix install
installs older
installed_files_are "$work/older"
for file in "$work/older/"*; do
  [ ! -f "$work/release/$(basename "$file")" ] || cmp -s "$file" "$work/release/$(basename "$file")" ||
    fail "$(basename "$file") in the package is not the release's"
done
[ "$(registered)" = "$older_code" ] || fail "registered: $(registered)"
[ "$(arp_value "$older_code" DisplayName)" = "Staged Package Removal" ] || fail "no name"
[ "$(arp_value "$older_code" DisplayVersion)" = "$version" ] || fail "no version"
[ "$(arp_value "$older_code" Publisher)" = "The staged-package-removal authors" ] || fail "no publisher"
for path in "${script_paths[@]}"; do
  [ -f "$WINEPREFIX/drive_c/Program Files/${path//\\//}" ] || fail "a deployment script's $path is not there"
done

begin_case "the installed check reports a staged machine and the installed removal cleans it"
stage_machine
installed_program staged-package-check.exe
[ "$code" = 1 ] || fail "check: exit code $code"
[ "$out" = $'oem3.inf\t1\tTamrix_Vessa_Driver_Name\tTamrix Vessa 4100 Series' ] || fail "check said: $out"
installed_program staged-package-removal.exe
[ "$code" = 0 ] || fail "removal: exit code $code"
[ ! -e "$WINEPREFIX/drive_c/windows/inf/oem3.inf" ] || fail "oem3.inf is still there"
[ -e "$WINEPREFIX/drive_c/windows/inf/oem9.inf" ] || fail "oem9.inf, which no rule takes, is gone"
installed_program staged-package-check.exe
[ "$code" = 0 ] && [ -z "$out" ] || fail "check afterwards: exit code $code, said: $out"

begin_case "a higher version over the first leaves one product and the newer files"
fresh_prefix upgrade
installs older
installs newer
installed_files_are "$work/newer"
only_product "$newer_code"

# Wine's msiexec writes the launch condition's message to no log under /qn, so
# the message is checked in the table above, and here that the refusal is the downgrade
# condition's: FindRelatedProducts set WIX_DOWNGRADE_DETECTED and LaunchConditions ended the run
# (Wine logs the failed action as "Return value 0", which Windows uses for an action not invoked;
# Windows writes 3 for an unrecoverable error, "Logging of Action Return Values").
begin_case "an older version over a newer one is refused and changes nothing"
fresh_prefix downgrade
installs newer
code=$(msiexec_code /i "$(winepath -w "$work/older.msi")" /qn /l*v "$(winepath -w "$work/downgrade.log")")
[ "$code" = 1603 ] || fail "msiexec /i older: exit code $code, expected 1603 (ERROR_INSTALL_FAILURE)"
grep -q "^Property(S): WIX_DOWNGRADE_DETECTED = $newer_code" "$work/downgrade.log" ||
  fail "the downgrade was not detected: $(cat "$work/downgrade.log")"
grep -q "^Action ended [0-9: ]*: LaunchConditions. Return value 0." "$work/downgrade.log" ||
  fail "LaunchConditions did not stop it: $(cat "$work/downgrade.log")"
! grep -q "InstallFiles" "$work/downgrade.log" || fail "it went on to InstallFiles"
installed_files_are "$work/newer"
[ "$(registered)" = "$newer_code" ] || fail "registered: $(registered)"

# The version policy (build-msi.sh): a package of the same version, with another product code,
# is a major upgrade of the installed one. The old product goes right after InstallValidate
# (RemoveExistingProducts, as WiX's MajorUpgrade schedules it), "the installer removes the old
# applications entirely before installing the new applications ... all reused files have to be
# recopied" ("RemoveExistingProducts Action"), so the signed executables, of the same version as
# the unsigned ones, are the ones on disk afterwards.
begin_case "the signed release of a commit over its unsigned pilot leaves one product and the signed files"
fresh_prefix same-version
installs older
installs signed
installed_files_are "$work/signed"
for exe in "$installed/"*.exe; do
  cmp -s "$exe" "$work/signed-release/$(basename "$exe")" || fail "$(basename "$exe") is not the signed one"
done
only_product "$signed_code"

begin_case "the same package installed twice exits 0 and changes nothing"
fresh_prefix twice
installs older
# A file written again has a new inode or change time even where its modification time is the
# cabinet's.
before=$(cd "$installed" && stat -c '%n %s %i %Z' -- *)
installs older
[ "$(cd "$installed" && stat -c '%n %s %i %Z' -- *)" = "$before" ] || fail "the files were written again"
installed_files_are "$work/older"
only_product "$older_code"

# INSTALLDIR was the folder's Id before it became private; the folder's own Id is tried too.
begin_case "the install folder cannot be moved from the command line"
fresh_prefix folder
installs older 'INSTALLDIR=C:\Tools' "$install_folder=C:\Tools" 'TARGETDIR=C:\Tools' \
  /l*v "$(winepath -w "$work/folder.log")"
installed_files_are "$work/older"
[ ! -e "$WINEPREFIX/drive_c/Tools" ] || fail "C:\Tools holds: $(ls -R "$WINEPREFIX/drive_c/Tools")"
# The command line did reach Windows Installer: the public property it names was set.
grep -qaF 'Property(S): INSTALLDIR = C:\Tools' "$work/folder.log" ||
  fail "INSTALLDIR was never set: $(grep -a '^Property(S): ' "$work/folder.log" | head -n 40)"

# Copies already in the folder, as an administrator who followed an older guide left them: an
# older version of the removal, and an older check modified after it was created. Windows
# Installer replaces a versioned file of a lower version ("File Versioning Rules": "Highest
# Version Wins"); were the package's executables unversioned, Windows would keep the modified
# copy ("Nonversioned Files are User Data") and, the copies being versioned, both ("Versioned
# Files Win"). Wine's msi departs here: it never reads the dates, and replaces an unversioned
# file whose size or hash differs (dlls/msi/files.c, calculate_install_state), so this case
# passes under Wine whether or not the File table carries the versions; the File table case
# above is what holds on Windows.
with_version() {  # with_version FILE VERSION: FILE's VS_FIXEDFILEINFO file version set to VERSION
  /usr/bin/python3 - "$1" "$2" <<'PYTHON'
import struct, sys
path, version = sys.argv[1], [int(part) for part in sys.argv[2].split(".")]
data = bytearray(open(path, "rb").read())
fixed = data.index(struct.pack("<I", 0xFEEF04BD))
struct.pack_into("<II", data, fixed + 8, version[0] << 16 | version[1], version[2] << 16 | version[3])
open(path, "wb").write(data)
PYTHON
}
begin_case "an install over older copies, one modified after it was created, leaves the package's files"
fresh_prefix copies
mkdir -p "$installed"
for exe in "$work/older/"*.exe; do
  cp "$exe" "$installed/"
  with_version "$installed/$(basename "$exe")" 0.9.0.0
  [ "$(version_resource "$installed/$(basename "$exe")")" = "0.9.0.0 1033" ] || fail "the copy is not 0.9.0.0"
done
touch -d '+1 day' "$installed/staged-package-check.exe"
installs older
installed_files_are "$work/older"

uninstalled_by() {  # uninstalled_by HOW WHAT: /x WHAT (a package or a product code)
  local how=$1 what=$2 code
  begin_case "/x $how removes the files and the registration"
  fresh_prefix "uninstall-${how// /-}"
  installs older
  [ "$(registered)" = "$older_code" ] || fail "not installed: $(registered)"
  code=$(msiexec_code /x "$what" /qn)
  [ "$code" = 0 ] || fail "msiexec /x: exit code $code"
  [ ! -e "$installed" ] || fail "left: $(ls -A "$installed")"
  [ -z "$(registered)" ] || fail "still registered: $(registered)"
  [ -z "$(products_of_upgrade_code)" ] || fail "the upgrade code still has $(products_of_upgrade_code)"
}
uninstalled_by "by package" "$(winepath -w "$work/older.msi")"
uninstalled_by "by product code" "$older_code"

end_suite msi
