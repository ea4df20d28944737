# Detection script of an Intune Win32 app or a Configuration Manager application: "installed"
# when nothing is left to remove. Writes to STDOUT only then, and never to STDERR, which an
# agent may read as "not detected" whatever the exit code.
$seconds = 45
# "WOW64 Implementation Details": ProgramW6432 is C:\Program Files in 32- and 64-bit processes.
if (-not $env:ProgramW6432) { exit 1 }
$check = [System.IO.Path]::Combine("$env:ProgramW6432", 'Staged Package Removal', 'staged-package-check.exe')
$start = New-Object System.Diagnostics.ProcessStartInfo
$start.FileName = $check
$start.UseShellExecute = $false
$start.RedirectStandardOutput = $true
$start.RedirectStandardError = $true
# A check that cannot start is not "installed": nothing written, exit 1.
try { $process = [System.Diagnostics.Process]::Start($start) } catch { exit 1 }
$null = $process.StandardError.ReadToEndAsync()
$null = $process.StandardOutput.ReadToEndAsync()
# A check that has not ended in $seconds seconds is stopped: not "installed", nothing written,
# exit 1. No agent states a limit for detection scripts; the shortest limit on scripts that one
# states is Configuration Manager's, for configuration items ("About client settings": a "Script
# Execution Timeout (seconds)" of "a minimum of 60 seconds"). 45 leaves PowerShell the rest to
# start and end in.
if (-not $process.WaitForExit($seconds * 1000)) {
  # Kill fails for a process that has just ended or cannot be stopped: not checked either way.
  try { $process.Kill() } catch { }
  exit 1
}
switch ($process.ExitCode) {
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
