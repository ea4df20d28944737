# The deployment scripts as the agents run them: each shipped script file in a new PowerShell
# process (-NoProfile -NonInteractive -File), with ProgramW6432 pointing at a folder that holds
# the programs under their installed names, and what each deployment tool records of the run: its
# verdict, with the exit code and the output it shows, by the rule of the page cited beside it.
#
# run.sh runs this suite on two hosts, and a case runs where its outcome is decided:
# - PowerShell 7.6.9 for Windows, under Wine, started in a Wine console as the agents start
#   PowerShell in a console: a script's process is started, waited for and read by a Windows
#   process, as the agents' are. Windows judges every case whose outcome depends on the host: how
#   a program is started and waited for (on Windows the call operator returns at once for a GUI
#   program, with no exit code; on Linux it waits for every program), the width of an exit code
#   (a Linux process keeps only the low byte of -1), the console's code page (437 there, as the
#   agents'; UTF-8 on Linux), and the real programs installed from the MSI. Its stand-ins are
#   Windows programs of both subsystems (tests/probes/deploy_stand_in.h).
# - PowerShell 7.6.9 on Linux, for what needs no Windows: the syntax, and the commands, types and
#   members that Windows PowerShell 5.1 has; and the cases that depend on the scripts' logic only
#   (Judge = 'both'), which run on both hosts, there against a shell stand-in (stand-in.sh), for a
#   quick run while editing the scripts.
#
# run.sh provides, as paths of the host:
#   SPR_PWSH           the PowerShell that starts the scripts
#   SPR_DEPLOY         the scripts, as a release of HEAD ships them
#   SPR_STAND_IN_GUI, SPR_STAND_IN_CONSOLE
#                      the stand-in programs, copied under the installed names for each case
#   SPR_SCRATCH        a folder for the cases' programs
#   SPR_SCRIPT_PATH    Linux: the only PATH the scripts see (no xdg-open: see run.sh)
#   SPR_TRANSCRIPTS    Windows: where PowerShell writes a transcript of every session (a policy
#                      that run.sh sets), which shows that a script's session really ran

BeforeDiscovery {
  $listing = "oem3.inf`t1`tTamrix_Vessa_Driver_Name`tTamrix Vessa 4100 Series`n"
  $fiveHundred = -join (1..500 | ForEach-Object { "oem$_.inf`t1`tTamrix_Vessa_Driver_Name`tTamrix Vessa 4100 Series`n" })
  # Two packages whose whole report is 2,046 characters (22 + 21 + 2 + 2,001), then 2,047: the
  # line's limit is reached exactly, then passed by one.
  $head = '2 packages to remove: '
  $first = 'oem1.inf (Tamrix ABC)'
  $twoFitting = "oem1.inf`t1`tDESCR1`tTamrix ABC`noem2.inf`t1`tDESCR1`t$('v' * 1990)`n"
  $twoOver = "oem1.inf`t1`tDESCR1`tTamrix ABC`noem2.inf`t1`tDESCR1`t$('v' * 1991)`n"
  # A check that fails with a message of 2,015 characters, then 2,016: 31 + 2,015 is the limit.
  $said = 'Could not check (exit code 2): '
  $fittingMessage = 'e' * 2015
  $longMessage = 'e' * 2016

  # Each case: the script, the stand-ins under the installed names (left out: the program is
  # not there), and what each tool records. Judge: 'both', or the host-dependent behaviour for
  # which only Windows decides, and then only the Windows host runs it.
  $script:cases = @(
    @{ Name = 'nothing left: detection says so'; Script = 'detect-remediation.ps1'; Judge = 'both'
       Check = @{ ExitCode = 0 }
       Agents = @{ Remediations = 'no issue (exit code 0): Nothing to remove' } }
    @{ Name = 'nothing left: the app is there'; Script = 'detect-app.ps1'; Judge = 'both'
       Check = @{ ExitCode = 0 }
       Agents = @{ Intune = 'detected'; ConfigurationManager = 'installed' } }
    @{ Name = 'a package left: detection lists it'; Script = 'detect-remediation.ps1'; Judge = 'both'
       Check = @{ Stdout = $listing; ExitCode = 1 }
       Agents = @{ Remediations = 'issue detected (exit code 1): 1 package to remove: oem3.inf (Tamrix Vessa 4100 Series)' } }
    @{ Name = 'a package left: the app is not there'; Script = 'detect-app.ps1'; Judge = 'both'
       Check = @{ Stdout = $listing; ExitCode = 1 }
       Agents = @{ Intune = 'not detected'; ConfigurationManager = 'not installed' } }
    @{ Name = 'the check could not look (exit code 2): detection says why, on one line'; Script = 'detect-remediation.ps1'
       Judge = 'both'; Check = @{ Stderr = "staged-package-check: cannot list the INF directory`r`n(the listing failed)`r`n"; ExitCode = 2 }
       Agents = @{ Remediations = 'issue detected (exit code 1): Could not check (exit code 2): staged-package-check: cannot list the INF directory (the listing failed)' } }
    @{ Name = 'the check could not look (exit code 2): the app is unknown'; Script = 'detect-app.ps1'; Judge = 'both'
       Check = @{ Stderr = "staged-package-check: cannot list the INF directory`n"; ExitCode = 2 }
       Agents = @{ Intune = 'not detected'; ConfigurationManager = 'unknown' } }
    @{ Name = 'the check is missing: detection says so'; Script = 'detect-remediation.ps1'; Judge = 'both'
       Agents = @{ Remediations = '^issue detected \(exit code 1\): Could not check: cannot start .*staged-package-check\.exe: .+$' } }
    @{ Name = 'the check is missing: the app is unknown, and nothing is written'; Script = 'detect-app.ps1'; Judge = 'both'
       Agents = @{ Intune = 'not detected'; ConfigurationManager = 'unknown' } }
    @{ Name = 'the removal is missing: the remediation fails and says why'; Script = 'remediate.ps1'; Judge = 'both'
       Agents = @{ Remediation = '^failed \(exit code 1\), error: Could not start .*staged-package-removal\.exe: .+$'
                   Install = 'failed (exit code 1)' } }
    @{ Name = 'the removal succeeds'; Script = 'remediate.ps1'; Judge = 'both'
       Removal = @{ ExitCode = 0 }
       Agents = @{ Remediation = 'remediated'; Install = 'succeeded' } }
    # ProgramW6432 is set on 64-bit Windows only ("WOW64 Implementation Details").
    @{ Name = 'no ProgramW6432: the remediation fails and says why'; Script = 'remediate.ps1'; Judge = 'both'
       NoProgramFiles = $true; Removal = @{ ExitCode = 0 }
       Agents = @{ Remediation = '^failed \(exit code 1\), error: Could not start the removal: ProgramW6432 is not set'
                   Install = 'failed (exit code 1)' } }
    @{ Name = 'no ProgramW6432: detection says so'; Script = 'detect-remediation.ps1'; Judge = 'both'
       NoProgramFiles = $true; Check = @{ ExitCode = 0 }
       Agents = @{ Remediations = '^issue detected \(exit code 1\): Could not check: ProgramW6432 is not set' } }
    @{ Name = 'no ProgramW6432: the app is unknown, and nothing is written'; Script = 'detect-app.ps1'; Judge = 'both'
       NoProgramFiles = $true; Check = @{ ExitCode = 0 }
       Agents = @{ Intune = 'not detected'; ConfigurationManager = 'unknown' } }
    @{ Name = '500 packages: one line that fits in 2,048 characters with its CR LF, as many whole names as fit, and a count'
       Script = 'detect-remediation.ps1'; Judge = 'both'; Check = @{ Stdout = $fiveHundred; ExitCode = 1 }; Count = 500
       Agents = @{ Remediations = '^issue detected \(exit code 1\): 500 packages to remove: oem1\.inf \(Tamrix Vessa 4100 Series\)(, oem[0-9]+\.inf \(Tamrix Vessa 4100 Series\))*, \.\.\. and [0-9]+ more$' } }
    @{ Name = 'two packages whose report is exactly 2,046 characters: both are named'; Script = 'detect-remediation.ps1'
       Judge = 'both'; Check = @{ Stdout = $twoFitting; ExitCode = 1 }
       Agents = @{ Remediations = "issue detected (exit code 1): $head$first, oem2.inf ($('v' * 1990))" } }
    @{ Name = 'two packages whose report would be 2,047 characters: the second is counted'; Script = 'detect-remediation.ps1'
       Judge = 'both'; Check = @{ Stdout = $twoOver; ExitCode = 1 }
       Agents = @{ Remediations = "issue detected (exit code 1): $head$first, ... and 1 more" } }
    @{ Name = 'a failing check''s message that makes the line exactly 2,046 characters is whole'; Script = 'detect-remediation.ps1'
       Judge = 'both'; Check = @{ Stderr = $fittingMessage; ExitCode = 2 }
       Agents = @{ Remediations = "issue detected (exit code 1): $said$fittingMessage" } }
    @{ Name = 'a failing check''s message one character longer is cut to 2,046 characters, ending in ...'
       Script = 'detect-remediation.ps1'; Judge = 'both'; Check = @{ Stderr = $longMessage; ExitCode = 2 }
       Agents = @{ Remediations = "issue detected (exit code 1): $said$('e' * (2043 - $said.Length))..." } }
    @{ Name = 'the removal exits -1: so does the remediation, as a 32-bit exit code'; Script = 'remediate.ps1'
       Judge = 'Windows: the exit code''s width'; Removal = @{ ExitCode = -1 }
       Agents = @{ Remediation = 'failed (exit code -1)'; Install = 'failed (exit code -1)' } }
    # The call operator of PowerShell for Windows returns at once for a GUI program.
    @{ Name = 'a removal (a GUI program) that takes seconds is waited for, and its exit code kept'; Script = 'remediate.ps1'
       Judge = 'Windows: starting and waiting for a GUI program'; Removal = @{ Wait = 3000; ExitCode = 7 }; Ended = 'Removal'
       Agents = @{ Remediation = 'failed (exit code 7)'; Install = 'failed (exit code 7)' } }
    @{ Name = 'a removal (a GUI program) that takes seconds and succeeds'; Script = 'remediate.ps1'
       Judge = 'Windows: starting and waiting for a GUI program'; Removal = @{ Wait = 2000; ExitCode = 0 }; Ended = 'Removal'
       Agents = @{ Remediation = 'remediated'; Install = 'succeeded' } }
    # The check writes UTF-8; PowerShell for Windows would decode it with the console's code page.
    @{ Name = 'a non-ASCII value is read as the check wrote it and written as ASCII'; Script = 'detect-remediation.ps1'
       Judge = 'Windows: the console''s code page'; Check = @{ Stdout = "oem3.inf`t1`tKey`tS$([char]0xE9)ries`t$([char]0x2713)`n"; ExitCode = 1 }
       Agents = @{ Remediations = 'issue detected (exit code 1): 1 package to remove: oem3.inf (S\u00E9ries\u0009\u2713)' } }
    @{ Name = 'a check''s non-ASCII message is read as the check wrote it'; Script = 'detect-remediation.ps1'
       Judge = 'Windows: the console''s code page'; Check = @{ Stderr = "staged-package-check: cannot read C:\Windows\INF\$([char]0xE9)`n"; ExitCode = 2 }
       Agents = @{ Remediations = 'issue detected (exit code 1): Could not check (exit code 2): staged-package-check: cannot read C:\Windows\INF\\u00E9' } }
  ) | Where-Object { ($IsWindows -or $_.Judge -eq 'both') -and
    (-not $env:SPR_ONLY_SCRIPTS -or $_.Script -like $env:SPR_ONLY_SCRIPTS) }
  $script:scripts = @(
    @{ Name = 'detect-remediation.ps1' }, @{ Name = 'remediate.ps1' }, @{ Name = 'detect-app.ps1' })
}

BeforeAll {
  # Start-DeployScript SCRIPT [-ProgramFiles FOLDER] [-NoProgramFiles]: the script (a name in
  # SPR_DEPLOY, or a path) in a new PowerShell, with ProgramW6432 set to FOLDER (or, left out, as
  # the host has it) or unset, and on Linux PATH set to SPR_SCRIPT_PATH; Wait-DeployScript then
  # gives what the agents read of it.
  function Start-DeployScript([string] $Script, [string] $ProgramFiles = '', [switch] $NoProgramFiles) {
    $path = if ([IO.Path]::IsPathRooted($Script)) { $Script } else { Join-Path $env:SPR_DEPLOY $Script }
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.FileName = $env:SPR_PWSH
    foreach ($argument in '-NoProfile', '-NonInteractive', '-File', $path) {
      $start.ArgumentList.Add($argument)
    }
    $start.UseShellExecute = $false
    $start.RedirectStandardOutput = $true
    $start.RedirectStandardError = $true
    if ($NoProgramFiles) { [void]$start.Environment.Remove('ProgramW6432') }
    elseif ($ProgramFiles) { $start.Environment['ProgramW6432'] = $ProgramFiles }
    if (-not $IsWindows) { $start.Environment['PATH'] = $env:SPR_SCRIPT_PATH }
    $startedAt = [DateTime]::UtcNow
    # Wine 8 now and then fails a start with ERROR_INTERNAL_ERROR (1359), before any code of the
    # new process ran (tests/support/win32_process.h says where): only that is tried again.
    for ($attempt = 1; ; $attempt++) {
      try { $process = [System.Diagnostics.Process]::Start($start); break }
      catch {
        $cause = $_.Exception.GetBaseException()
        if (-not ($cause -is [System.ComponentModel.Win32Exception] -and $cause.NativeErrorCode -eq 1359) -or $attempt -eq 3) { throw }
        Write-Host "note: Wine could not start PowerShell for $Script (ERROR_INTERNAL_ERROR); starting it again"
      }
    }
    $stdout = New-Object System.IO.MemoryStream
    $stderr = New-Object System.IO.MemoryStream
    [pscustomobject]@{
      Script = Split-Path -Leaf $path; Path = $path; Process = $process; Stdout = $stdout; Stderr = $stderr
      StartedAt = $startedAt
      Copies = @($process.StandardOutput.BaseStream.CopyToAsync($stdout), $process.StandardError.BaseStream.CopyToAsync($stderr))
    }
  }
  function Wait-DeployScript($started) {
    $process = $started.Process
    # A script that does not end fails its case, not the whole suite.
    if (-not $process.WaitForExit(120000)) {
      $process.Kill($true)
      throw "$($started.Script) did not end within 120 seconds"
    }
    # The script's output ends when every process that holds it has ended: the script, and any
    # program it started that inherited it and is still running, for which an agent would wait.
    if (-not [System.Threading.Tasks.Task]::WaitAll($started.Copies, 30000)) {
      throw "the output of $($started.Script) did not end within 30 seconds of its exit: a program it started still holds it"
    }
    # The agents read the script's output through the console's code page, 437 (the guide's
    # Remediations section says where that was seen): what is not ASCII shows as something else.
    $oem = [Text.Encoding]::GetEncoding(437)
    [pscustomobject]@{
      Script = $started.Script
      Path = $started.Path
      ProcessId = $process.Id
      StartedAt = $started.StartedAt
      ExitedAt = $process.ExitTime.ToUniversalTime()
      # As a Windows process reads it: a signed 32-bit value (Process.ExitCode).
      ExitCode = $process.ExitCode
      Bytes = $started.Stdout.ToArray()
      Output = $oem.GetString($started.Stdout.ToArray()).TrimEnd("`r", "`n")
      Errors = $oem.GetString($started.Stderr.ToArray()).TrimEnd("`r", "`n")
    }
  }
  function Invoke-DeployScript([string] $Script, [string] $ProgramFiles = '', [switch] $NoProgramFiles) {
    # The same Wine failure, met by the script's own start of the check or the removal: the script
    # reports it as any program it cannot start, with .NET's words for ERROR_INTERNAL_ERROR. The
    # program never ran, so the script is run again; the scripts themselves do not retry, since
    # Windows has no such failure to retry.
    for ($attempt = 1; ; $attempt++) {
      $run = Wait-DeployScript (Start-DeployScript $Script -ProgramFiles $ProgramFiles -NoProgramFiles:$NoProgramFiles)
      $wineFailed = $IsWindows -and ($run.Output + "`n" + $run.Errors) -match "An error occurred trying to start process '[^']+' with working directory '[^']+'\. Internal error\."
      if (-not $wineFailed -or $attempt -eq 3) { return $run }
      Write-Host "note: Wine could not start the program that $Script starts (ERROR_INTERNAL_ERROR); running the script again"
    }
  }

  # What each deployment tool records of a run: its verdict, and the exit code and output it shows.
  function Get-AgentView([string] $Tool, $run) {
    switch ($Tool) {
      # "Remediations": "A remediation script only runs if the detection script uses exit code
      # exit 1, meaning the issue was detected"; the report shows the detection's output.
      # IntuneScriptLab saw any non-zero exit run it; the scripts exit 0 or 1 only.
      'Remediations' {
        $(if ($run.ExitCode -eq 0) { 'no issue' } else { 'issue detected' }) + " (exit code $($run.ExitCode)): $($run.Output)"
      }
      # A remediation that exits non-zero has failed ("Remediations"); IntuneScriptLab's release
      # notes (0.29.0) count one that writes to STDERR as a script error too.
      'Remediation' {
        if ($run.ExitCode -eq 0 -and -not $run.Errors) { 'remediated' }
        else { "failed (exit code $($run.ExitCode))" + $(if ($run.Errors) { ", error: $($run.Errors)" } else { '' }) }
      }
      # Win32 app or application install: return code 0 is success, and any other fails
      # ("Add, assign, and monitor a Win32 app in Microsoft Intune", return codes; "Create
      # applications in Configuration Manager", Return Codes).
      'Install' { if ($run.ExitCode -eq 0) { 'succeeded' } else { "failed (exit code $($run.ExitCode))" } }
      # "Add, assign, and monitor a Win32 app in Microsoft Intune": "The app will be detected
      # when the script both returns a 0 value exit code and writes a string value to STDOUT",
      # and "if any data is written to STDERR, the detection result is evaluated as not installed".
      'Intune' { if ($run.ExitCode -eq 0 -and $run.Output -and -not $run.Errors) { 'detected' } else { 'not detected' } }
      # "Create applications in Configuration Manager", the script detection method's table: exit
      # 0 with STDOUT is installed; exit 0 with nothing on either stream is not installed; exit 0
      # with STDERR only, or any other exit code, is unknown (a failure).
      'ConfigurationManager' {
        if ($run.ExitCode -ne 0) { 'unknown' }
        elseif ($run.Output) { 'installed' }
        elseif ($run.Errors) { 'unknown' }
        else { 'not installed' }
      }
      default { throw "no deployment tool $Tool" }
    }
  }

  # PowerShell for Windows under Wine, started without a console, exits 0 having run nothing (seen
  # here; the agents always give it one). So on Windows each run shows that its session ran: the
  # transcript that the policy has PowerShell write of every session, of the process started,
  # written since it started, running the script to its end. Each is removed once read, and an
  # older one of a process ID that Wine gives again is not taken for it.
  function Assert-SessionRan($run) {
    if (-not $IsWindows) { return }
    $mine = @(Get-ChildItem -LiteralPath $env:SPR_TRANSCRIPTS -Recurse -File |
      Where-Object { $_.LastWriteTimeUtc -ge $run.StartedAt.AddSeconds(-2) -and
        (Select-String -LiteralPath $_.FullName -Pattern "^Process ID: $($run.ProcessId)$" -Quiet) })
    $mine.Count | Should -Be 1 -Because "one transcript of process $($run.ProcessId) ($($run.Script))"
    $text = Get-Content -Raw -LiteralPath $mine[0].FullName
    $text | Should -Match ([regex]::Escape("-File $($run.Path)"))
    $text | Should -Match 'PowerShell transcript end'
    Remove-Item -LiteralPath $mine[0].FullName
  }

  # Assert-Agents RUN EXPECTED: each tool's record (a pattern where it starts with ^), and what
  # every script's run must give any agent.
  function Assert-Agents($run, [hashtable] $expected) {
    Assert-SessionRan $run
    foreach ($tool in $expected.Keys) {
      $view = Get-AgentView $tool $run
      if ($expected[$tool] -like '^*') { $view | Should -Match $expected[$tool] -Because "what $tool records" }
      else { $view | Should -BeExactly $expected[$tool] -Because "what $tool records" }
    }
    if ($run.Script -like 'detect-*') {
      # One line of printable ASCII, which any code page shows alike, all of it the last line,
      # within the 2,048 characters the agent keeps with its CR LF; nothing on STDERR.
      @($run.Bytes | Where-Object { $_ -gt 126 -or ($_ -lt 32 -and $_ -ne 10 -and $_ -ne 13) }).Count | Should -Be 0
      @($run.Output -split "`n").Count | Should -BeLessOrEqual 1
      $run.Output.Length | Should -BeLessOrEqual 2046
      $run.Errors | Should -BeNullOrEmpty
    }
    # detect-app.ps1 writes only when the app is there.
    if ($run.Script -eq 'detect-app.ps1' -and $run.ExitCode -ne 0) { $run.Output | Should -BeNullOrEmpty }
  }

  # New-Program FOLDER NAME SUBSYSTEM BEHAVIOUR: the stand-in under the installed NAME in
  # FOLDER\Staged Package Removal, doing what BEHAVIOUR says (Stdout, Stderr, Wait, ExitCode);
  # its path.
  function New-Program([string] $Folder, [string] $Name, [string] $Subsystem, [hashtable] $Behaviour) {
    $programs = Join-Path $Folder 'Staged Package Removal'
    New-Item -ItemType Directory -Force -Path $programs | Out-Null
    $path = Join-Path $programs $Name
    if ($null -eq $Behaviour) { return $path }
    Copy-Item -LiteralPath $(if ($Subsystem -eq 'gui') { $env:SPR_STAND_IN_GUI } else { $env:SPR_STAND_IN_CONSOLE }) $path
    if (-not $IsWindows) { & /bin/chmod +x $path }
    $utf8 = New-Object System.Text.UTF8Encoding($false)
    if ($Behaviour.ContainsKey('Stdout')) { [IO.File]::WriteAllText("$path.stdout", $Behaviour.Stdout, $utf8) }
    if ($Behaviour.ContainsKey('Stderr')) { [IO.File]::WriteAllText("$path.stderr", $Behaviour.Stderr, $utf8) }
    if ($Behaviour.ContainsKey('Wait')) { [IO.File]::WriteAllText("$path.wait", "$($Behaviour.Wait)") }
    if ($Behaviour.ContainsKey('ExitCode')) { [IO.File]::WriteAllText("$path.exit-code", "$($Behaviour.ExitCode)") }
    $path
  }
  function New-Case {
    $folder = Join-Path $env:SPR_SCRATCH ([guid]::NewGuid())
    New-Item -ItemType Directory -Path $folder | Out-Null
    $folder
  }
}

Describe 'Each script as Windows PowerShell 5.1 reads it (Linux)' -Skip:$IsWindows {
  BeforeAll {
    # The commands the scripts may call, and their parameters: each on its Windows PowerShell 5.1
    # reference page (learn.microsoft.com/powershell/module/..., version 5.1). Some commands and
    # parameters parse under 5.1 and fail only when run (Test-Json, ConvertFrom-Json
    # -AsHashtable): only what is listed here is known to run.
    $script:allowed = @{
      'Write-Output' = @()                                     # Microsoft.PowerShell.Utility, 5.1
      'New-Object' = @()                                       # Microsoft.PowerShell.Utility, 5.1 (TypeName, ArgumentList by position)
      'Where-Object' = @()                                     # Microsoft.PowerShell.Core, 5.1 (FilterScript by position)
      'ForEach-Object' = @()                                   # Microsoft.PowerShell.Core, 5.1 (Process by position)
      'Start-Process' = @('FilePath', 'Wait', 'PassThru', 'ErrorAction')  # Microsoft.PowerShell.Management, 5.1; ErrorAction: about_CommonParameters
    }
  }

  # The guide's encoding rules: the agents want UTF-8 (Remediations, without a BOM when the
  # signature is checked); plain ASCII is that, and the same text under any code page.
  It '<Name> is plain ASCII, without a byte order mark, with CR LF line ends' -ForEach $scripts {
    $bytes = [IO.File]::ReadAllBytes((Join-Path $env:SPR_DEPLOY $Name))
    @($bytes | Where-Object { $_ -gt 126 -or ($_ -lt 32 -and $_ -ne 10 -and $_ -ne 13) }).Count | Should -Be 0
    $text = [Text.Encoding]::ASCII.GetString($bytes)
    $text | Should -Match "`r`n$"
    ($text -replace "`r`n", '') | Should -Not -Match "[`r`n]" -Because 'every line ends with CR LF'
  }

  It '<Name> parses with PowerShell''s own parser' -ForEach $scripts {
    $errors = $null
    [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $env:SPR_DEPLOY $Name), [ref]$null, [ref]$errors) | Out-Null
    $errors | Should -BeNullOrEmpty
  }

  It '<Name> uses no syntax that Windows PowerShell 5.1 lacks' -ForEach $scripts {
    $ast = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $env:SPR_DEPLOY $Name), [ref]$null, [ref]$null)
    # PowerShell 7's additions: ?? and ??=, ?. and ?[], the ternary operator, && and || between
    # pipelines, ForEach-Object -Parallel, clean blocks.
    $seven = $ast.FindAll({ param($node)
        $node -is [System.Management.Automation.Language.TernaryExpressionAst] -or
        $node -is [System.Management.Automation.Language.PipelineChainAst] -or
        ($node -is [System.Management.Automation.Language.BinaryExpressionAst] -and $node.Operator -eq 'QuestionQuestion') -or
        ($node -is [System.Management.Automation.Language.AssignmentStatementAst] -and $node.Operator -eq 'QuestionQuestionEquals') -or
        ($node -is [System.Management.Automation.Language.MemberExpressionAst] -and $node.NullConditional) -or
        ($node -is [System.Management.Automation.Language.IndexExpressionAst] -and $node.NullConditional) -or
        ($node -is [System.Management.Automation.Language.ScriptBlockAst] -and $node.CleanBlock) -or
        ($node -is [System.Management.Automation.Language.CommandParameterAst] -and $node.ParameterName -eq 'Parallel')
      }, $true)
    @($seven | ForEach-Object { $_.Extent.Text }) | Should -BeNullOrEmpty
  }

  It '<Name> calls only commands and parameters that Windows PowerShell 5.1 has' -ForEach $scripts {
    $ast = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $env:SPR_DEPLOY $Name), [ref]$null, [ref]$null)
    # The script's own functions, called by position.
    $own = @($ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.FunctionDefinitionAst] }, $true) |
      ForEach-Object { $_.Name })
    foreach ($command in $ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.CommandAst] }, $true)) {
      $commandName = $command.GetCommandName()
      if ($own -contains $commandName) {
        @($command.CommandElements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] }) |
          Should -BeNullOrEmpty
        continue
      }
      $allowed.Keys | Should -Contain $commandName -Because "$commandName is called at line $($command.Extent.StartLineNumber)"
      foreach ($parameter in $command.CommandElements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] }) {
        $allowed[$commandName] | Should -Contain $parameter.ParameterName -Because "$commandName -$($parameter.ParameterName)"
      }
    }
  }

  It '<Name> uses only .NET types and members that Windows PowerShell 5.1 has' -ForEach $scripts {
    $path = Join-Path $env:SPR_DEPLOY $Name
    $ast = [System.Management.Automation.Language.Parser]::ParseFile($path, [ref]$null, [ref]$null)
    # Windows PowerShell 5.1 runs on .NET Framework 4.5 or later: each of these is in .NET
    # Framework 4.5's reference (the types' pages on learn.microsoft.com, "Applies to").
    $types = @('System.Text.StringBuilder', 'System.Text.UTF8Encoding', 'System.IO.Path', 'Console',
      'System.Diagnostics.ProcessStartInfo', 'System.Diagnostics.Process', 'void', 'int', 'string')
    $members = @(
      'Append', 'ToString', 'ToCharArray', 'Length', 'Substring',            # String, StringBuilder
      'Combine',                                                              # Path.Combine(String, String, String), 4.0
      'FileName', 'UseShellExecute', 'RedirectStandardOutput', 'RedirectStandardError',
      'StandardOutputEncoding', 'StandardErrorEncoding',                      # ProcessStartInfo
      'Start', 'StandardOutput', 'StandardError', 'WaitForExit', 'ExitCode',  # Process (WaitForExit(Int32) too)
      'Kill',                                                                 # Process.Kill(), not Kill(Boolean), which is .NET Core 3.0's
      'ReadToEnd', 'ReadToEndAsync', 'Result',                                # StreamReader (ReadToEndAsync: 4.5), Task
      'Error', 'WriteLine',                                                   # Console.Error, TextWriter
      'Exception', 'GetBaseException', 'Message', 'Count')                    # ErrorRecord, Exception, Array
    foreach ($type in $ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.TypeExpressionAst] -or
        $node -is [System.Management.Automation.Language.TypeConstraintAst] }, $true)) {
      $types | Should -Contain $type.TypeName.FullName
    }
    foreach ($created in $ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.CommandAst] -and
        $node.GetCommandName() -eq 'New-Object' }, $true)) {
      $types | Should -Contain $created.CommandElements[1].Extent.Text
    }
    foreach ($member in $ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.MemberExpressionAst] }, $true)) {
      $members | Should -Contain $member.Member.Extent.Text -Because "line $($member.Extent.StartLineNumber)"
    }
    foreach ($call in $ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.InvokeMemberExpressionAst] -and
        $node.Member.Extent.Text -eq 'Kill' }, $true)) {
      ($call.Arguments | Measure-Object).Count | Should -Be 0 -Because "Process.Kill takes no argument in .NET Framework (line $($call.Extent.StartLineNumber))"
    }
    # PowerShell 6's `u{...} escape is only text in Windows PowerShell 5.1.
    (Get-Content -Raw $path) | Should -Not -Match '`u\{'
  }

  It 'runs the scripts where no xdg-open can be reached' {
    # Start-Process on Unix hands a path it cannot resolve to xdg-open (PowerShell's Process.cs):
    # a missing removal must fail here for the script's reason, not because xdg-open ran.
    $found = $env:SPR_SCRIPT_PATH -split ':' | ForEach-Object { Join-Path $_ 'xdg-open' } | Where-Object { Test-Path $_ }
    $found | Should -BeNullOrEmpty
  }
}

Describe 'Against stand-in programs' {
  It 'runs each script in a console whose code page is 437, as the agents'' (Windows)' -Skip:(-not $IsWindows) {
    # The code page that PowerShell for Windows decodes a program's output with when it is not
    # told otherwise, as a script started as the others are sees it.
    $probe = Join-Path (New-Case) 'code-page.ps1'
    [IO.File]::WriteAllText($probe, "[Console]::OutputEncoding.CodePage`r`n")
    $run = Invoke-DeployScript $probe
    Assert-SessionRan $run
    $run.Output | Should -Be '437'
  }

  It '<Script>: <Name> [judged on <Judge>]' -ForEach $cases {
    $folder = New-Case
    # (PowerShell's names know no case: $checkPath is not $Check.)
    $checkPath = New-Program $folder 'staged-package-check.exe' 'console' $Check
    $removalPath = New-Program $folder 'staged-package-removal.exe' 'gui' $Removal
    $run = Invoke-DeployScript $Script -ProgramFiles $folder -NoProgramFiles:([bool]$NoProgramFiles)
    Assert-Agents $run $Agents
    # Each program the script should have run was started: not a run that did nothing.
    if ($Check -and -not $NoProgramFiles) { "$checkPath.started" | Should -Exist -Because 'the script starts the check' }
    if ($Removal -and -not $NoProgramFiles) { "$removalPath.started" | Should -Exist -Because 'the script starts the removal' }
    if ($Ended) {
      "$(if ($Ended -eq 'Removal') { $removalPath } else { $checkPath }).ended" | Should -Exist -Because 'the script exited before the program ended'
    }
    if ($Count) {
      # The whole names shown and the count of the rest make up every package, and one more name
      # would not have fitted.
      $shown = ([regex]::Matches($run.Output, 'oem[0-9]+\.inf')).Count
      $rest = [int]($run.Output -replace '^.*\.\.\. and ([0-9]+) more$', '$1')
      $rest + $shown | Should -Be $Count
      $longer = ($run.Output -replace ', \.\.\. and [0-9]+ more$', '') +
        ", oem$($shown + 1).inf (Tamrix Vessa 4100 Series)" + $(if ($rest -gt 1) { ", ... and $($rest - 1) more" } else { '' })
      $longer.Length | Should -BeGreaterThan 2046
    }
  }

  # Judged on Windows: stopping a process. Both detection scripts at once, so that the suite
  # waits for their limit once.
  It 'a check that never ends is stopped after 45 seconds and reported as not checked (Windows)' -Skip:(-not $IsWindows) {
    $runs = foreach ($script in 'detect-remediation.ps1', 'detect-app.ps1') {
      $folder = New-Case
      $check = New-Program $folder 'staged-package-check.exe' 'console' @{
        Stdout = "oem3.inf`t1`tTamrix_Vessa_Driver_Name`tTamrix Vessa 4100 Series`n"; Wait = 'forever' }
      [pscustomobject]@{ Check = $check; Started = Start-DeployScript $script -ProgramFiles $folder }
    }
    foreach ($started in $runs) {
      $run = Wait-DeployScript $started.Started
      if ($run.Script -eq 'detect-remediation.ps1') {
        Assert-Agents $run @{
          Remediations = 'issue detected (exit code 1): Could not check: staged-package-check.exe did not end within 45 seconds' }
      } else {
        Assert-Agents $run @{ Intune = 'not detected'; ConfigurationManager = 'unknown' }
      }
      # The stand-in's process ID and start time (a FILETIME, UTC).
      $checkId, $checkStart = (Get-Content -Raw "$($started.Check).started").Trim() -split ' '
      $waited = ($run.ExitedAt - [DateTime]::FromFileTimeUtc([long]$checkStart)).TotalSeconds
      # At least its 45 seconds, and ended before Configuration Manager's 60.
      $waited | Should -BeGreaterOrEqual 45 -Because "the check has its 45 seconds ($($run.Script))"
      $waited | Should -BeLessThan 60 -Because "the script ends before the agent's limit ($($run.Script))"
      Get-Process -Id ([int]$checkId) -ErrorAction Ignore | Should -BeNullOrEmpty -Because 'the check was stopped, not left running'
    }
  }
}

# Judged on Windows: the programs installed from the MSI, run as the agents run them, with the
# prefix's own ProgramW6432.
Describe 'Against the real programs, installed from the MSI (Windows)' -Skip:(-not $IsWindows) {
  BeforeAll {
    # Set-InfFile NAME LINE [-Utf16] [-ReadOnly]: a staged package whose [Strings] holds LINE.
    function Set-InfFile([string] $Name, [string] $Line, [switch] $Utf16, [switch] $ReadOnly) {
      $text = "[Version]`r`nSignature=`"`$Windows NT`$`"`r`nClass=Printer`r`n`r`n[Strings]`r`n$Line`r`n"
      $encoding = if ($Utf16) { New-Object Text.UnicodeEncoding($false, $true) } else { [Text.Encoding]::ASCII }
      # Wine 8 reads each listed INF at <windir>\i<name> (tests/support/wine_listing.h says why):
      # a copy there.
      foreach ($path in (Join-Path $env:windir "inf\$Name"), (Join-Path $env:windir "i$Name")) {
        if (Test-Path -LiteralPath $path) { Set-ItemProperty -LiteralPath $path -Name IsReadOnly -Value $false }
        [IO.File]::WriteAllText($path, $text, $encoding)
      }
      [IO.File]::WriteAllText((Join-Path $env:windir ("inf\$Name" -replace '\.inf$', '.pnf')), 'PNF')
      if ($ReadOnly) { Set-ItemProperty -LiteralPath (Join-Path $env:windir "inf\$Name") -Name IsReadOnly -Value $true }
    }
    function Test-Inf([string] $Name) { Test-Path -LiteralPath (Join-Path $env:windir "inf\$Name") }
    # A staged machine: three packages that rules take (one of them read-only, so that Windows
    # refuses to delete it) and one that no rule takes.
    Set-InfFile 'oem3.inf' 'Tamrix_Vessa_Driver_Name="Tamrix Vessa 4100 Series"'
    Set-InfFile 'oem4.inf' 'DESCR1="Tamrix PNP"' -Utf16
    Set-InfFile 'oem7.inf' 'DESCR1="Tamrix NXR KLT"' -ReadOnly
    Set-InfFile 'oem9.inf' 'DeviceDesc="Contoso USB Printing Support"' -Utf16
  }

  It 'the programs are where the scripts look for them' {
    Join-Path $env:ProgramW6432 'Staged Package Removal\staged-package-check.exe' | Should -Exist
    Join-Path $env:ProgramW6432 'Staged Package Removal\staged-package-removal.exe' | Should -Exist
  }

  It 'detection lists what the removal would take, in its order' {
    Assert-Agents (Invoke-DeployScript 'detect-remediation.ps1') @{
      Remediations = 'issue detected (exit code 1): 3 packages to remove: oem3.inf (Tamrix Vessa 4100 Series), oem7.inf (Tamrix NXR KLT), oem4.inf (Tamrix PNP)' }
  }

  It 'the app is not there while packages are left' {
    Assert-Agents (Invoke-DeployScript 'detect-app.ps1') @{ Intune = 'not detected'; ConfigurationManager = 'not installed' }
  }

  It 'the remediation removes what it can and fails with the removal''s -1 for the read-only package' {
    Assert-Agents (Invoke-DeployScript 'remediate.ps1') @{ Remediation = 'failed (exit code -1)'; Install = 'failed (exit code -1)' }
    Test-Inf 'oem3.inf' | Should -BeFalse
    Test-Inf 'oem4.inf' | Should -BeFalse
    Test-Inf 'oem7.inf' | Should -BeTrue
    Test-Inf 'oem9.inf' | Should -BeTrue -Because 'no rule takes it'
  }

  It 'detection then lists the package that is left' {
    Assert-Agents (Invoke-DeployScript 'detect-remediation.ps1') @{
      Remediations = 'issue detected (exit code 1): 1 package to remove: oem7.inf (Tamrix NXR KLT)' }
  }

  It 'once the package can be removed, the remediation succeeds' {
    Set-InfFile 'oem7.inf' 'DESCR1="Tamrix NXR KLT"'
    Assert-Agents (Invoke-DeployScript 'remediate.ps1') @{ Remediation = 'remediated'; Install = 'succeeded' }
    Test-Inf 'oem7.inf' | Should -BeFalse
    Test-Inf 'oem9.inf' | Should -BeTrue
  }

  It 'with nothing left, detection says so and the app is there' {
    Assert-Agents (Invoke-DeployScript 'detect-remediation.ps1') @{ Remediations = 'no issue (exit code 0): Nothing to remove' }
    Assert-Agents (Invoke-DeployScript 'detect-app.ps1') @{ Intune = 'detected'; ConfigurationManager = 'installed' }
  }
}
