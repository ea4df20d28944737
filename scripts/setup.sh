#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, once; safe to repeat.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++
  googletest libgtest-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  clang libclang-rt-14-dev
  git zip unzip openssl osslsigncode python3
  # A PKCS#11 token for the signing tests: SoftHSM2, pkcs11-tool, and OpenSSL's engine through
  # which osslsigncode reaches a token.
  softhsm2 opensc libengine-pkcs11-openssl
  # The MSI: wixl builds it; msitools and libmsi through python3-gi fix its summary fields.
  wixl msitools gir1.2-libmsi-1.0 python3-gi
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    "${missing[@]}" >/dev/null
fi

# osslsigncode 2.8 is the first to sign PowerShell scripts; Debian 12 has 2.5, its backports 2.9.
# Backports are part of Debian's archive, and apt takes from them only what is asked for by name.
osslsigncode_minimum=2.8
osslsigncode_version=$(dpkg-query -W -f='${Version}' osslsigncode)
if dpkg --compare-versions "$osslsigncode_version" lt "$osslsigncode_minimum"; then
  echo "Installing osslsigncode from bookworm-backports (have $osslsigncode_version, need $osslsigncode_minimum)"
  if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
      "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    -t bookworm-backports osslsigncode >/dev/null
fi

# CycloneDX's library and its schema validator, for the tests to validate the release's SBOM:
# the versions pinned in tests/cyclonedx/package-lock.json, in the git-ignored build/tools/.
tools=build/tools/cyclonedx
if ! cmp -s tests/cyclonedx/package-lock.json "$tools/package-lock.json" ||
   [ ! -d "$tools/node_modules/@cyclonedx/cyclonedx-library" ]; then
  command -v npm >/dev/null || { echo "setup: npm (Node.js 20 or later) is needed" >&2; exit 1; }
  echo "Installing CycloneDX's validator into $tools"
  rm -rf "$tools"
  mkdir -p "$tools"
  cp tests/cyclonedx/package.json tests/cyclonedx/package-lock.json "$tools/"
  (cd "$tools" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
