# Runs the installed removal and exits with its exit code (0, or -1 when a removal failed):
# the Remediations remediation script, and the install script of an Intune Win32 app or a
# Configuration Manager application.
# "WOW64 Implementation Details": ProgramW6432 is C:\Program Files in 32- and 64-bit processes.
$removal = Join-Path $env:ProgramW6432 'Staged Package Removal\staged-package-removal.exe'
# "Start-Process": -Wait waits for the process to end; -PassThru returns its process object.
# (Started with the call operator, a GUI-subsystem program is not waited for.)
$process = Start-Process -FilePath $removal -Wait -PassThru
# "Process.ExitCode Property": the value the process returned when it ended.
exit $process.ExitCode
