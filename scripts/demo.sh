#!/usr/bin/env bash
# The main job: builds both Windows executables and their Windows Installer package, installs it
# in a Wine prefix as a deployment tool would (msiexec /i /qn), stages a sample machine there with
# matching, non-matching and unremovable driver packages, and shows what an administrator would:
# the installed check's report, the installed removal and the exit code a deployment tool would
# read, and the check's report again. Then the same machine through the Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

say() { printf '%s\n' "$*"; }
die() {
  printf 'demo.sh: %s\n' "$*" >&2
  exit 1
}

say "== Preparing (the first time installs packages and builds both presets: a few minutes)"
bash scripts/setup.sh
for preset in windows-x64 host; do
  say "   building the $preset preset (log: build/demo-$preset.log)"
  mkdir -p build
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"build/demo-$preset.log" 2>&1; then
    tail -n 30 "build/demo-$preset.log" >&2
    exit 1
  fi
done

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"

# name|encoding|read-only|[Strings] line
packages=(
  "oem3.inf|ansi|no|Tamrix_Vessa_Driver_Name=\"Tamrix Vessa 4100 Series\""
  "oem4.inf|utf16|no|DESCR1=\"Tamrix PNP\""
  "oem5.inf|ansi|no|Dot4Usb_Name=\"USB Bridge Driver for IEEE-1284.4 QLDusb08\""
  "oem6.inf|utf16|no|DeviceDesc=\"qld ieee-1284.4 storage function driver v8\""
  "oem7.inf|ansi|yes|DESCR1=\"Tamrix NXR KLT\""
  "oem8.inf|ansi|no|DESCR1=\"Tamrix PNP Scanner\""
  "oem9.inf|utf16|no|DeviceDesc=\"Contoso USB Printing Support\""
  "oem10.inf|ansi|no|Dot4_Name=\"IEEE-1284.4 Driver QLDcor07\""
)

stage() {  # stage WINDIR LINK_FOR_WINE
  local windir=$1 link=$2 entry name encoding locked line file
  mkdir -p "$windir/inf"
  for entry in "${packages[@]}"; do
    IFS='|' read -r name encoding locked line <<<"$entry"
    file=$windir/inf/$name
    printf '[Version]\r\nSignature="$Windows NT$"\r\nClass=Printer\r\n\r\n[Strings]\r\n%s\r\n' "$line" >"$file.txt"
    if [ "$encoding" = utf16 ]; then
      { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$file.txt"; } >"$file"
    else
      cp "$file.txt" "$file"
    fi
    rm "$file.txt"
    printf 'PNF' >"$windir/inf/${name%.inf}.pnf"
    # Wine 8 reads each listed INF at <windir>\i<name> (tests/support/wine_listing.h says why).
    if [ "$link" = yes ]; then ln -sf "inf/$name" "$windir/i$name"; fi
    if [ "$locked" = yes ]; then chmod a-w "$file"; fi
  done
}

show_packages() {  # show_packages WINDIR
  local windir=$1 entry name encoding locked line state
  printf '   %-10s %-7s %-9s %-8s %s\n' "INF" "coding" "read-only" "now" "[Strings] line"
  for entry in "${packages[@]}"; do
    IFS='|' read -r name encoding locked line <<<"$entry"
    state=staged
    [ -e "$windir/inf/$name" ] || state=REMOVED
    printf '   %-10s %-7s %-9s %-8s %s\n' "$name" "$encoding" "$locked" "$state" "$line"
  done
}

show_check() {  # show_check EXIT_CODE REPORT
  local code=$1 report=$2
  if [ -n "$report" ]; then
    printf '   %s\n' "INF name<TAB>rule<TAB>key<TAB>value as read:"
    printf '%s\n' "$report" | sed 's/\t/  |  /g; s/^/     /'
  fi
  case "$code" in
    0) say "   exit code 0: nothing would be removed" ;;
    1) say "   exit code 1: at least one package would be removed" ;;
    *) say "   exit code $code: the check could not be made" ;;
  esac
}

show_removal() {  # show_removal EXIT_CODE
  case "$1" in
    0) say "   exit code 0: every attempted removal succeeded" ;;
    4294967295) say "   exit code $1 (-1): at least one removal failed; the rest were removed" ;;
    255) say "   exit code 255 (-1, of which Linux keeps the low byte): at least one removal failed; the rest were removed" ;;
    *) say "   exit code $1" ;;
  esac
}

run_check() {  # run_check COMMAND...: sets check_code and check_report
  set +e
  "$@" >"$demo/check.out" 2>"$demo/check.err"
  check_code=$?
  set -e
  check_report=$(tr -d '\r' <"$demo/check.out")
  # The check's own codes are 0, 1 and 2; anything else is the command that did not run it (wine
  # failing to start, say), which the demo must not show as the check's answer.
  case "$check_code" in
    0 | 1 | 2) cat "$demo/check.err" >&2 ;;
    *)
      cat "$demo/check.err" >&2
      die "'$*' failed with exit code $check_code"
      ;;
  esac
}

exe=$root/build/windows-x64
say
say "== The MSI: build/demo/staged-package-removal-$(cat "$exe/project-version.txt")-x64.msi"
# What the release would ship (packaging/shipped-files.txt), laid out from this build.
bash packaging/stage-files.sh "$exe" "$demo/staged" "$demo/components.tsv" ||
  die "stage-files.sh could not lay out the shipped files"
msi=$demo/staged-package-removal-$(cat "$exe/project-version.txt")-x64.msi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD) bash packaging/build-msi.sh \
  "$(cat "$exe/project-version.txt")" "$demo/staged" "$msi" || die "build-msi.sh could not build the MSI"
rm -rf "$demo/staged"

say
say "== Installed as a deployment tool would: msiexec /i <msi> /qn, in a Wine prefix (build/demo/wineprefix)"
export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash tests/harness/wine_prefix.sh || die "Wine could not make its prefix"
msi_path=$(winepath -w "$msi") || die "winepath could not name $msi for Wine"
# The probe prints msiexec's exit code; its own is non-zero only when it could not start msiexec.
code=$(wine "$exe/exit-code-probe.exe" 'C:\windows\system32\msiexec.exe' /i "$msi_path" /qn) ||
  die "wine could not run msiexec through exit-code-probe.exe (exit code $?)"
code=${code//$'\r'/}
say "   msiexec exit code $code (0: installed)"
[ "$code" = 0 ] || die "msiexec /i failed with exit code $code"
installed='C:\Program Files\Staged Package Removal'
say "   $installed:"
ls -l "$WINEPREFIX/drive_c/Program Files/Staged Package Removal" | tail -n +2 | awk '{ printf "     %8s  %s\n", $5, $9 }'
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
  awk '$1 ~ /^(DisplayName|DisplayVersion|Publisher)$/ { name = $1; $1 = $2 = ""; sub(/^ +/, "");
                                                        print "   Programs and Features: " name ": " $0 }'

say
say "== A sample machine: the same prefix with 8 staged packages"
wine_windir=$WINEPREFIX/drive_c/windows
stage "$wine_windir" yes
show_packages "$wine_windir"

say
say "== The installed staged-package-check.exe: what the removal would take"
# wine hands on only the low byte of an exit code; the check's are 0, 1 and 2.
run_check wine "$installed\\staged-package-check.exe"
show_check "$check_code" "$check_report"

say
say "== The installed staged-package-removal.exe (silent; exit code read with exit-code-probe.exe)"
# The probe prints the exit code; its own is non-zero only when it could not start the removal.
code=$(wine "$exe/exit-code-probe.exe" "$installed\\staged-package-removal.exe") ||
  die "wine could not run the installed removal through exit-code-probe.exe (exit code $?)"
code=${code//$'\r'/}
show_packages "$wine_windir"
show_removal "$code"

say
say "== The installed staged-package-check.exe again: what is left"
run_check wine "$installed\\staged-package-check.exe"
show_check "$check_code" "$check_report"

say
say "== The Linux build (build/host/) on a copy of the same machine, WINDIR=build/demo/windows"
linux_windir=$demo/windows
stage "$linux_windir" no
run_check env WINDIR="$linux_windir" "$root/build/host/staged-package-check"
say "   staged-package-check:"
show_check "$check_code" "$check_report"
set +e
WINDIR=$linux_windir "$root/build/host/staged-package-removal"
code=$?
set -e
say "   staged-package-removal:"
show_packages "$linux_windir"
show_removal "$code"
run_check env WINDIR="$linux_windir" "$root/build/host/staged-package-check"
say "   staged-package-check again:"
show_check "$check_code" "$check_report"
