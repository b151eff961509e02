#!/usr/bin/env bash
# Checks the Windows programs: 32-bit i386 PE, GUI subsystem, importing only KERNEL32, USER32,
# ADVAPI32 and msvcrt, and the ANSI calls they are defined by.
set -u
dir=${1:-build-win/bin}
objdump=$(command -v i686-w64-mingw32-objdump || echo objdump)
status=0
fail() { echo "check_pe: $*"; status=1; }
for tool in drusel tormel plovenak; do
    exe=$dir/$tool.exe
    if [ ! -f "$exe" ]; then
        [ "$tool" = drusel ] && fail "$exe missing"
        continue
    fi
    headers=$("$objdump" -p "$exe") || { fail "$exe: objdump failed"; continue; }
    grep -q 'file format pei-i386' <<<"$headers" || fail "$exe: not an i386 PE"
    grep -qE '^Magic[[:space:]]+010b' <<<"$headers" || fail "$exe: not PE32"
    grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "$exe: not the Windows GUI subsystem"
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
    for dll in $dlls; do
        case $dll in KERNEL32.DLL|USER32.DLL|ADVAPI32.DLL|MSVCRT.DLL) ;; *) fail "$exe imports $dll" ;; esac
    done
    grep -qw MessageBoxA <<<"$headers" || fail "$exe does not import MessageBoxA"
    grep -qw RegOpenKeyExA <<<"$headers" || fail "$exe does not import RegOpenKeyExA"
    [ $status -eq 0 ] && echo "check_pe: $exe ok ($dlls)"
done
exit $status
