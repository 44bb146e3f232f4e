# Lists the program's imports with Visual Studio's dumpbin and judges the
# listing by the expectations of the import check that the Linux build runs
# on the MinGW-w64 program (tests/check_imports.py).
param([Parameter(Mandatory)][string]$Exe)
$ErrorActionPreference = 'Stop'
$vswhere = Join-Path ${env:ProgramFiles(x86)} 'Microsoft Visual Studio\Installer\vswhere.exe'
$dumpbin = & $vswhere -latest -products * -find 'VC\Tools\MSVC\**\bin\Hostx64\x64\dumpbin.exe' |
  Select-Object -First 1
if (-not $dumpbin) { throw 'dumpbin.exe was not found in the Visual Studio installation' }
$listing = "$Exe.imports.txt"
& $dumpbin /nologo /imports /dependents $Exe | Out-File -Encoding utf8 $listing
if ($LASTEXITCODE) { exit $LASTEXITCODE }
Get-Content $listing
python (Join-Path $PSScriptRoot '..\..\tests\check_imports.py') --dumpbin $listing
exit $LASTEXITCODE
