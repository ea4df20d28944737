#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, once; safe to repeat.
set -euo pipefail

packages=(
  cmake ninja-build g++
  googletest libgtest-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  clang libclang-rt-14-dev
  git zip unzip openssl osslsigncode python3
  wixl msitools gir1.2-libmsi-1.0 python3-gi
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    "${missing[@]}" >/dev/null
fi
