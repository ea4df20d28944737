# Runs the installed removal and exits with its exit code (0, or -1 when a removal failed): the
# Remediations remediation script, and the install script of an Intune Win32 app or a
# Configuration Manager application. Exits 1, and says why on STDERR, when it cannot start it.
# "WOW64 Implementation Details": ProgramW6432 is C:\Program Files in 32- and 64-bit processes.
if (-not $env:ProgramW6432) {
  [Console]::Error.WriteLine('Could not start the removal: ProgramW6432 is not set (no 64-bit Windows)')
  exit 1
}
$removal = [System.IO.Path]::Combine("$env:ProgramW6432", 'Staged Package Removal', 'staged-package-removal.exe')
# "Start-Process": -Wait waits for the process to end; -PassThru returns its process object. The
# call operator does not wait for a GUI-subsystem program. A failure to start it is an error that
# ends only its own statement ("about_Error_Handling"), so it is caught here, or the script would
# go on and exit 0.
try { $process = Start-Process -FilePath $removal -Wait -PassThru -ErrorAction Stop }
catch {
  [Console]::Error.WriteLine("Could not start ${removal}: $($_.Exception.Message)")
  exit 1
}
# "Process.ExitCode Property": the value the process returned when it ended. None is no success.
if ($null -eq $process -or $null -eq $process.ExitCode) {
  [Console]::Error.WriteLine("No exit code from ${removal}")
  exit 1
}
exit $process.ExitCode
