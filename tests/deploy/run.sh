#!/usr/bin/env bash
# The deployment scripts (packaging/deploy/), run as the agents run them: deploy.Tests.ps1, a
# Pester suite, under the pinned PowerShell (build/tools/, scripts/setup.sh). It runs the bytes a
# release of HEAD ships, each in a new PowerShell process, against the real programs (the
# release's MSI installed in a Wine prefix, started through launchers of the installed names) and
# against small stand-in programs for what a real machine cannot be made to do on demand.
#
# Without the .NET SDK, and so without PowerShell, the suite is skipped and says why; with
# SPR_NO_SKIPS=1 (CI) that is a failure.
#
# usage: run.sh BUILD_DIR   (a windows-x64 build of HEAD: its executables and exit-code-probe.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/harness/harness.sh
root=$PWD
build=$(realpath "$1")

pwsh=$root/build/tools/powershell/pwsh
pester_version=$(sed -n 's/.*PackageDownload Include="Pester" Version="\[\([0-9.]*\)\]".*/\1/p' tests/tools/pester/Pester.csproj)
pester=$root/build/tools/nuget/pester/$pester_version
if ! command -v dotnet >/dev/null || [ ! -x "$pwsh" ] || [ ! -f "$pester/tools/Pester.psd1" ]; then
  reason="no .NET 10 SDK, so no PowerShell or Pester under build/tools (bash scripts/setup.sh installs them where it is)"
  if [ "${SPR_NO_SKIPS:-}" = 1 ]; then
    echo "deploy: FAIL: $reason" >&2
    exit 1
  fi
  echo "deploy: SKIPPED: $reason"
  exit 0
fi
# NuGet's lock file does not cover a PackageDownload or a tool: each package is the one pinned, by
# the SHA-512 NuGet recorded of what it downloaded, or the suite does not run.
pinned() {  # pinned WHAT RECORDED EXPECTED
  [ "$(cat "$2")" = "$(cat "$3")" ] || { echo "deploy: $1 is not the pinned package ($2: $(cat "$2"))" >&2; exit 1; }
}
pinned "Pester $pester_version" "$pester/pester.$pester_version.nupkg.sha512" tests/tools/pester/pester.nupkg.sha512
[ "$(openssl dgst -sha512 -binary "$pester/pester.$pester_version.nupkg" | base64 -w0)" = \
  "$(cat tests/tools/pester/pester.nupkg.sha512)" ] || { echo "deploy: Pester's package is not the one NuGet recorded" >&2; exit 1; }
powershell_version=$(cat tests/tools/powershell/version)
pinned "PowerShell $powershell_version" \
  "$root/build/tools/powershell/.store/powershell/$powershell_version/powershell/$powershell_version/powershell.$powershell_version.nupkg.sha512" \
  tests/tools/powershell/powershell.nupkg.sha512

work=$(mktemp -d "${TMPDIR:-/tmp}/spr-deploy.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

# The scripts as a release of HEAD ships them, and its MSI installed as a deployment tool would.
limited 600 bash scripts/release.sh --windows-build "$build" --output "$work/release" >"$work/release.log" 2>&1 ||
  { cat "$work/release.log" >&2; exit 1; }
bash tests/harness/wine_prefix.sh
msi=("$work/release/"*.msi)
code=$(limited 300 wine "$build/exit-code-probe.exe" 'C:\windows\system32\msiexec.exe' /i "$(winepath -w "${msi[0]}")" /qn | tr -d '\r')
[ "$code" = 0 ] || { echo "deploy: msiexec /i exited $code" >&2; exit 1; }

# Launchers of the installed programs, under their installed names: what the scripts start runs
# the program in the prefix, and exits with what Wine hands Linux of its exit code (the low byte).
real=$work/real
mkdir -p "$real/Staged Package Removal"
for program in staged-package-check.exe staged-package-removal.exe; do
  printf '#!/bin/sh\nPATH=/usr/bin:/bin exec wine '"'"'C:\\Program Files\\Staged Package Removal\\%s'"'"' "$@"\n' \
    "$program" >"$real/Staged Package Removal/$program"
  chmod +x "$real/Staged Package Removal/$program"
done

# The scripts' processes see only what this folder offers on PATH: on Unix, Start-Process hands a
# path it cannot resolve to xdg-open (PowerShell's Process.cs), which must not make a missing
# program look started.
mkdir "$work/bin"
# dotnet too: the PowerShell tool's pwsh starts its pwsh.dll through it.
for tool in sh sleep cat printf seq dotnet; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done

export SPR_PWSH=$pwsh SPR_DEPLOY=$work/release/deploy SPR_REAL_PROGRAMS=$real SPR_SCRATCH=$work/scratch
export SPR_WINDIR=$WINEPREFIX/drive_c/windows SPR_SCRIPT_PATH=$work/bin
mkdir "$SPR_SCRATCH"
# A time limit, so that a script that hangs fails the suite instead of the CI run.
limited 900 "$pwsh" -NoProfile -NonInteractive -Command "
  Import-Module '$pester/tools/Pester.psd1'
  \$configuration = New-PesterConfiguration
  \$configuration.Run.Path = '$root/tests/deploy/deploy.Tests.ps1'
  \$configuration.Run.Exit = \$true
  \$configuration.Output.Verbosity = 'Detailed'
  Invoke-Pester -Configuration \$configuration"
