#!/usr/bin/env bash
# The deployment scripts (packaging/deploy/), run as the agents run them: deploy.Tests.ps1, a
# Pester suite, on two hosts, each case where its outcome is decided (the suite says which):
# - PowerShell 7.6.9 on Linux (build/tools/, scripts/setup.sh), against shell stand-ins;
# - the same PowerShell's Windows files on .NET's runtime for Windows (build/tools/, pinned too),
#   under Wine, against the release's MSI installed in the prefix and against stand-in programs
#   built for Windows (tests/probes/deploy_stand_in.h).
# Both run the bytes a release of HEAD ships, each script in a new PowerShell process.
#
# Without the .NET SDK, and so without PowerShell, the suite is skipped and says why; with
# SPR_NO_SKIPS=1 (CI) that is a failure.
#
# usage: run.sh BUILD_DIR   (a windows-x64 build of HEAD: its executables, the stand-ins and
#                            exit-code-probe.exe)
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/harness/harness.sh
root=$PWD
build=$(realpath "$1")

tools=$root/build/tools
pwsh=$tools/powershell/pwsh
pester_version=$(sed -n 's/.*PackageDownload Include="Pester" Version="\[\([0-9.]*\)\]".*/\1/p' tests/tools/pester/Pester.csproj)
pester=$tools/nuget/pester/$pester_version
if ! command -v dotnet >/dev/null || [ ! -x "$pwsh" ] || [ ! -f "$pester/tools/Pester.psd1" ] ||
   [ ! -f "$tools/dotnet-windows/DotnetWindows.csproj" ]; then
  reason="no .NET 10 SDK, so no PowerShell, Pester or .NET for Windows under build/tools (bash scripts/setup.sh installs them where it is)"
  if [ "${SPR_NO_SKIPS:-}" = 1 ]; then
    echo "deploy: FAIL: $reason" >&2
    exit 1
  fi
  echo "deploy: SKIPPED: $reason"
  exit 0
fi
# NuGet's lock file does not cover a PackageDownload or a tool: each package is the one pinned, by
# the SHA-512 NuGet recorded of what it downloaded, or the suite does not run; a restored package
# is kept as it came, so its own SHA-512 is checked too (a tool's is not: the tool's copy is not
# the downloaded bytes).
pinned() {  # pinned WHAT FOLDER NAME.VERSION EXPECTED [restored]
  local recorded=$2/$3.nupkg.sha512
  [ "$(cat "$recorded")" = "$(cat "$4")" ] || { echo "deploy: $1 is not the pinned package ($recorded: $(cat "$recorded"))" >&2; exit 1; }
  [ "${5:-}" != restored ] || [ "$(openssl dgst -sha512 -binary "$2/$3.nupkg" | base64 -w0)" = "$(cat "$4")" ] ||
    { echo "deploy: $1's package is not the one NuGet recorded" >&2; exit 1; }
}
pinned "Pester $pester_version" "$pester" "pester.$pester_version" tests/tools/pester/pester.nupkg.sha512 restored
powershell_version=$(cat tests/tools/powershell/version)
powershell_package=$tools/powershell/.store/powershell/$powershell_version/powershell/$powershell_version
pinned "PowerShell $powershell_version" "$powershell_package" "powershell.$powershell_version" \
  tests/tools/powershell/powershell.nupkg.sha512
for runtime in microsoft.netcore.app.runtime.win-x64 microsoft.windowsdesktop.app.runtime.win-x64; do
  version=$(sed -n "s/.*Include=\"$runtime\" Version=\"\[\([0-9.]*\)\]\".*/\1/Ip" tests/tools/dotnet-windows/DotnetWindows.csproj)
  pinned "$runtime $version" "$tools/nuget/$runtime/$version" "$runtime.$version" \
    "tests/tools/dotnet-windows/$runtime.nupkg.sha512" restored
done

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
mkdir "$work/scratch-linux" "$work/scratch-windows" "$work/transcripts"

# checked HOST RESULT STATUS: the run on HOST (linux or windows) passed, by the counts its
# run-suite.ps1 wrote: some passed, none failed, none left unrun.
failed_hosts=()
checked() {
  local counts
  counts=$(cat "$2" 2>/dev/null || true)
  if [ "$3" != 0 ] || ! [[ $counts =~ ^$1\ passed\ [1-9][0-9]*\ failed\ 0\ not-run\ 0$ ]]; then
    echo "deploy: the suite on $1 did not pass (status $3; ${counts:-no counts: it did not run to its end})" >&2
    failed_hosts+=("$1")
  fi
}

echo "== deploy: PowerShell $powershell_version on Linux"
# The scripts' processes see only what this folder offers on PATH: on Unix, Start-Process hands a
# path it cannot resolve to xdg-open (PowerShell's Process.cs), which must not make a missing
# program look started.
mkdir "$work/bin"
# dotnet too: the PowerShell tool's pwsh starts its pwsh.dll through it.
for tool in sh sleep cat printf dotnet; do ln -s "$(command -v "$tool")" "$work/bin/$tool"; done
status=0
SPR_PWSH=$pwsh SPR_DEPLOY=$work/release/deploy SPR_SCRATCH=$work/scratch-linux SPR_SCRIPT_PATH=$work/bin \
  SPR_STAND_IN_GUI=$root/tests/deploy/stand-in.sh SPR_STAND_IN_CONSOLE=$root/tests/deploy/stand-in.sh \
  limited 600 "$pwsh" -NoProfile -NonInteractive -File tests/deploy/run-suite.ps1 \
    -Pester "$pester/tools" -Result "$work/linux.result" || status=$?
checked linux "$work/linux.result" "$status"

echo "== deploy: PowerShell $powershell_version for Windows, under Wine"
# Wine's loader hands .NET's IL-only images to mscoree, which the prefix was made without.
export WINEDLLOVERRIDES="mshtml="
# Where pwsh.exe (a framework-dependent .NET program) finds .NET.
DOTNET_ROOT=$(winepath -w "$tools/dotnet-windows")
export DOTNET_ROOT
# .NET's W^X (its code pages mapped writable and executable in turn, by default since .NET 7)
# makes the runtime fail under Wine 8 ("Internal CLR error (0x80131506)") in most runs of a few
# seconds, seen here; with it off, none did.
export DOTNET_EnableWriteXorExecute=0
# No telemetry or update check, which would reach for the network at start.
export POWERSHELL_TELEMETRY_OPTOUT=1 POWERSHELL_UPDATECHECK=Off
# A transcript of every PowerShell session ("about_Group_Policy_Settings": Turn on PowerShell
# Transcription, under the PowerShellCore key), by which the suite sees that each script's
# session ran.
policy='HKLM\Software\Policies\Microsoft\PowerShellCore\Transcription'
wine reg add "$policy" /v EnableTranscripting /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$policy" /v EnableInvocationHeader /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$policy" /v OutputDirectory /t REG_SZ /d "$(winepath -w "$work/transcripts")" /f >/dev/null
windows_pwsh=$(winepath -w "$powershell_package/tools/net10.0/any/win/pwsh.exe")
SPR_PWSH=$windows_pwsh
SPR_DEPLOY=$(winepath -w "$work/release/deploy")
SPR_SCRATCH=$(winepath -w "$work/scratch-windows")
SPR_TRANSCRIPTS=$(winepath -w "$work/transcripts")
SPR_STAND_IN_GUI=$(winepath -w "$build/deploy-stand-in-gui.exe")
SPR_STAND_IN_CONSOLE=$(winepath -w "$build/deploy-stand-in-console.exe")
export SPR_PWSH SPR_DEPLOY SPR_SCRATCH SPR_TRANSCRIPTS SPR_STAND_IN_GUI SPR_STAND_IN_CONSOLE
# In a console, as the agents start PowerShell: without one (no terminal on any of its standard
# streams, as here under CI), PowerShell for Windows under Wine 8 exits 0 having run nothing
# (seen here). script(1) gives it a terminal, and so Wine a console, which the scripts inherit.
printf -v command '%q ' wine "$windows_pwsh" -NoProfile -NonInteractive -File "$(winepath -w tests/deploy/run-suite.ps1)" \
  -Pester "$(winepath -w "$pester/tools")" -Result "$(winepath -w "$work/windows.result")"
status=0
limited 900 script -qec "$command" /dev/null </dev/null || status=$?
checked windows "$work/windows.result" "$status"

((${#failed_hosts[@]} == 0)) || { echo "deploy: failed on ${failed_hosts[*]}" >&2; exit 1; }
echo "deploy: passed: $(cat "$work/linux.result"); $(cat "$work/windows.result")"
