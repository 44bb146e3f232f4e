# Builds kalvo-update.exe with Visual Studio and CMake, with the README's own
# commands: build\Release\kalvo-update.exe.
$ErrorActionPreference = 'Stop'
Set-Location (Join-Path $PSScriptRoot '..\..')
cmake -S . -B build -A x64 -DKALVO_VENDOR_ID=0x3A7C
if ($LASTEXITCODE) { exit $LASTEXITCODE }
cmake --build build --config Release
exit $LASTEXITCODE
