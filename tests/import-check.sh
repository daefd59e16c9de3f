#!/usr/bin/env bash
# Fails when the exe imports a DLL that Windows would look for in the program's
# own folder first (anything outside KnownDLLs, comctl32 aside: the manifest
# sends it to the side-by-side store), or when it lacks ASLR, high-entropy
# ASLR or NX.
#   import-check.sh OBJDUMP EXE
set -euo pipefail
objdump=$1 exe=$2
safe=" advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32
 msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32
 shlwapi user32 wldap32 ws2_32 comctl32 "
header=$("$objdump" -p "$exe")
rc=0
dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$header" | tr 'A-Z' 'a-z' | sed 's/\.dll$//')
[ -n "$dlls" ] || { echo "no import table found in $exe"; exit 1; }
for dll in $dlls; do
  case "$dll" in api-ms-win-*) continue ;; esac
  case "$safe" in *[[:space:]]"$dll"[[:space:]]*) ;; *) echo "unsafe import: $dll.dll"; rc=1 ;; esac
done
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  grep -qw "$flag" <<<"$header" || { echo "missing DllCharacteristics: $flag"; rc=1; }
done
[ $rc = 0 ] && echo "imports:" $dlls
exit $rc
