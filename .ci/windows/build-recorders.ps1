# Builds, with Visual Studio, the DLLs that only record being loaded, under
# the names of the system libraries a careless program would take from its
# own folder, and the probe that loads them by name (e2e/planted_dll, the
# sources the Wine scenarios use): all in OUT\planted.
param([Parameter(Mandatory)][string]$Out)
$ErrorActionPreference = 'Stop'
Set-Location (Join-Path $PSScriptRoot '..\..')
cmake -S e2e/planted_dll -B $Out -A x64
if ($LASTEXITCODE) { exit $LASTEXITCODE }
cmake --build $Out --config Release
exit $LASTEXITCODE
