#!/bin/bash
# Checks that the Windows programs are what players get: PE32 i386, Windows GUI subsystem, importing
# nothing beyond KERNEL32, USER32, ADVAPI32, GDI32, COMCTL32 (the progress bar) and msvcrt (no runtime
# DLLs to ship), and reaching names, the registry and boxes through the wide (W) calls only: an ANSI call would read and write Japanese
# names in the system's code page, garbled on every non-Japanese Windows.
#   tests/wine/check_pe.sh WIN_BIN_DIR [program.exe ...]     (default: tormel.exe plovenak.exe drusel.exe)
set -u
export LC_ALL=C   # objdump's headings are matched in English
if [ $# -lt 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 WIN_BIN_DIR [program.exe ...]" >&2
    exit 2
fi
dir=$1
shift
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=(tormel.exe plovenak.exe drusel.exe)

objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump || true)
if [ -z "$objdump" ]; then
    echo "check_pe: no objdump found (install binutils-mingw-w64-i686)" >&2
    exit 2
fi

allowed=" kernel32.dll user32.dll advapi32.dll gdi32.dll comctl32.dll msvcrt.dll "
failed=0
for program in "${programs[@]}"; do
    path=$dir/$program
    problems=()
    if [ ! -f "$path" ]; then
        problems+=("missing")
    else
        dump=$("$objdump" -p "$path" 2>&1)
        grep -q "file format pei-i386" <<<"$dump" || problems+=("not a PE32 i386 image")
        grep -Eq "^Magic[[:space:]]+010b" <<<"$dump" || problems+=("not PE32 (magic 010b)")
        grep -Eq "^Subsystem[[:space:]]+00000002" <<<"$dump" || problems+=("not the Windows GUI subsystem")
        imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
        [ -n "$imports" ] || problems+=("no import table found")
        for dll in $imports; do
            [[ $allowed == *" $dll "* ]] || problems+=("imports $dll")
        done
        for call in MessageBoxW RegOpenKeyExW RegQueryValueExW _wfopen __wgetmainargs; do
            grep -Eq "[[:space:]]$call\$" <<<"$dump" || problems+=("does not import $call")
        done
        for call in MessageBoxA RegOpenKeyExA RegQueryValueExA RegSetValueExA FindFirstFileA FindNextFileA \
                    CreateProcessA MoveFileExA _findfirst _findnext fopen _access _mkdir _chdir remove rename; do
            grep -Eq "[[:space:]]$call\$" <<<"$dump" && problems+=("imports the ANSI call $call")
        done
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok    $program: PE32 i386, GUI, imports $(echo $imports | tr '\n' ' ')"
    else
        failed=1
        printf 'FAIL  %s: %s\n' "$program" "$(IFS=';'; echo "${problems[*]}")"
    fi
done
exit $failed
