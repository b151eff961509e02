#!/bin/bash
# Runs the tools' scenarios under Wine and natively on identical inputs and compares what they wrote,
# the boxes they showed and the registry they left. One line per scenario, then "N passed, M failed".
#   tests/wine/run.sh NATIVE_BIN_DIR WIN_BIN_DIR [scenario-name-substring ...]
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
    echo "0 passed, 1 failed"
    exit 1
}

started=$SECONDS
check_wine || setup_failed
[ -f "$win/boxdriver.exe" ] || { echo "wine setup: $win/boxdriver.exe is not built" >&2; setup_failed; }
make_locale "$work/locale" || setup_failed
make_prefix "$work/prefix" || setup_failed
check_round_trip "$win/boxdriver.exe" || setup_failed
echo "$(wine --version 2>/dev/null) ready in $((SECONDS - started)) s (prefix $WINEPREFIX, LC_ALL=$LC_ALL)"

# The programs under test are what players get: checked before they are run.
pe_passed=0 pe_failed=0
if pe_report=$(bash "$here/check_pe.sh" "$win" 2>&1); then
    pe_passed=1
    echo "ok    windows executables: PE32 i386, GUI, system DLLs only"
else
    pe_failed=1
    echo "FAIL  windows executables"
    sed 's/^/      /' <<<"$pe_report"
fi

VNAUDIO_WINE_PRIOR="$pe_passed $pe_failed" python3 "$here/scenarios.py" "$native" "$win" "$work" "$@"
