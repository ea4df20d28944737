# Detection script of an Intune Win32 app or a Configuration Manager application: the app is
# "installed" when nothing is left to remove.
# "WOW64 Implementation Details": ProgramW6432 is C:\Program Files in 32- and 64-bit processes.
$check = Join-Path $env:ProgramW6432 'Staged Package Removal\staged-package-check.exe'
& $check > $null 2> $null
switch ($LASTEXITCODE) {
  # "Add, assign, and monitor a Win32 app in Microsoft Intune": detected when the script
  # returns exit code 0 and writes a string to STDOUT.
  # "Create applications in Configuration Manager": exit 0 with STDOUT is installed.
  0 { 'Nothing left to remove'; exit 0 }
  # Configuration Manager: exit 0, nothing on STDOUT or STDERR, is not installed; Intune: no
  # STDOUT is not detected.
  1 { exit 0 }
  # Configuration Manager: a non-zero exit code is unknown, a failure; Intune: not detected.
  default { exit 1 }
}
