# Remediations, detection script: exit 1, so that the remediation runs, when the check lists
# packages and also when it could not check; exit 0 only when nothing is left to remove.
# "WOW64 Implementation Details": ProgramW6432 is C:\Program Files in 32- and 64-bit processes.
$check = Join-Path $env:ProgramW6432 'Staged Package Removal\staged-package-check.exe'
# about_Automatic_Variables: $LASTEXITCODE is the exit code of the last native program that ran.
# The check is a console program whose output is captured: PowerShell waits for it
# (NativeCommandProcessor, PowerShell's source, runs only GUI programs in the background).
$report = (& $check 2>&1) -join "`n"
# "Remediations" (Intune): the remediation script runs only on detection exit code 1; the
# output is the device's pre-remediation detection output.
switch ($LASTEXITCODE) {
  0 { 'Nothing to remove'; exit 0 }
  1 { "Packages to remove:`n$report"; exit 1 }
  default { "Could not check (exit code $LASTEXITCODE): $report"; exit 1 }
}
