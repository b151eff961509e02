#!/bin/bash
# The product check: the i686 programs players get and a 64-bit build of the same sources do the
# main job of each program under Wine (product.py), each in a prefix of its own under an English
# locale (code page 1252, where the Japanese names are hardest), and must leave the same files,
# registry values, boxes and streams.
#
# Both prefixes are 64-bit, as the Windows most players have: the i686 programs run there as 32-bit
# programs do on 64-bit Windows, through Wine's WoW64 and its 32-bit loader, natively or emulated
# (i686.sh). Everything else (wineboot, Wine's services, regedit, the box driver, the stand-in
# encoder) is 64-bit and native on both sides, so under emulation only the programs under test pay.
#   tests/wine/product.sh NATIVE_BIN I686_BIN WIN64_BIN
# Closes with "N passed, M failed".
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = --side ]; then
    # One build's run, in the current process: --side NAME WIN_BIN NATIVE_BIN WORK HELPER_BIN
    name=$2 win=$3 native=$4 work=$5 helpers=$6
    . "$here/setup_prefix.sh"
    export VNAUDIO_WINE_ARCH=win64 VNAUDIO_HELPER_BIN=$helpers
    trap stop_wine EXIT
    started=$SECONDS
    check_wine && use_wine_loader "$work" && make_locale "$work/locale" en_US.UTF-8 &&
        make_prefix "$work/prefix" && check_round_trip "$helpers/boxdriver.exe" 1252 || exit 1
    echo "$name: $(wine --version 2>/dev/null) prefix ready in $((SECONDS - started)) s"
    if [ "$name" = win32 ]; then
        # The 32-bit side proven before it is used: a 32-bit program starts and its status comes
        # back. Emulated, Wine's 32-bit loader has at times failed to place kernel32.dll: tried
        # again, and said.
        loaded=$SECONDS
        for attempt in 1 2 3; do
            check_round_trip "$win/boxdriver.exe" 1252 && break
            [ "$attempt" -eq 3 ] && exit 1
            echo "$name: a 32-bit program did not start (try $attempt of 3)"
        done
        echo "$name: a 32-bit program ran in $((SECONDS - loaded)) s"
    fi
    python3 "$here/product.py" "$native" "$win" "$work/run"
    echo "$name: done in $((SECONDS - started)) s"
    exit
fi
if [ $# -ne 3 ]; then
    echo "usage: $0 NATIVE_BIN I686_BIN WIN64_BIN" >&2
    exit 2
fi
native=$(cd "$1" && pwd) i686=$(cd "$2" && pwd) win64=$(cd "$3" && pwd)
. "$here/i686.sh"
[ -n "${I686_WAY:-}" ] || choose_i686_way
if [ "$I686_WAY" = none ]; then
    echo "FAIL  product check: $I686_NOTE"
    echo "0 passed, 1 failed"
    exit 1
fi
echo "note  product check: $I686_NOTE"
work=$(mktemp -d "${TMPDIR:-/tmp}/vnaudio-product.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/win64" "$work/win32"
started=$SECONDS
bash "$0" --side win64 "$win64" "$native" "$work/win64" "$win64" >"$work/win64.log" 2>&1 &
win64_pid=$!
run_i686 bash "$0" --side win32 "$i686" "$native" "$work/win32" "$win64" >"$work/win32.log" 2>&1
win32_status=$?
wait "$win64_pid"
win64_status=$?
sed 's/^/      /' "$work/win64.log" "$work/win32.log"
echo "note  product check took $((SECONDS - started)) s"
if [ "$win32_status" -ne 0 ] || [ "$win64_status" -ne 0 ]; then
    echo "FAIL  product check: a side could not run (win32 $win32_status, win64 $win64_status; see above)"
    echo "0 passed, 1 failed"
    exit 1
fi
python3 "$here/product.py" --compare "$work/win32/run" "$work/win64/run"
