#!/usr/bin/env bash
# The whole test suite: the native build and its tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows build with its executable checks, and the Windows
# programs under Wine. Groups that cannot run here are named with the reason; under CI nothing may
# be skipped.
set -u
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
passed=0 failed=0 skipped=0
declare -a notes=()

note() { notes+=("$1"); echo "== $1"; }

# Adds the counts of a ctest run (from its log) to the totals.
count_ctest() {
    local log=$1 total fails skips
    total=$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    fails=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    skips=$(grep -c '\*\*\*Skipped\| Skipped ' "$log" 2>/dev/null)
    if [ -z "$total" ]; then failed=$((failed + 1)); return; fi
    passed=$((passed + total - fails - skips)); failed=$((failed + fails)); skipped=$((skipped + skips))
}

run_native() {  # build dir, extra cmake args...
    local dir=$1; shift
    if ! cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1; then
        cat "$dir.configure.log"; note "$dir: configure failed"; failed=$((failed + 1)); return
    fi
    if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
        tail -n 60 "$dir.build.log"; note "$dir: build failed"; failed=$((failed + 1)); return
    fi
    (cd "$dir" && ctest -j"$jobs" --output-on-failure) 2>&1 | tee "$dir.test.log"
    count_ctest "$dir.test.log"
    local skips
    skips=$(grep -c '\*\*\*Skipped\| Skipped ' "$dir.test.log")
    [ "$skips" -gt 0 ] && note "$dir: $skips test(s) skipped (see the reasons above)"
}

run_native build
run_native build-asan -DVNAUDIO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

# ---- Windows: the product build, its package, and the programs under Wine.
# The broad net: every scenario under both locales, on the i686 programs where this kernel runs them
# natively, else on a 64-bit build of the same sources (build-win64). The product check: the i686
# programs themselves do the main job of each tool, natively or emulated by qemu-user (i686.sh),
# compared with build-win64 doing the same, and where they run natively, emulated as well.
# VNAUDIO_I686_WAY=emulated forces the emulator everywhere.

# Adds the closing "N passed, M failed" of a log to the totals.
count_closing() {
    local line
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1)
    if [ -n "$line" ]; then
        p=${line%% passed*}; rest=${line#*passed, }; f=${rest%% failed*}
        passed=$((passed + p)); failed=$((failed + f))
    else
        note "$2: no result line"; failed=$((failed + 1))
    fi
}

# A group that cannot run: under CI a failure, said loudly; elsewhere a skip.
cannot_run() {
    if [ "${CI:-}" = true ]; then
        note "FAILED (CI must run it): $1"; failed=$((failed + 1))
    else
        note "$1"; skipped=$((skipped + 1))
    fi
}

if command -v i686-w64-mingw32-g++-win32 >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null; then
    if cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake >build-win.configure.log 2>&1 &&
       cmake --build build-win -j"$jobs" >build-win.build.log 2>&1; then
        rm -f build-win/vnaudio-*-win32.zip
        if cmake --build build-win --target package >build-win.package.log 2>&1 &&
           bash tests/wine/check_package.sh build-win/vnaudio-*-win32.zip; then
            passed=$((passed + 1))
        else
            tail -n 20 build-win.package.log; failed=$((failed + 1))
        fi
        win64_bin=
        if command -v x86_64-w64-mingw32-g++-win32 >/dev/null || command -v x86_64-w64-mingw32-g++ >/dev/null; then
            if cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >build-win64.configure.log 2>&1 &&
               cmake --build build-win64 -j"$jobs" >build-win64.build.log 2>&1; then
                win64_bin=build-win64/bin
            else
                tail -n 60 build-win64.build.log; note "64-bit test build failed"; failed=$((failed + 1))
            fi
        else
            note "64-bit test build skipped: g++-mingw-w64-x86-64-win32 is missing"; skipped=$((skipped + 1))
        fi
        if ! command -v wine >/dev/null; then
            if bash tests/wine/check_pe.sh build-win/bin; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
            cannot_run "Wine scenarios and the product check: wine is not installed (dpkg --add-architecture i386; apt-get install wine wine32 wine64 locales qemu-user-static)"
        else
            . tests/wine/i686.sh
            choose_i686_way
            export I686_WAY I686_NOTE
            wine_bin=
            if [ "$I686_WAY" = native ]; then
                wine_bin=build-win/bin wine_arch=win32
                note "broad net on the i686 programs: $I686_NOTE"
            elif [ -n "$win64_bin" ]; then
                # The i686 programs are checked here; the scenarios check them only when they run them.
                bash tests/wine/check_pe.sh build-win/bin && passed=$((passed + 1)) || failed=$((failed + 1))
                wine_bin=$win64_bin wine_arch=win64
                note "broad net on the 64-bit test build: the i686 programs do not run natively here"
            else
                cannot_run "Wine scenarios: the i686 programs do not run natively here and the 64-bit test build is missing"
            fi
            if [ -n "$wine_bin" ]; then
                started=$SECONDS
                VNAUDIO_WINE_ARCH=$wine_arch bash tests/wine/run.sh build/bin "$wine_bin" 2>&1 | tee build-win.wine.log
                count_closing build-win.wine.log "Wine scenarios"
                note "broad net took $((SECONDS - started)) s"
            fi
            if [ "$I686_WAY" = none ]; then
                cannot_run "product check: $I686_NOTE"
            elif [ -z "$win64_bin" ]; then
                cannot_run "product check: it compares with the 64-bit test build, which is missing"
            else
                started=$SECONDS
                bash tests/wine/product.sh build/bin build-win/bin "$win64_bin" 2>&1 | tee build-win.product.log
                count_closing build-win.product.log "product check"
                note "product check (${I686_WAY}) took $((SECONDS - started)) s: $I686_NOTE"
                # Where the programs ran natively, the way a kernel without 32-bit support takes is
                # run too (under a minute), so that it is known to work before such a machine needs it.
                if [ "$I686_WAY" = native ]; then
                    if [ -x "$I686_QEMU" ]; then
                        started=$SECONDS
                        I686_WAY= VNAUDIO_I686_WAY=emulated bash tests/wine/product.sh build/bin build-win/bin "$win64_bin" 2>&1 |
                            tee build-win.product-emulated.log
                        count_closing build-win.product-emulated.log "product check (emulated)"
                        note "product check (emulated, as on a kernel without 32-bit support) took $((SECONDS - started)) s"
                    else
                        cannot_run "product check (emulated): $I686_QEMU is missing (apt-get install qemu-user-static)"
                    fi
                fi
            fi
        fi
    else
        tail -n 60 build-win.build.log; note "Windows build failed"; failed=$((failed + 1))
    fi
else
    cannot_run "Windows build: mingw-w64 is not installed (apt-get install g++-mingw-w64-i686-win32)"
fi

# ---- Fuzzing (fuzz/): every target for a bounded time, FUZZ_SECONDS in all (180), built with
# clang, libFuzzer, ASan and UBSan; each target counts as one test.
if command -v clang++ >/dev/null; then
    if CXX=clang++ cmake -S . -B build-fuzz -DVNAUDIO_FUZZ=ON >build-fuzz.configure.log 2>&1 &&
       cmake --build build-fuzz -j"$jobs" --target fuzzers >build-fuzz.build.log 2>&1; then
        bash fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-180}" 2>&1 | tee build-fuzz.run.log
        line=$(grep -E '^fuzz: [0-9]+ targets, [0-9]+ runs, [0-9]+ failed' build-fuzz.run.log | tail -n 1)
        if [ -n "$line" ]; then
            t=$(echo "$line" | sed 's/^fuzz: \([0-9]*\) targets.*/\1/')
            f=$(echo "$line" | sed 's/.* \([0-9]*\) failed$/\1/')
            passed=$((passed + t - f)); failed=$((failed + f))
        else
            note "fuzzing: no result line"; failed=$((failed + 1))
        fi
    else
        tail -n 60 build-fuzz.configure.log build-fuzz.build.log; note "fuzz build failed"; failed=$((failed + 1))
    fi
else
    note "Fuzzing skipped: clang is not installed (apt-get install clang libclang-rt-14-dev)"
    skipped=$((skipped + 1))
fi
# ---- end of fuzzing

echo
for n in "${notes[@]}"; do echo "note: $n"; done
if [ "${CI:-}" = true ] && [ "$skipped" -gt 0 ]; then
    echo "CI must run every group: $skipped skipped"
    failed=$((failed + skipped))
fi
echo "total: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
