#!/usr/bin/env bash
# Runs every fuzz target for a bounded time: usage fuzz/run.sh <build dir> [total seconds, 180].
# A target first runs its seed corpus and the inputs that once failed (fuzz/corpus/<target>/),
# then fuzzes for its share of the time, keeping what it learns in <build dir>/fuzz-work/<target>/.
# Any crash, leak, sanitizer report, timeout or failed check fails the run; the input is left in
# <build dir>/fuzz-findings/<target>/ to be fixed and added to fuzz/corpus/<target>/ as a regression.
set -u
if [ $# -lt 1 ]; then
    echo "usage: $0 <build dir> [total seconds]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
total=${2:-180}
corpus=$(cd "$(dirname "$0")" && pwd)/corpus
targets=(fuzz_koepac fuzz_gameexe fuzz_headers fuzz_registry fuzz_wildcard fuzz_mp3_check)
share=$(( total / ${#targets[@]} ))
[ "$share" -lt 1 ] && share=1

failed=0 runs_all=0
for t in "${targets[@]}"; do
    bin=$build/bin/$t
    work=$build/fuzz-work/$t
    findings=$build/fuzz-findings/$t
    log=$build/fuzz-work/$t.log
    if [ ! -x "$bin" ]; then
        echo "$t: not built"
        failed=$((failed + 1))
        continue
    fi
    mkdir -p "$work" "$findings"
    max_len=4096
    case $t in fuzz_koepac | fuzz_gameexe) max_len=8192 ;; esac
    # Standard input is a box's answers; the tools' own messages would only bury the report, so
    # libFuzzer closes both streams and keeps its own copy for reports (-close_fd_mask=3).
    "$bin" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$work" "$corpus/$t" </dev/null >"$log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    runs=${runs:-0}
    runs_all=$((runs_all + runs))
    if [ "$status" -ne 0 ]; then
        failed=$((failed + 1))
        echo "$t: FAILED (status $status) after $runs runs; input in $findings/"
        grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written|#0 |#1 |#2 |#3 ' "$log" | head -n 30
    else
        echo "$t: $runs runs in ${share}s, corpus $(ls "$work" | wc -l) inputs"
    fi
done
echo "fuzz: ${#targets[@]} targets, $runs_all runs, $failed failed"
[ "$failed" -eq 0 ]
