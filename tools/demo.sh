#!/usr/bin/env bash
# The whole job in one command: builds the native programs, makes a sample RealLive-style game and
# runs tormel, plovenak and drusel on it one after the other, as a player would, then says what
# each one did.
#
#   bash tools/demo.sh [FOLDER]     FOLDER defaults to ./demo
#
# FOLDER is made anew on every run when an earlier run made it; any other existing folder is left
# alone. The registry the tools see is FOLDER/registry.reg. Every question a tool asks is answered
# from its standard input; the demo expects none and gives none, so an unexpected question ends in
# Abort and the demo fails.
#
# VNAUDIO_DEMO_BIN=DIR uses the programs in DIR instead of building build/ (the tests do that).
# SCMPX_LAME names the LAME program the MP3 step uses (default: lame on PATH).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dest=${1:-demo}
dest=${dest%/}
[ -n "$dest" ] || dest=/

say() { printf '%s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds() { awk -v ms="$1" 'BEGIN { printf "%.2f s", ms / 1000 }'; }
human() {
    awk -v b="$1" 'BEGIN { if (b >= 1e6) printf "%.1f MB", b / 1e6; else if (b >= 1e3) printf "%.0f KB", b / 1e3; else printf "%d bytes", b }'
}
# Shift_JIS text as the terminal shows it; the bytes as they are if iconv cannot.
from_sjis() {
    if command -v iconv >/dev/null; then tr -d '\r' | iconv -c -f CP932 -t UTF-8; else tr -d '\r'; fi
}
bytes_of() { find "$@" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }

# --- the programs ----------------------------------------------------------------------------
if [ -n "${VNAUDIO_DEMO_BIN:-}" ]; then
    bin=$(cd "$VNAUDIO_DEMO_BIN" && pwd)
else
    command -v cmake >/dev/null || fail "cmake is missing (Debian: apt-get install cmake g++ libgtest-dev)"
    command -v c++ >/dev/null || command -v g++ >/dev/null ||
        fail "a C++ compiler is missing (Debian: apt-get install g++)"
    mkdir -p "$root/build"
    log="$root/build/demo-build.log"
    say "Building tormel, plovenak, drusel and their helpers in build/ (log: build/demo-build.log) ..."
    started=$(now_ms)
    if ! { cmake -S "$root" -B "$root/build" &&
           cmake --build "$root/build" -j2 --target tormel plovenak drusel scmpx make_sample_game; } \
           >"$log" 2>&1; then
        tail -n 30 "$log" >&2
        fail "the build failed; the whole log is in $log"
    fi
    say "  built in $(seconds $(($(now_ms) - started)))"
    bin=$root/build/bin
fi
for program in make_sample_game tormel plovenak drusel; do
    [ -x "$bin/$program" ] || fail "$bin/$program is missing"
done

demo_started=$(now_ms)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- spoken voices, when a speech synthesiser is at hand -------------------------------------
# Three speakers, three lines each; each speaker's lines become one voice archive.
voice_note="synthetic voices: install espeak-ng for spoken ones"
voice_args=()
if command -v espeak-ng >/dev/null; then
    mkdir "$work/voices"
    n=0
    while IFS='|' read -r pitch speed text; do
        n=$((n + 1))
        if ! espeak-ng -v ja -p "$pitch" -s "$speed" -w "$work/voices/$(printf '%02d' "$n").wav" "$text" \
               >/dev/null 2>&1; then
            voice_note="synthetic voices: espeak-ng could not speak Japanese here"
            rm -rf "$work/voices"
            break
        fi
    done <<'LINES'
75|150|おはよう。きょうも いい てんき だね。
75|150|ねえ、あの ときの やくそく、おぼえてる？
75|150|また あした、がっこうで ね。
30|140|ちょっと まって。いっしょに かえろう。
30|140|しんぱい しないで。おれは だいじょうぶ だから。
30|140|さくらが きれいだな。
55|160|ほんとうに、それで いいの？
55|160|ありがとう。ずっと わすれない から。
55|160|さようなら。げんきで ね。
LINES
    if [ -d "$work/voices" ]; then
        voice_note="voices spoken by espeak-ng"
        voice_args=(--voices "$work/voices")
    fi
fi

# --- the encoder for drusel ------------------------------------------------------------------
lame_program=${SCMPX_LAME:-lame}
encoder_args=()
have_lame=false
if [ -x "$bin/scmpx" ] && command -v "$lame_program" >/dev/null; then
    have_lame=true
    # drusel starts the encoder directly with its arguments, so the path may hold blanks.
    encoder_args=(--encoder "$bin/scmpx")
fi

# --- the sample game -------------------------------------------------------------------------
game_note=$("$bin/make_sample_game" ${voice_args[@]+"${voice_args[@]}"} ${encoder_args[@]+"${encoder_args[@]}"} "$dest") ||
    fail "no sample game was made"
game=$(cd "$dest" && pwd)
registry=$game/registry.reg
logs=$game/demo-logs
mkdir "$logs"

# Runs one tool in a folder with the demo's registry and no answers on standard input; its
# output goes to demo-logs. Stops the demo when the tool fails.
run_tool() {
    local name=$1 folder=$2 status=0 started
    started=$(now_ms)
    (cd "$folder" && PATH="$bin:$PATH" VNAUDIO_REGISTRY="$registry" "$bin/$name" </dev/null \
        >"$logs/$name.out" 2>"$logs/$name.err") || status=$?
    tool_ms=$(($(now_ms) - started))
    if [ "$status" -ne 0 ]; then
        say "" "$name failed (exit status $status). What it said:" >&2
        tail -n 20 "$logs/$name.err" "$logs/$name.out" >&2
        fail "stopped after $name; the game folder stays as it is: $dest"
    fi
}

run_tool tormel "$game"
tormel_ms=$tool_ms
run_tool plovenak "$game"
plovenak_ms=$tool_ms
wav_bytes=$(bytes_of "$game/koewav")
if $have_lame; then
    run_tool drusel "$game/koewav"
    drusel_ms=$tool_ms
fi

# --- what happened ---------------------------------------------------------------------------
tracks=$(grep -c '^#CDTRACK' "$game/GAMEEXE.INI" || true)
dstracks=$(grep -c '^#DSTRACK' "$game/GAMEEXE.org" || true)
[ "$tracks" -eq "$dstracks" ] || fail "tormel wrote $tracks #CDTRACK lines for $dstracks #DSTRACK entries"
whole_example=$(awk '/^#CDTRACK = [0-9]+:00:00:00 - 00:00:00:00 - 00:00:00:00/ { print; exit }' \
                    "$game/GAMEEXE.INI" | from_sjis)
timed_example=$(awk '/^#CDTRACK/ && !/ - 00:00:00:00 - / { print; exit }' "$game/GAMEEXE.INI" | from_sjis)
settings=$(awk '/^#(BGM_MODE|CDDA_|SYSCOM\.011)/ { sub(/\r$/, ""); printf "%s%s", n++ ? ", " : "", $0 }' \
               "$game/GAMEEXE.INI" | from_sjis)
table_lines=$(grep -c . "$game/_inmm.ini" || true)
last_track=$(printf '%02d' $((tracks + 1)))

voices=$(grep -c ' -> ' "$logs/plovenak.out" || true)
archives=$(find "$game/koewav" -mindepth 1 -maxdepth 1 -type d | wc -l)
koe_folder=$(grep -i '^"KOE_FOLDER"=' "$registry" | tr -d '\r' | sed 's/^[^=]*=//')
restore_value=$(grep -i '^"KOE_FOLDER"=' "$game/koe_restore.reg" | tr -d '\r' | sed 's/^[^=]*=//')
first_voice=$(cd "$game" && find koewav -type f -name '*.WAV' | LC_ALL=C sort | awk 'NR == 1')

say ""
say "vnaudio demo in $dest/"
say "  the game  a RealLive-style game: $game_note ($voice_note)"
say "  tormel    $tracks music tracks turned into emulated CD tracks 02-$last_track ($(seconds "$tormel_ms")), e.g."
say "              $whole_example"
say "              $timed_example"
say "            track table for _inmm.dll: $dest/_inmm.ini ($table_lines lines, like $(head -n 1 "$game/_inmm.ini" | tr -d '\r'))"
say "            music settings switched to CD audio: $settings"
say "            the game's own GAMEEXE.INI kept as GAMEEXE.org; its box: $(tr -s '\n' ' ' <"$logs/tormel.err" | sed 's/ $//')"
say "  plovenak  $voices voices unpacked from $archives archives into $dest/koewav: $(human "$wav_bytes") of 16-bit WAV in $(seconds "$plovenak_ms")"
say "            KOE_FOLDER is now $koe_folder; $dest/koe_restore.reg puts back $restore_value"
if $have_lame; then
    converted=$(grep -c -- ' -e -w ' "$logs/drusel.out" || true)
    still_wav=0
    while IFS= read -r -d '' file; do
        if [ "$(head -c 4 "$file")" = RIFF ]; then still_wav=$((still_wav + 1)); fi
    done < <(find "$game/koewav" -type f -print0)
    [ "$still_wav" -eq 0 ] || fail "drusel left $still_wav voices as WAV"
    mp3_bytes=$(bytes_of "$game/koewav")
    say "  drusel    $converted voices converted to MP3 by scmpx (LAME): $(human "$wav_bytes") of WAV became $(human "$mp3_bytes") ($(seconds "$drusel_ms"));"
    say "            each voice keeps its name, e.g. $first_voice now holds MP3 data"
else
    say "  drusel    skipped: no LAME here, so there is no real MP3 encoder. For real MP3s:"
    say "              sudo apt-get install lame   and run this demo again (drusel then converts the voices)"
fi
say ""
say "Where to look:"
look() { printf '  %-28s %s\n' "$dest/$1" "$2"; }
look GAMEEXE.INI "the rewritten settings (Shift_JIS): iconv -f CP932 -t UTF-8 $dest/GAMEEXE.INI"
look GAMEEXE.org "the game's own: diff $dest/GAMEEXE.org $dest/GAMEEXE.INI | iconv -f CP932 -t UTF-8"
look _inmm.ini "the CD track table"
if $have_lame; then
    look koewav/ "the voices, one folder per archive: MP3 data under the .WAV names"
else
    look koewav/ "the voices as 16-bit WAV, one folder per archive"
fi
look koe_restore.reg "the registry script that puts the old voice folder back"
look registry.reg "the registry the tools used (HKEY_CURRENT_USER)"
look demo-logs/ "everything the tools printed"
say ""
say "All done in $(seconds $(($(now_ms) - demo_started))) after the build."
