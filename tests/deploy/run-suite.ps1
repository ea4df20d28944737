# Runs deploy.Tests.ps1 with the pinned Pester on the PowerShell that runs this file, and writes
# "<host> passed N failed N not-run N" to RESULT (host: windows or linux, as this PowerShell sees
# itself): run.sh reads the counts from there, so that a PowerShell that exits without having run
# the suite, or runs it as the other host, cannot pass for one that ran it.
# For a quick run while editing: -FullName, only the tests whose full names match one of these
# wildcards, separated by commas (the names of a table's rows are not expanded there); -Script,
# only the table's rows of the scripts that match this wildcard.
param([Parameter(Mandatory)][string] $Pester, [Parameter(Mandatory)][string] $Result, [string] $FullName = '',
  [string] $Script = '*')
$env:SPR_ONLY_SCRIPTS = $Script
Import-Module (Join-Path $Pester 'Pester.psd1')
$configuration = New-PesterConfiguration
$configuration.Run.Path = Join-Path $PSScriptRoot 'deploy.Tests.ps1'
$configuration.Run.PassThru = $true
if ($FullName) { $configuration.Filter.FullName = $FullName -split ',' }
$configuration.Output.Verbosity = 'Detailed'
$run = Invoke-Pester -Configuration $configuration
$hostName = if ($IsWindows) { 'windows' } else { 'linux' }
[IO.File]::WriteAllText($Result, "$hostName passed $($run.PassedCount) failed $($run.FailedCount) not-run $($run.NotRunCount)`n")
exit $(if ($run.Result -eq 'Passed') { 0 } else { 1 })
