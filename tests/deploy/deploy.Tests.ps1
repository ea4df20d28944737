# The deployment scripts as the agents run them: each shipped script file in a new PowerShell
# process (-NoProfile -NonInteractive -File), with ProgramW6432 pointing at a folder that holds
# the programs under their installed names, and what each deployment tool concludes from the exit
# code, STDOUT and STDERR, by the rule of the page cited beside it. Run by run.sh, which provides:
#   SPR_PWSH           the PowerShell to start the scripts with
#   SPR_DEPLOY         the scripts, as a release of HEAD ships them
#   SPR_REAL_PROGRAMS  a Program Files folder whose programs run the installed ones under Wine
#   SPR_WINDIR         that Wine prefix's Windows directory, to stage a machine in
#   SPR_SCRIPT_PATH    the only PATH the scripts see (no xdg-open: see run.sh)
#   SPR_SCRATCH        a folder for the stand-in programs

BeforeDiscovery {
  # Stand-in programs for what a real machine cannot be made to do on demand: each is a shell
  # script under the installed name; $null leaves the program out.
  $listing = 'oem3.inf\t1\tTamrix_Vessa_Driver_Name\tTamrix Vessa 4100 Series\n'
  $fiveHundred = 'for i in $(seq 1 500); do printf "oem%d.inf\t1\tTamrix_Vessa_Driver_Name\tTamrix Vessa 4100 Series\n" $i; done'
  $script:standIns = @(
    @{ Name = 'nothing left: detection says so'; Script = 'detect-remediation.ps1'
       Check = 'exit 0'; ExitCode = 0; Stdout = 'Nothing to remove'; Stderr = ''
       Verdicts = @{ Remediations = 'no remediation' } }
    @{ Name = 'nothing left: the app is there'; Script = 'detect-app.ps1'
       Check = 'exit 0'; ExitCode = 0; Stdout = 'Nothing left to remove'; Stderr = ''
       Verdicts = @{ Intune = 'detected'; ConfigurationManager = 'installed' } }
    @{ Name = 'a package left: detection lists it'; Script = 'detect-remediation.ps1'
       Check = "printf '$listing'; exit 1"; ExitCode = 1
       Stdout = '1 package to remove: oem3.inf (Tamrix Vessa 4100 Series)'; Stderr = ''
       Verdicts = @{ Remediations = 'remediation runs' } }
    @{ Name = 'a package left: the app is not there'; Script = 'detect-app.ps1'
       Check = "printf '$listing'; exit 1"; ExitCode = 0; Stdout = ''; Stderr = ''
       Verdicts = @{ Intune = 'not detected'; ConfigurationManager = 'not installed' } }
    @{ Name = 'the check could not look (exit code 2): detection says why'; Script = 'detect-remediation.ps1'
       Check = "echo 'staged-package-check: cannot list the INF directory' >&2; exit 2"; ExitCode = 1
       Stdout = 'Could not check (exit code 2): staged-package-check: cannot list the INF directory'; Stderr = ''
       Verdicts = @{ Remediations = 'remediation runs' } }
    @{ Name = 'the check could not look (exit code 2): the app is unknown'; Script = 'detect-app.ps1'
       Check = "echo 'staged-package-check: cannot list the INF directory' >&2; exit 2"; ExitCode = 1
       Stdout = ''; Stderr = ''
       Verdicts = @{ Intune = 'not detected'; ConfigurationManager = 'unknown' } }
    @{ Name = 'the check is missing: detection says so'; Script = 'detect-remediation.ps1'
       ExitCode = 1; Stdout = '^Could not check: cannot start .*staged-package-check\.exe: .+$'; Stderr = ''
       Verdicts = @{ Remediations = 'remediation runs' } }
    @{ Name = 'the check is missing: the app is unknown, and nothing is written'; Script = 'detect-app.ps1'
       ExitCode = 1; Stdout = ''; Stderr = ''
       Verdicts = @{ Intune = 'not detected'; ConfigurationManager = 'unknown' } }
    @{ Name = 'the removal is missing: the remediation fails and says why'; Script = 'remediate.ps1'
       ExitCode = 1; Stdout = ''; Stderr = '^Could not start .*staged-package-removal\.exe: .+'
       Verdicts = @{ Remediation = 'failed'; Install = 'failed' } }
    @{ Name = 'the removal succeeds'; Script = 'remediate.ps1'
       Removal = 'exit 0'; ExitCode = 0; Stdout = ''; Stderr = ''
       Verdicts = @{ Remediation = 'remediated'; Install = 'succeeded' } }
    # -1 on Windows; a Linux process keeps its low byte, 255.
    @{ Name = 'the removal exits -1: so does the remediation'; Script = 'remediate.ps1'
       Removal = 'exit 255'; ExitCode = 255; Stdout = ''; Stderr = ''
       Verdicts = @{ Remediation = 'failed'; Install = 'failed' } }
    # Only a script that waits for the removal finds it ended when it exits itself.
    # The stand-in lets go of the streams it inherits, which the suite reads to their end: only
    # a script that waits for the process itself finds it ended.
    @{ Name = 'a removal that takes seconds is waited for'; Script = 'remediate.ps1'
       Removal = 'exec >/dev/null 2>&1 </dev/null; sleep 3; : >"$SPR_CASE/removal-ended"; exit 0'
       ExitCode = 0; Stdout = ''; Stderr = ''
       Ended = 'removal-ended'; Verdicts = @{ Remediation = 'remediated'; Install = 'succeeded' } }
    # ProgramW6432 is set on 64-bit Windows only ("WOW64 Implementation Details").
    @{ Name = 'no ProgramW6432: the remediation fails and says why'; Script = 'remediate.ps1'
       NoProgramFiles = $true; ExitCode = 1; Stdout = ''; Stderr = '^Could not start the removal: ProgramW6432 is not set'
       Verdicts = @{ Remediation = 'failed'; Install = 'failed' } }
    @{ Name = 'no ProgramW6432: detection says so'; Script = 'detect-remediation.ps1'
       NoProgramFiles = $true; ExitCode = 1; Stdout = '^Could not check: ProgramW6432 is not set'; Stderr = ''
       Verdicts = @{ Remediations = 'remediation runs' } }
    @{ Name = 'no ProgramW6432: the app is unknown, and nothing is written'; Script = 'detect-app.ps1'
       NoProgramFiles = $true; ExitCode = 1; Stdout = ''; Stderr = ''
       Verdicts = @{ Intune = 'not detected'; ConfigurationManager = 'unknown' } }
    # The agent reads the script's output through the OEM code page (IntuneScriptLab).
    @{ Name = 'a non-ASCII value, in a console of code page 437, is written as ASCII'; Script = 'detect-remediation.ps1'
       Check = "printf 'oem3.inf\t1\tKey\tS\303\251ries\t\342\234\223\n'; exit 1"; ExitCode = 1; Oem = $true
       Stdout = '1 package to remove: oem3.inf (S\u00E9ries\u0009\u2713)'; Stderr = ''
       Verdicts = @{ Remediations = 'remediation runs' } }
    @{ Name = '500 packages: one line that fits in 2,048 characters with its CR LF, as many whole names as fit, and a count'
       Script = 'detect-remediation.ps1'; Check = "$fiveHundred; exit 1"; ExitCode = 1; Count = 500
       Stdout = '^500 packages to remove: oem1\.inf \(Tamrix Vessa 4100 Series\)(, oem[0-9]+\.inf \(Tamrix Vessa 4100 Series\))*, \.\.\. and [0-9]+ more$'
       Stderr = ''; Verdicts = @{ Remediations = 'remediation runs' } }
  )
  $script:scripts = @(
    @{ Name = 'detect-remediation.ps1' }, @{ Name = 'remediate.ps1' }, @{ Name = 'detect-app.ps1' })
}

BeforeAll {
  # run SCRIPT FOLDER [-Oem]: the script in a new PowerShell, ProgramW6432 set to FOLDER, PATH to
  # SPR_SCRIPT_PATH; its exit code, STDOUT as bytes and as ASCII text, and STDERR.
  function Invoke-DeployScript([string] $Script, [string] $ProgramFiles, [string] $CaseFolder = '', [switch] $Oem) {
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.FileName = $env:SPR_PWSH
    $path = Join-Path $env:SPR_DEPLOY $Script
    if ($Oem) {
      # The script in a host whose console output encoding is code page 437, as the agents' is.
      $start.ArgumentList.Add('-NoProfile'); $start.ArgumentList.Add('-NonInteractive'); $start.ArgumentList.Add('-Command')
      $start.ArgumentList.Add("[Console]::OutputEncoding = [Text.Encoding]::GetEncoding(437); & '$path'; exit `$LASTEXITCODE")
    } else {
      foreach ($argument in '-NoProfile', '-NonInteractive', '-File', $path) { $start.ArgumentList.Add($argument) }
    }
    $start.UseShellExecute = $false
    $start.RedirectStandardOutput = $true
    $start.RedirectStandardError = $true
    $start.Environment['ProgramW6432'] = $ProgramFiles
    $start.Environment['PATH'] = $env:SPR_SCRIPT_PATH
    $start.Environment['SPR_CASE'] = $CaseFolder
    $process = [System.Diagnostics.Process]::Start($start)
    $errors = $process.StandardError.ReadToEndAsync()
    $bytes = New-Object System.IO.MemoryStream
    $process.StandardOutput.BaseStream.CopyTo($bytes)
    $process.WaitForExit()
    $raw = $bytes.ToArray()
    [pscustomobject]@{
      ExitCode = $process.ExitCode
      Bytes = $raw
      Stdout = ([Text.Encoding]::ASCII.GetString($raw)).TrimEnd("`r", "`n")
      Stderr = $errors.Result.TrimEnd("`r", "`n")
    }
  }

  # What each deployment tool concludes from a run.
  # "Remediations": "A remediation script only runs if the detection script uses exit code exit 1,
  # meaning the issue was detected." IntuneScriptLab saw any non-zero exit run it; the scripts
  # exit 0 or 1 only, on which the two readings agree.
  function Get-RemediationsVerdict($run) {
    if ($run.ExitCode -eq 0) { 'no remediation' } else { 'remediation runs' }
  }
  # A remediation that exits non-zero has failed ("Remediations"); IntuneScriptLab's release notes
  # (0.29.0) count one that writes to STDERR as a script error too.
  function Get-RemediationVerdict($run) {
    if ($run.ExitCode -eq 0 -and -not $run.Stderr) { 'remediated' } else { 'failed' }
  }
  # Win32 app or application install: return code 0 is success, and -1, which the guide adds as
  # Failed, fails ("Add, assign, and monitor a Win32 app in Microsoft Intune", return codes;
  # "Create applications in Configuration Manager", Return Codes).
  function Get-InstallVerdict($run) {
    if ($run.ExitCode -eq 0) { 'succeeded' } else { 'failed' }
  }
  # "Add, assign, and monitor a Win32 app in Microsoft Intune": "The app will be detected when the
  # script both returns a 0 value exit code and writes a string value to STDOUT"; IntuneScriptLab
  # saw a detection script that writes to STDERR read as not detected.
  function Get-IntuneVerdict($run) {
    if ($run.ExitCode -eq 0 -and $run.Stdout -and -not $run.Stderr) { 'detected' } else { 'not detected' }
  }
  # "Create applications in Configuration Manager", the script detection method's table: exit 0
  # with STDOUT is installed; exit 0 with nothing on either stream is not installed; exit 0 with
  # STDERR only, or any other exit code, is unknown (a failure).
  function Get-ConfigurationManagerVerdict($run) {
    if ($run.ExitCode -ne 0) { 'unknown' }
    elseif ($run.Stdout) { 'installed' }
    elseif ($run.Stderr) { 'unknown' }
    else { 'not installed' }
  }
  function Get-Verdict([string] $Tool, $run) {
    switch ($Tool) {
      'Remediations' { Get-RemediationsVerdict $run }
      'Remediation' { Get-RemediationVerdict $run }
      'Install' { Get-InstallVerdict $run }
      'Intune' { Get-IntuneVerdict $run }
      'ConfigurationManager' { Get-ConfigurationManagerVerdict $run }
    }
  }

  function Assert-Run($run, $case) {
    $run.ExitCode | Should -Be $case.ExitCode -Because "STDOUT: $($run.Stdout) STDERR: $($run.Stderr)"
    if ($case.Stdout -like '^*') { $run.Stdout | Should -Match $case.Stdout } else { $run.Stdout | Should -BeExactly $case.Stdout }
    if ($case.Stderr -like '^*') { $run.Stderr | Should -Match $case.Stderr } else { $run.Stderr | Should -BeExactly $case.Stderr }
    # One line, ASCII: what any code page shows alike, and all of it the last line.
    @($run.Bytes | Where-Object { $_ -gt 126 -or ($_ -lt 32 -and $_ -ne 10 -and $_ -ne 13) }).Count | Should -Be 0
    @($run.Stdout -split "`n").Count | Should -BeLessOrEqual 1
    # With its CR LF, within the 2,048 characters that the agent keeps.
    $run.Stdout.Length | Should -BeLessOrEqual 2046
    foreach ($tool in $case.Verdicts.Keys) {
      Get-Verdict $tool $run | Should -Be $case.Verdicts[$tool] -Because "the verdict of $tool"
    }
  }

  function New-StandIn([string] $Folder, [string] $Name, [string] $Body) {
    $programs = Join-Path $Folder 'Staged Package Removal'
    New-Item -ItemType Directory -Force -Path $programs | Out-Null
    if ($null -eq $Body -or $Body -eq '') { return }
    $file = Join-Path $programs $Name
    [IO.File]::WriteAllText($file, "#!/bin/sh`n$Body`n")
    & /bin/chmod +x $file
  }

  function Set-InfFile([string] $Name, [string] $Line, [switch] $Utf16, [switch] $ReadOnly) {
    $inf = Join-Path $env:SPR_WINDIR 'inf'
    $text = "[Version]`r`nSignature=`"`$Windows NT`$`"`r`nClass=Printer`r`n`r`n[Strings]`r`n$Line`r`n"
    $encoding = if ($Utf16) { New-Object Text.UnicodeEncoding($false, $true) } else { [Text.Encoding]::ASCII }
    $path = Join-Path $inf $Name
    if (Test-Path $path) { & /bin/chmod u+w $path }
    [IO.File]::WriteAllText($path, $text, $encoding)
    [IO.File]::WriteAllText((Join-Path $inf ($Name -replace '\.inf$', '.pnf')), 'PNF')
    # Wine 8 reads each listed INF at <windir>\i<name> (tests/support/wine_listing.h says why).
    & /bin/ln -sf "inf/$Name" (Join-Path $env:SPR_WINDIR "i$Name")
    if ($ReadOnly) { & /bin/chmod a-w $path }
  }
  function Test-Inf([string] $Name) { Test-Path (Join-Path $env:SPR_WINDIR "inf/$Name") }
}

Describe 'Each script as Windows PowerShell 5.1 reads it' {
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
      'Start', 'StandardOutput', 'StandardError', 'WaitForExit', 'ExitCode',  # Process
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
    # PowerShell 6's `u{...} escape is only text in Windows PowerShell 5.1.
    (Get-Content -Raw $path) | Should -Not -Match '`u\{'
  }

  # On Unix the call operator waits for every program, so the stand-in cases would pass without
  # -Wait: the syntax tree shows that the removal is started with it.
  It 'remediate.ps1 starts the removal with Start-Process -Wait -PassThru' {
    $ast = [System.Management.Automation.Language.Parser]::ParseFile((Join-Path $env:SPR_DEPLOY 'remediate.ps1'), [ref]$null, [ref]$null)
    $starts = @($ast.FindAll({ param($node) $node -is [System.Management.Automation.Language.CommandAst] -and
        $node.GetCommandName() -eq 'Start-Process' }, $true))
    $starts.Count | Should -Be 1
    $parameters = @($starts[0].CommandElements | Where-Object { $_ -is [System.Management.Automation.Language.CommandParameterAst] } |
      ForEach-Object { $_.ParameterName })
    $parameters | Should -Contain 'Wait'
    $parameters | Should -Contain 'PassThru'
  }
}

Describe 'Against stand-in programs' {
  It 'runs the scripts where no xdg-open can be reached' {
    # Start-Process on Unix hands a path it cannot resolve to xdg-open (PowerShell's Process.cs):
    # a missing removal must fail here for the script's reason, not because xdg-open ran.
    $found = $env:SPR_SCRIPT_PATH -split ':' | ForEach-Object { Join-Path $_ 'xdg-open' } | Where-Object { Test-Path $_ }
    $found | Should -BeNullOrEmpty
  }

  It 'the host of the code-page case really is not UTF-8' {
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.FileName = $env:SPR_PWSH
    foreach ($argument in '-NoProfile', '-NonInteractive', '-Command',
        '[Console]::OutputEncoding = [Text.Encoding]::GetEncoding(437); [Console]::OutputEncoding.CodePage') {
      $start.ArgumentList.Add($argument)
    }
    $start.UseShellExecute = $false
    $start.RedirectStandardOutput = $true
    $process = [System.Diagnostics.Process]::Start($start)
    $said = $process.StandardOutput.ReadToEnd().Trim()
    $process.WaitForExit()
    $said | Should -Be '437'
  }

  It '<Name>' -ForEach $standIns {
    $folder = Join-Path $env:SPR_SCRATCH ([guid]::NewGuid())
    New-StandIn $folder 'staged-package-check.exe' $Check
    New-StandIn $folder 'staged-package-removal.exe' $Removal
    $programFiles = if ($NoProgramFiles) { '' } else { $folder }
    $run = Invoke-DeployScript $Script $programFiles -CaseFolder $folder -Oem:([bool]$Oem)
    Assert-Run $run $_
    if ($Ended) { Join-Path $folder $Ended | Should -Exist -Because 'the script exited before the removal ended' }
    if ($Count) {
      # The whole names shown and the count of the rest make up every package, and one more name
      # would not have fitted.
      $shown = ([regex]::Matches($run.Stdout, 'oem[0-9]+\.inf')).Count
      $rest = [int]($run.Stdout -replace '^.*\.\.\. and ([0-9]+) more$', '$1')
      $rest + $shown | Should -Be $Count
      $longer = ($run.Stdout -replace ', \.\.\. and [0-9]+ more$', '') +
        ", oem$($shown + 1).inf (Tamrix Vessa 4100 Series)" + $(if ($rest -gt 1) { ", ... and $($rest - 1) more" } else { '' })
      $longer.Length | Should -BeGreaterThan 2046
    }
  }
}

Describe 'Against the real programs, installed from the MSI, under Wine' {
  BeforeAll {
    $programs = $env:SPR_REAL_PROGRAMS
    # A staged machine: three packages that rules take (one of them read-only, so that Windows
    # refuses to delete it) and one that no rule takes.
    Set-InfFile 'oem3.inf' 'Tamrix_Vessa_Driver_Name="Tamrix Vessa 4100 Series"'
    Set-InfFile 'oem4.inf' 'DESCR1="Tamrix PNP"' -Utf16
    Set-InfFile 'oem7.inf' 'DESCR1="Tamrix NXR KLT"' -ReadOnly
    Set-InfFile 'oem9.inf' 'DeviceDesc="Contoso USB Printing Support"' -Utf16
  }

  It 'detection lists what the removal would take, in its order' {
    Assert-Run (Invoke-DeployScript 'detect-remediation.ps1' $programs) @{ ExitCode = 1; Stderr = ''
      Stdout = '3 packages to remove: oem3.inf (Tamrix Vessa 4100 Series), oem7.inf (Tamrix NXR KLT), oem4.inf (Tamrix PNP)'
      Verdicts = @{ Remediations = 'remediation runs' } }
  }

  It 'the app is not there while packages are left' {
    Assert-Run (Invoke-DeployScript 'detect-app.ps1' $programs) @{ ExitCode = 0; Stdout = ''; Stderr = ''
      Verdicts = @{ Intune = 'not detected'; ConfigurationManager = 'not installed' } }
  }

  It 'the remediation removes what it can and fails with the removal''s -1 for the read-only package' {
    Assert-Run (Invoke-DeployScript 'remediate.ps1' $programs) @{ ExitCode = 255; Stdout = ''; Stderr = ''
      Verdicts = @{ Remediation = 'failed'; Install = 'failed' } }
    Test-Inf 'oem3.inf' | Should -BeFalse
    Test-Inf 'oem4.inf' | Should -BeFalse
    Test-Inf 'oem7.inf' | Should -BeTrue
    Test-Inf 'oem9.inf' | Should -BeTrue -Because 'no rule takes it'
  }

  It 'detection then lists the package that is left' {
    Assert-Run (Invoke-DeployScript 'detect-remediation.ps1' $programs) @{ ExitCode = 1; Stderr = ''
      Stdout = '1 package to remove: oem7.inf (Tamrix NXR KLT)'; Verdicts = @{ Remediations = 'remediation runs' } }
  }

  It 'once the package can be removed, the remediation succeeds' {
    Set-InfFile 'oem7.inf' 'DESCR1="Tamrix NXR KLT"'
    Assert-Run (Invoke-DeployScript 'remediate.ps1' $programs) @{ ExitCode = 0; Stdout = ''; Stderr = ''
      Verdicts = @{ Remediation = 'remediated'; Install = 'succeeded' } }
    Test-Inf 'oem7.inf' | Should -BeFalse
    Test-Inf 'oem9.inf' | Should -BeTrue
  }

  It 'with nothing left, detection says so and the app is there' {
    Assert-Run (Invoke-DeployScript 'detect-remediation.ps1' $programs) @{ ExitCode = 0; Stderr = ''
      Stdout = 'Nothing to remove'; Verdicts = @{ Remediations = 'no remediation' } }
    Assert-Run (Invoke-DeployScript 'detect-app.ps1' $programs) @{ ExitCode = 0; Stderr = ''
      Stdout = 'Nothing left to remove'; Verdicts = @{ Intune = 'detected'; ConfigurationManager = 'installed' } }
  }
}
