#!/bin/bash
# Runs the tools' scenarios under Wine and natively on identical inputs and compares what they wrote,
# the boxes they showed and the registry they left; once under a Japanese locale (ANSI code page 932)
# and once under an English one (1252), then compares the two Wine runs with each other. One line
# per scenario and locale, then "N passed, M failed".
#   tests/wine/run.sh NATIVE_BIN_DIR WIN_BIN_DIR [scenario-name-substring ...]
# VNAUDIO_WINE_LOCALES picks the locales (default "ja_JP.UTF-8:932 en_US.UTF-8:1252").
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
    echo "usage: $0 NATIVE_BIN_DIR WIN_BIN_DIR [scenario ...]" >&2
    exit 2
fi
native=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
shift 2

. "$here/setup_prefix.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/vnaudio-wine.XXXXXX")
cleanup() {
    stop_wine
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

setup_failed() {
    echo "FAIL  wine setup (see above)"
    echo "$passed passed, $((failed + 1)) failed"
    exit 1
}

passed=0 failed=0

# Adds the closing "N passed, M failed" of a scenarios.py log to the totals.
count_log() {
    local line
    line=$(tail -n 1 "$1")
    if [[ $line =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=$((passed + BASH_REMATCH[1])) failed=$((failed + BASH_REMATCH[2]))
    else
        echo "FAIL  scenarios.py ended without its count ($(basename "$1"))"
        failed=$((failed + 1))
    fi
}

# One locale's run in a prefix and wineserver of its own (a subshell: the locale's environment stays
# there), its lines in $work/<tag>.log, closed by its count.
run_locale() {
    local entry=$1 name code_page tag started
    shift
    name=${entry%%:*} code_page=${entry##*:} tag=${entry%%_*}
    started=$SECONDS
    trap stop_wine EXIT
    if ! make_locale "$work/locale-$tag" "$name" || ! make_prefix "$work/prefix-$tag" ||
       ! check_round_trip "$win/boxdriver.exe" "$code_page"; then
        echo "FAIL  wine setup for $name (see above)"
        echo "0 passed, 1 failed"
        return
    fi
    echo "$(wine --version 2>/dev/null) ready in $((SECONDS - started)) s ($WINEARCH prefix, LC_ALL=$LC_ALL, code page $code_page)"
    VNAUDIO_WINE_LOCALE=$tag VNAUDIO_WINE_CODE_PAGE=$code_page python3 "$here/scenarios.py" "$native" "$win" "$work/$tag" "$@"
}

check_wine || setup_failed
use_wine_loader "$work" || setup_failed
[ -f "$win/boxdriver.exe" ] || { echo "wine setup: $win/boxdriver.exe is not built" >&2; setup_failed; }

# The programs under test are what players get: checked before they are run (a 64-bit test build
# is not what players get, and is not checked).
if [ "${VNAUDIO_WINE_ARCH:-win32}" = win32 ]; then
    if pe_report=$(bash "$here/check_pe.sh" "$win" 2>&1); then
        passed=$((passed + 1))
        echo "ok    windows executables: PE32 i386, GUI, system DLLs only, wide calls"
    else
        failed=$((failed + 1))
        echo "FAIL  windows executables"
        sed 's/^/      /' <<<"$pe_report"
    fi
fi

# The locales run side by side: each spends most of its time waiting for Wine to start programs.
tags=() pids=()
for entry in ${VNAUDIO_WINE_LOCALES:-ja_JP.UTF-8:932 en_US.UTF-8:1252}; do
    tag=${entry%%_*}
    (run_locale "$entry" "$@") >"$work/$tag.log" 2>&1 &
    pids+=($!) tags+=("$work/$tag")
done
for i in "${!tags[@]}"; do
    wait "${pids[$i]}"
    grep -Ev '^[0-9]+ passed, [0-9]+ failed$' "${tags[$i]}.log"
    count_log "${tags[$i]}.log"
done

# What a person finds after each run must not depend on the system's code page.
if [ ${#tags[@]} -ge 2 ]; then
    python3 "$here/scenarios.py" --compare-locales "${tags[@]}" >"$work/compare.log"
    grep -Ev '^[0-9]+ passed, [0-9]+ failed$' "$work/compare.log"
    count_log "$work/compare.log"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
