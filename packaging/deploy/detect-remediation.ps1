# Remediations, detection script: one line on STDOUT, exit 1 (so that the remediation runs) when
# the check lists packages and also when it could not check; exit 0 only when nothing is left.
# "Remediations": "The maximum allowed output size limit is 2,048 characters"; the agent is seen
# to keep the last line and to read it through the OEM code page: one short ASCII line, which
# with its CR LF is 2,048 characters at most.
$limit = 2046
$seconds = 45
function Ascii([string] $text) {
  # Anything but printable ASCII as \uXXXX, which no code page can garble.
  $builder = New-Object System.Text.StringBuilder
  foreach ($c in $text.ToCharArray()) {
    if ($c -ge ' ' -and $c -le '~') { [void]$builder.Append($c) }
    else { [void]$builder.Append(('\u{0:X4}' -f [int]$c)) }
  }
  $builder.ToString()
}
function Report([string] $line, [int] $code) {
  if ($line.Length -gt $limit) { $line = $line.Substring(0, $limit - 3) + '...' }
  Write-Output $line
  exit $code
}

# "WOW64 Implementation Details": ProgramW6432 is C:\Program Files in 32- and 64-bit processes.
if (-not $env:ProgramW6432) { Report 'Could not check: ProgramW6432 is not set (no 64-bit Windows)' 1 }
$check = [System.IO.Path]::Combine("$env:ProgramW6432", 'Staged Package Removal', 'staged-package-check.exe')
# The check writes UTF-8: read as such whatever the console's code page, which PowerShell would
# decode it with ("ProcessStartInfo.StandardOutputEncoding Property"); both streams to their end.
$start = New-Object System.Diagnostics.ProcessStartInfo
$start.FileName = $check
$start.UseShellExecute = $false
$start.RedirectStandardOutput = $true
$start.RedirectStandardError = $true
$start.StandardOutputEncoding = New-Object System.Text.UTF8Encoding($false)
$start.StandardErrorEncoding = New-Object System.Text.UTF8Encoding($false)
try { $process = [System.Diagnostics.Process]::Start($start) }
catch { Report (Ascii "Could not check: cannot start ${check}: $($_.Exception.GetBaseException().Message)") 1 }
$errors = $process.StandardError.ReadToEndAsync()
$output = $process.StandardOutput.ReadToEndAsync()
# A check that has not ended in $seconds seconds is stopped, and reported as not checked. No agent
# states a limit for detection scripts; the shortest limit on scripts that one states is
# Configuration Manager's, for configuration items ("About client settings": a "Script Execution
# Timeout (seconds)" of "a minimum of 60 seconds", "the default of 60 seconds"). 45 leaves
# PowerShell the rest to start and end in.
if (-not $process.WaitForExit($seconds * 1000)) {
  # Kill fails for a process that has just ended or cannot be stopped: not checked either way.
  try { $process.Kill() } catch { }
  Report "Could not check: staged-package-check.exe did not end within $seconds seconds" 1
}
# The overload above does not wait for the output to be read; the results below do.
$report = $output.Result
$said = (($errors.Result -split "`r?`n") | Where-Object { $_ }) -join ' '

switch ($process.ExitCode) {
  0 { Report 'Nothing to remove' 0 }
  1 {
    # A line a package: name, rule, key, and the value, which is the rest of the line.
    $packages = @($report -split "`r?`n" | Where-Object { $_ } | ForEach-Object {
      $fields = $_ -split "`t", 4
      Ascii ('{0} ({1})' -f $fields[0], $fields[3])
    })
    $noun = if ($packages.Count -eq 1) { 'package' } else { 'packages' }
    $head = "$($packages.Count) $noun to remove: "
    # As many whole entries as fit with the count of those left out.
    $shown = 0
    while ($shown -lt $packages.Count) {
      $left = $packages.Count - $shown - 1
      $line = $head + ($packages[0..$shown] -join ', ')
      if ($left -gt 0) { $line += ", ... and $left more" }
      if ($line.Length -gt $limit) { break }
      $shown++
    }
    $line = $head + ($(if ($shown -gt 0) { $packages[0..($shown - 1)] } else { @() }) -join ', ')
    if ($shown -lt $packages.Count) {
      $line += $(if ($shown -gt 0) { ', ' } else { '' }) + "... and $($packages.Count - $shown) more"
    }
    Report $line 1
  }
  default { Report (Ascii "Could not check (exit code $($process.ExitCode)): $said") 1 }
}
