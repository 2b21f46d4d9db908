#!/bin/sh
# Checks a Windows executable: it imports only DLLs that every Windows has, and it embeds
# the long-path-aware manifest.
set -eu
exe=$1
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $imports)"
for dll in $imports; do
  case "$dll" in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll|shell32.dll|ws2_32.dll|api-ms-win-*) ;;
    *) echo "not a Windows system DLL: $dll"; exit 1 ;;
  esac
done
grep -q '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>' "$exe" ||
  { echo "no long-path manifest in $exe"; exit 1; }
grep -q 'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"' "$exe" ||
  { echo "the manifest does not name Windows 10"; exit 1; }
echo "ok"
