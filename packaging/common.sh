# shellcheck shell=bash
# Sourced by the packaging scripts, after they define die (each says who it is).

# shipped_files: the rows of packaging/shipped-files.txt, without comments and blank lines; read
# them with `read -r path source signed beside component guid short_name`.
shipped_files() {
  local manifest
  manifest=$(dirname "${BASH_SOURCE[0]}")/shipped-files.txt
  [ -r "$manifest" ] || die "cannot read $manifest"
  LC_ALL=C grep -v -e '^#' -e '^[[:space:]]*$' "$manifest"
}

# readable FILE WHAT: dies unless FILE is a file that can be read.
readable() {
  [ -f "$1" ] && [ -r "$1" ] || die "cannot read the $2 $1"
}

# pkcs7_of FILE OUT: writes the PKCS#7 SignedData of FILE's Authenticode signature to OUT and
# succeeds, or fails for an unsigned FILE; dies on a file it cannot read. An executable's comes
# from its certificate table (authenticode-sha256.py), an MSI's from its \005DigitalSignature
# stream (libmsi's msiinfo), a PowerShell script's from its signature block's base64 lines.
pkcs7_of() {
  local status=0
  case $1 in
    *.exe | *.dll)
      /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/authenticode-sha256.py" --signature "$1" >"$2" ||
        status=$?
      ((status < 2)) || die "cannot read the signature of $1"
      return "$status"
      ;;
    *.msi)
      # msiinfo names the streams with their leading \005.
      msiinfo streams "$1" >"$2.streams" || die "cannot read the streams of $1"
      grep -qx $'\005DigitalSignature' "$2.streams" || { rm -f "$2.streams"; return 1; }
      ! grep -qx $'\005MsiDigitalSignatureEx' "$2.streams" ||
        die "$1 has an extended signature (MsiDigitalSignatureEx), which the release never writes"
      rm -f "$2.streams"
      msiinfo extract "$1" $'\005DigitalSignature' >"$2" || die "cannot read the signature of $1"
      ;;
    *.ps1)
      grep -q '^# SIG # Begin signature block' "$1" || return 1
      sed -n '/^# SIG # Begin signature block/,/^# SIG # End signature block/p' "$1" | sed '1d;$d' |
        sed 's/^# //' | tr -d '\r' | base64 -d >"$2" || die "cannot read the signature block of $1"
      ;;
    *) die "$1: no signature of this type of file is known here" ;;
  esac
}
