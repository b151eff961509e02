# Wine for the scenarios: a fresh prefix per locale with headless message boxes, served by one
# wineserver for that locale's run. Sourced by run.sh; every function reports its own failure on
# stderr and answers non-zero. VNAUDIO_WINE_ARCH=win64 runs a 64-bit test build under wine64 on hosts
# whose kernel cannot run 32-bit programs (the product itself is 32-bit).
#
# Packages on a fresh Debian machine:
#   dpkg --add-architecture i386; apt-get update
#   apt-get install --no-install-recommends wine wine32 wine64 g++-mingw-w64-i686-win32 locales

# Checks that an i686 program can really run. wine64 alone "runs" a 32-bit .exe, fails inside it and
# exits 0, so the 32-bit loader is looked for by name and proven by an exit status round trip later.
check_wine() {
    local tool
    if [ "${VNAUDIO_WINE_ARCH:-win32}" = win64 ]; then
        command -v wine >/dev/null && return 0
        echo "wine setup: wine is missing" >&2
        return 1
    fi
    for tool in wine wineboot wineserver regedit localedef; do
        if ! command -v "$tool" >/dev/null; then
            echo "wine setup: $tool is missing (install wine, wine32, wine64 and locales)" >&2
            return 1
        fi
    done
    # Debian's wine32 ships the 32-bit loader as /usr/lib/wine/wine; other layouts name it wine32
    # or keep it in a wine build's own bin folder.
    local loader found=""
    for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine /usr/bin/wine32 /opt/wine*/bin/wine; do
        [ -x "$loader" ] && found=$loader
    done
    if [ -z "$found" ]; then
        echo "wine setup: wine32 (the 32-bit Wine loader) is missing: dpkg --add-architecture i386 &&" \
             "apt-get install wine32. Without it i686 programs exit 0 without running." >&2
        return 1
    fi
}

# Under VNAUDIO_WINE_ARCH=win64, leads every wine call (the wine script prefers the 32-bit loader
# whenever it is installed, even where the kernel cannot run it) to the 64-bit loader.
use_wine_loader() {
    local dir=$1/bin loader
    [ "${VNAUDIO_WINE_ARCH:-win32}" = win64 ] || return 0
    loader=$(ls /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 /opt/wine*/bin/wine64 2>/dev/null | head -n 1)
    if [ -z "$loader" ]; then
        echo "wine setup: no 64-bit Wine loader (wine64) found" >&2
        return 1
    fi
    mkdir -p "$dir"
    printf '#!/bin/sh\nexport WINELOADER=%s\nexec %s "$@"\n' "$loader" "$loader" >"$dir/wine"
    chmod +x "$dir/wine"
    ln -sf wine "$dir/wine-stable"
    export PATH=$dir:$PATH
}

# Uses the system's locale $2 (ja_JP.UTF-8, en_US.UTF-8), or builds it under $1 and points LOCPATH at
# it: Wine takes the ANSI code page from the locale.
make_locale() {
    local dir=$1 name=$2
    if locale -a 2>/dev/null | grep -qix "${name%%.*}\.utf-\?8"; then
        unset LOCPATH
        export LC_ALL=$name
        return 0
    fi
    mkdir -p "$dir"
    if [ ! -d "$dir/$name" ] && ! localedef -i "${name%%.*}" -f UTF-8 "$dir/$name" >"$dir/localedef.log" 2>&1; then
        echo "wine setup: localedef could not build $name (install locales):" >&2
        cat "$dir/localedef.log" >&2
        return 1
    fi
    # bash itself cannot load a locale from LOCPATH and would warn: only the children need it.
    { export LOCPATH=$dir LC_ALL=$name; } 2>/dev/null
}

# A fresh prefix at $1 with Graphics=null; leaves one persistent wineserver running.
make_prefix() {
    export WINEPREFIX=$1 WINEARCH=${VNAUDIO_WINE_ARCH:-win32} WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
    if ! wineboot --init >"$WINEPREFIX.log" 2>&1; then
        echo "wine setup: wineboot --init failed:" >&2
        cat "$WINEPREFIX.log" >&2
        return 1
    fi
    # On a busy machine the first call after wineboot can fail while the prefix's services still
    # start up: wait for them and try again before giving up.
    local tries=0
    until wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$WINEPREFIX.log" 2>&1; do
        tries=$((tries + 1))
        if [ "$tries" -ge 3 ]; then
            echo "wine setup: could not set the null graphics driver:" >&2
            tail -n 20 "$WINEPREFIX.log" >&2
            return 1
        fi
        wineserver -w
        sleep 2
    done
    # The driver is chosen when the server starts: restart it, then keep it for the whole run. The
    # server and the services that the first program starts outlive their callers, so they must not
    # inherit the caller's pipes (a reader would wait for their end forever): files only.
    wineserver -k 2>/dev/null
    wineserver -w
    wineserver -p </dev/null >>"$WINEPREFIX.log" 2>&1
    if ! wineboot </dev/null >>"$WINEPREFIX.log" 2>&1; then
        echo "wine setup: wineboot failed after the restart:" >&2
        cat "$WINEPREFIX.log" >&2
        return 1
    fi
}

# Ends the run's wineserver (if a prefix was made) and waits for it.
stop_wine() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null
        wineserver -w 2>/dev/null
    fi
    return 0
}

# Proves that a Windows program really runs and its exit status comes back: the helper's probe
# prints the ANSI code page ($2, the locale's) and exits with 42.
check_round_trip() {
    local boxdriver=$1 code_page=$2 out status
    wine "$boxdriver" --probe </dev/null >"$WINEPREFIX.probe" 2>&1
    status=$?
    out=$(cat "$WINEPREFIX.probe")
    if [ $status -ne 42 ]; then
        echo "wine setup: $boxdriver --probe exited with $status, not 42 (is wine32 working?): $out" >&2
        return 1
    fi
    if [ "${out//$'\r'/}" != "acp=$code_page" ]; then
        echo "wine setup: the ANSI code page under Wine is not $code_page (locale not in effect): $out" >&2
        return 1
    fi
}
