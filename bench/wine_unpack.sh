#!/bin/bash
# plovenak.exe under Wine against the native plovenak on the same generated game, in alternating
# runs (native, Wine, native, Wine, ...), each run a whole process in a fresh koewav; prints every
# run's wall time and the medians and ratio.
# Usage: bench/wine_unpack.sh NATIVE_BIN WINDOWS_BIN [VOICES [RUNS]]
#   NATIVE_BIN holds bench_unpack and plovenak, WINDOWS_BIN plovenak.exe (i686, or x86_64 with
#   VNAUDIO_WINE_ARCH=win64). 2,000 voices and 5 runs by default. Writes below $TMPDIR, removed at
#   the end.
set -u
native=$(cd "$1" && pwd) windows=$(cd "$2" && pwd) voices=${3:-2000} runs=${4:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tests/wine/setup_prefix.sh"
check_wine || exit 1

root=$(mktemp -d "${TMPDIR:-/tmp}/vnaudio-wine-bench-XXXXXX")
trap 'wineserver -k 2>/dev/null; rm -rf "$root"' EXIT
use_wine_loader "$root/loader" || exit 1
"$native/bench_unpack" "$voices" "$root/set" --only setup >/dev/null || exit 1
make_prefix "$root/prefix" || exit 1
game=$root/game
mkdir -p "$game"
mv "$root/set/voice" "$game/voice"
rm -rf "$root/set"
printf '#REGNAME = "vnaudio_bench"\r\n' >"$game/GAMEEXE.INI"
cp "$windows/plovenak.exe" "$game/"
export VNAUDIO_REGISTRY=$root/registry.reg

# Puts the game back as it was before a run: no koewav, KOE_FOLDER at voice.
reset_game() {
    rm -rf "$game/koewav" "$game/koe_restore.reg"
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\vnaudio_bench]\n"KOE_FOLDER"="voice"\n' >"$VNAUDIO_REGISTRY"
    wine reg add 'HKCU\Software\vnaudio_bench' /v KOE_FOLDER /d voice /f >/dev/null 2>&1
    sync
}

# Wall seconds of one run; the run's output goes to $root/last.log.
time_run() {
    reset_game
    local start end
    start=$(date +%s.%N)
    (cd "$game" && "$@" >"$root/last.log" 2>&1) || { echo "run failed: $*" >&2; tail -5 "$root/last.log" >&2; exit 1; }
    end=$(date +%s.%N)
    [ "$(find "$game/koewav" -name '*.WAV' | wc -l)" = "$voices" ] || { echo "run left too few voices: $*" >&2; exit 1; }
    echo "$end - $start" | bc
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "$voices voices, $(nproc) processors, load: $(cut -d' ' -f1-3 /proc/loadavg), free MB: $(free -m | awk '/^Mem/ { print $4 }')"
time_run "$native/plovenak" >/dev/null   # warm-up of both
time_run wine ./plovenak.exe >/dev/null
: >"$root/native.txt"
: >"$root/wine.txt"
for ((k = 0; k < runs; ++k)); do
    n=$(time_run "$native/plovenak")
    w=$(time_run wine ./plovenak.exe)
    echo "$n" >>"$root/native.txt"
    echo "$w" >>"$root/wine.txt"
    printf 'run %d: native %.2f s, Wine %.2f s, ratio %.2f\n' "$((k + 1))" "$n" "$w" "$(echo "$w / $n" | bc -l)"
done
n=$(median <"$root/native.txt") w=$(median <"$root/wine.txt")
printf 'median: native %.2f s, Wine %.2f s, Wine / native %.2f\n' "$n" "$w" "$(echo "$w / $n" | bc -l)"
