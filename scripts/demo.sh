#!/usr/bin/env bash
# The main job: builds the Windows executable, stages a sample machine (a Wine prefix) with
# matching, non-matching and unremovable driver packages, runs the executable on it and shows what
# was removed, what was kept, and the exit code a deployment tool would read. Then the same machine
# through the Linux build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
for preset in windows-x64 host; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
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
    # Wine 8 reads each listed INF at <windir>\i<name> (see tests/test_machine_win32.cc).
    if [ "$link" = yes ]; then ln -sf "inf/$name" "$windir/i$name"; fi
    if [ "$locked" = yes ]; then chmod a-w "$file"; fi
  done
}

report() {  # report WINDIR EXIT_CODE
  local windir=$1 code=$2 entry name encoding locked line state
  printf '\n  %-10s %-7s %-9s %-8s %s\n' "INF" "coding" "read-only" "after" "[Strings] line"
  for entry in "${packages[@]}"; do
    IFS='|' read -r name encoding locked line <<<"$entry"
    state=kept
    [ -e "$windir/inf/$name" ] || state=REMOVED
    printf '  %-10s %-7s %-9s %-8s %s\n' "$name" "$encoding" "$locked" "$state" "$line"
  done
  printf '\n  exit code: %s' "$code"
  case "$code" in
    0) echo " (every attempted removal succeeded)" ;;
    4294967295 | 255) echo " (-1: at least one removal failed)" ;;
    *) echo ;;
  esac
}

echo "== staged-package-removal.exe under Wine"
export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init >/dev/null 2>&1
wine_windir=$WINEPREFIX/drive_c/windows
stage "$wine_windir" yes
code=$(wine "$root/build/windows-x64/exit-code-probe.exe" \
  "$(winepath -w "$root/build/windows-x64/staged-package-removal.exe")" | tr -d '\r')
report "$wine_windir" "$code"

echo
echo "== Linux build (build/host/staged-package-removal) on a copy of the same machine"
linux_windir=$demo/windows
stage "$linux_windir" no
set +e
WINDIR=$linux_windir "$root/build/host/staged-package-removal"
code=$?
set -e
report "$linux_windir" "$code"
