#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, once; safe to repeat:
# - Debian's packages (apt-get), and osslsigncode 2.8 or later from bookworm-backports;
# - under the git-ignored build/tools/, at the versions pinned in tests/tools/: CycloneDX's SBOM
#   validator (npm; Node.js 20.18 or later), and, where the .NET 10 SDK is installed, PowerShell
#   (a .NET tool) and Pester (NuGet), which run the deployment scripts' suite.
# Every package comes through the sources this machine is configured with (apt's, npm's,
# NuGet's), so that a mirror or a proxy keeps working; nothing here names a host.
set -euo pipefail
cd "$(dirname "$0")/.."

die() {
  echo "setup: $*" >&2
  exit 1
}

packages=(
  cmake ninja-build g++
  googletest libgtest-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  clang libclang-rt-14-dev
  git zip unzip openssl osslsigncode python3
  # localedef's sources, for the release test's locale that sorts otherwise than C.
  locales
  # A PKCS#11 token for the signing tests: SoftHSM2, pkcs11-tool, and OpenSSL's engine through
  # which osslsigncode reaches a token.
  softhsm2 opensc libengine-pkcs11-openssl
  # The MSI: wixl builds it; msitools and libmsi through python3-gi fix its summary fields.
  wixl msitools gir1.2-libmsi-1.0 python3-gi
  # PE images (headers, certificate table, version resource) read by a maintained parser, for the
  # Authenticode hashes, the MSI's file versions and the verifier's reading of a download.
  python3-pefile
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_install() {  # apt_install [apt-get install options...] PACKAGE...
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$@" >/dev/null
}

installed() {  # installed PACKAGE
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  apt_install "${missing[@]}"
fi

# osslsigncode 2.8 is the first to sign PowerShell scripts; Debian 12 has 2.5, its backports 2.9.
# Backports are part of Debian's archive, and apt takes from them only what is asked for by name.
osslsigncode_minimum=2.8
osslsigncode_version=$(dpkg-query -W -f='${Version}' osslsigncode)
if dpkg --compare-versions "$osslsigncode_version" lt "$osslsigncode_minimum"; then
  echo "setup: installing osslsigncode from bookworm-backports (have $osslsigncode_version, need $osslsigncode_minimum)"
  if ! apt-get indextargets --no-release-info --format '$(RELEASE)' | grep -qx bookworm-backports; then
    # From wherever this machine takes bookworm itself (a mirror, a proxy, a snapshot).
    debian=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' |
      awk '$2 == "bookworm" { print $1; exit }')
    [ -n "$debian" ] || die "apt has no source for bookworm to take bookworm-backports from"
    printf '%s\n' "Types: deb" "URIs: $debian" "Suites: bookworm-backports" "Components: main" \
      "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  apt_install -t bookworm-backports osslsigncode
fi

# CycloneDX's library and its schema validator, for the tests to validate the release's SBOM:
# the versions pinned in tests/tools/cyclonedx/package-lock.json. They need Node.js 20.18 or
# later (Debian 12's own nodejs is 18).
tools=build/tools
node_minimum=20.18.0
command -v node >/dev/null && command -v npm >/dev/null ||
  die "Node.js $node_minimum or later, with npm, is needed (Debian 12's own nodejs is 18: see the README)"
node_version=$(node --version)
dpkg --compare-versions "${node_version#v}" ge "$node_minimum" ||
  die "Node.js $node_minimum or later is needed, this machine has $node_version (see the README)"
if ! cmp -s tests/tools/cyclonedx/package-lock.json "$tools/cyclonedx/package-lock.json" ||
   [ ! -d "$tools/cyclonedx/node_modules/@cyclonedx/cyclonedx-library" ]; then
  echo "setup: installing CycloneDX's validator into $tools/cyclonedx"
  rm -rf "$tools/cyclonedx"
  mkdir -p "$tools/cyclonedx"
  cp tests/tools/cyclonedx/package.json tests/tools/cyclonedx/package-lock.json "$tools/cyclonedx/"
  (cd "$tools/cyclonedx" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi

# PowerShell and Pester, for the suite that runs the deployment scripts. Without the .NET 10 SDK,
# which PowerShell 7.6 runs on, that suite is skipped, and says why (CI requires it).
if ! command -v dotnet >/dev/null || ! dotnet --list-sdks | grep -q '^10\.'; then
  echo "setup: no .NET 10 SDK (dotnet): the deployment scripts' suite will be skipped"
  exit 0
fi
powershell_version=$(cat tests/tools/powershell/version)
pwsh=$tools/powershell/pwsh
if [ "$("$pwsh" -NoProfile -NonInteractive -Command '$PSVersionTable.PSVersion.ToString()' 2>/dev/null)" != \
     "$powershell_version" ]; then
  echo "setup: installing PowerShell $powershell_version into $tools/powershell"
  rm -rf "$tools/powershell"
  dotnet tool install PowerShell --version "$powershell_version" --tool-path "$tools/powershell" >/dev/null
fi
restore() {  # restore PROJECT DIR: PROJECT's packages into $tools/nuget
  # Restored from a copy in DIR, so that NuGet's obj/ lands under build/ too.
  mkdir -p "$2"
  cp "$1" "$2/"
  dotnet restore "$2/$(basename "$1")" --packages "$tools/nuget" >/dev/null
}
if ! cmp -s tests/tools/pester/Pester.csproj "$tools/pester/Pester.csproj" ||
   [ ! -d "$tools/nuget/pester" ]; then
  echo "setup: restoring Pester into $tools/nuget"
  rm -rf "$tools/pester" "$tools/nuget/pester"
  restore tests/tools/pester/Pester.csproj "$tools/pester"
fi
# .NET's runtime for Windows x64, on which the Windows files of the same PowerShell package run
# under Wine: the suite's cases that only Windows can judge (how a program is started and waited
# for, the width of an exit code, the console's code page) run there. Laid out as a .NET
# installation (host/fxr/, shared/<framework>/<version>/) of links into the restored packages,
# which PowerShell's pwsh.exe finds through DOTNET_ROOT.
runtimes_project=tests/tools/dotnet-windows/DotnetWindows.csproj
dotnet_windows=$tools/dotnet-windows
# The layout keeps a copy of the project it was made from, written last.
if ! cmp -s "$runtimes_project" "$dotnet_windows/DotnetWindows.csproj"; then
  echo "setup: restoring .NET's Windows runtime into $tools/nuget, laid out in $dotnet_windows"
  rm -rf "$tools/dotnet-windows-restore" "$dotnet_windows" "$dotnet_windows.partial" \
    "$tools/nuget/microsoft.netcore.app.runtime.win-x64" "$tools/nuget/microsoft.windowsdesktop.app.runtime.win-x64"
  restore "$runtimes_project" "$tools/dotnet-windows-restore"
  # Made beside its place and moved there whole, so that a run that stops half way is made again.
  layout=$dotnet_windows.partial
  framework() {  # framework PACKAGE NAME: the runtime pack PACKAGE as the shared framework NAME
    local version pack
    version=$(sed -n "s/.*Include=\"$1\" Version=\"\[\([0-9.]*\)\]\".*/\1/Ip" "$runtimes_project")
    [ -n "$version" ] || die "$runtimes_project names no version of $1"
    pack=$(realpath "$tools/nuget/$(tr '[:upper:]' '[:lower:]' <<<"$1")/$version/runtimes/win-x64")
    mkdir -p "$layout/shared/$2/$version"
    # A framework's folder holds its assemblies and its native libraries together.
    cp -rs "$pack/lib/net10.0/." "$pack/native/." "$layout/shared/$2/$version/"
    if [ "$2" = Microsoft.NETCore.App ]; then
      mkdir -p "$layout/host/fxr/$version"
      mv "$layout/shared/$2/$version/hostfxr.dll" "$layout/host/fxr/$version/"
    fi
  }
  framework Microsoft.NETCore.App.Runtime.win-x64 Microsoft.NETCore.App
  framework Microsoft.WindowsDesktop.App.Runtime.win-x64 Microsoft.WindowsDesktop.App
  cp "$runtimes_project" "$layout/"
  mv "$layout" "$dotnet_windows"
fi
