# How this machine runs the product's 32-bit programs under Wine: natively where the kernel runs
# 32-bit programs, else through qemu-user's i386 emulator registered with binfmt_misc. Sourced by
# tests/run_all.sh and tests/wine/product.sh; run as a script it is the emulated path's entry:
#   bash tests/wine/i686.sh --emulate COMMAND...   (inside a user namespace of its own, see below)
#
# VNAUDIO_I686_WAY=auto (default), native or emulated. "emulated" forces the emulator on a machine
# that could run the programs natively, to test that path. A handler registered machine-wide takes
# every 32-bit program on the machine, so the emulated path first tries a binfmt_misc of its own in a
# new user namespace (Linux 6.7 and later): only the command's processes are emulated. Where that
# cannot be made it uses the machine's binfmt_misc (mounted when it is not), registers the emulator
# only when no handler exists, and removes what it registered when the command ends.

I686_QEMU=${VNAUDIO_QEMU_I386:-/usr/bin/qemu-i386-static}
I686_BINFMT=/proc/sys/fs/binfmt_misc
# ELF, 32-bit, little-endian, executable or shared object, machine i386 (the mask lets e_type be 2 or 3).
I686_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I686_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

i686_loader() {
    local loader
    for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine /usr/bin/wine32; do
        [ -x "$loader" ] && { echo "$loader"; return 0; }
    done
    return 1
}

# Names the enabled handler of the binfmt_misc at $1 that takes the program $2, if one does.
i686_handler() {
    local dir=$1 program=$2 entry offset magic mask header i m k h
    [ -f "$dir/status" ] || return 1
    header=$(od -An -v -tx1 -N 64 "$program" 2>/dev/null | tr -d ' \n')
    for entry in "$dir"/*; do
        case ${entry##*/} in register | status) continue ;; esac
        grep -qx enabled "$entry" 2>/dev/null || continue
        magic=$(sed -n 's/^magic //p' "$entry") mask=$(sed -n 's/^mask //p' "$entry")
        offset=$(sed -n 's/^offset //p' "$entry")
        [ -n "$magic" ] || continue  # a handler by file name extension
        [ -n "$mask" ] || mask=$(printf 'f%.0s' $(seq ${#magic}))
        for ((i = 0; i < ${#magic}; i += 2)); do
            m=$((16#${magic:i:2})) k=$((16#${mask:i:2}))
            h=${header:2*${offset:-0}+i:2}
            [ -n "$h" ] && [ $((16#$h & k)) -eq $((m & k)) ] || continue 2
        done
        echo "${entry##*/}"
        return 0
    done
    return 1
}

i686_register() {  # binfmt_misc folder
    printf '%s' ":qemu-i386:M::$I686_MAGIC:$I686_MASK:$I686_QEMU:F" >"$1/register"
}

# Sets I686_WAY (native, emulated or none) and I686_NOTE, which says which way and why.
choose_i686_way() {
    local loader wanted=${VNAUDIO_I686_WAY:-auto} handler
    I686_WAY=none
    if ! loader=$(i686_loader); then
        I686_NOTE="the 32-bit Wine loader is missing (dpkg --add-architecture i386; apt-get install wine32)"
        return
    fi
    handler=$(i686_handler "$I686_BINFMT" "$loader")
    if [ "$wanted" != emulated ] && [ -z "$handler" ] && "$loader" --version >/dev/null 2>&1; then
        I686_WAY=native I686_NOTE="i686 programs run natively: this kernel runs 32-bit programs"
        return
    fi
    if [ "$wanted" = native ]; then
        I686_NOTE="VNAUDIO_I686_WAY=native, but this kernel cannot run 32-bit programs${handler:+ by itself (binfmt_misc handler $handler)}"
        return
    fi
    if [ ! -x "$I686_QEMU" ]; then
        I686_NOTE="this kernel cannot run 32-bit programs and $I686_QEMU is missing (apt-get install qemu-user-static)"
        return
    fi
    I686_WAY=emulated
    if [ -n "$handler" ]; then
        I686_NOTE="i686 programs run emulated through the machine's binfmt_misc handler $handler"
    elif i686_private_works; then
        I686_NOTE="i686 programs run emulated by $I686_QEMU, registered in a binfmt_misc private to the run (other programs on the machine are not emulated)"
    else
        I686_NOTE="i686 programs run emulated by $I686_QEMU, registered machine-wide with binfmt_misc for the run"
    fi
    [ "$wanted" = emulated ] && I686_NOTE="$I686_NOTE (VNAUDIO_I686_WAY=emulated)"
}

i686_private_works() {
    command -v unshare >/dev/null &&
        unshare --user --map-root-user --mount --fork \
            sh -c "mount -t binfmt_misc binfmt_misc $I686_BINFMT && test -w $I686_BINFMT/register" 2>/dev/null
}

# Runs a command with the 32-bit programs run the chosen way; its exit status.
run_i686() {
    local here loader
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    if [ "$I686_WAY" = native ]; then
        "$@"
        return
    fi
    # Wine's 32-bit loader feels its way through the whole address space it is given, one mmap at a
    # time, and each try costs qemu-user a walk of its page table: with the emulator's default 4 GiB
    # a Wine process spends some 50 s starting. The programs are not large-address-aware, so Windows
    # gives them 2 GiB; 2 GiB and 16 MiB (room for the emulator's own stack above Wine's shared page
    # at 0x7ffe0000) start one in under 3 s.
    export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0x81000000}
    loader=$(i686_loader)
    if [ -z "$(i686_handler "$I686_BINFMT" "$loader")" ] && i686_private_works; then
        unshare --user --map-root-user --mount --fork bash "$here/i686.sh" --emulate "$@"
        return
    fi
    (   # a subshell: its exit trap, which removes what it registered, is its own
        if [ ! -f "$I686_BINFMT/status" ] && ! mount -t binfmt_misc binfmt_misc "$I686_BINFMT"; then
            echo "i686: cannot mount binfmt_misc at $I686_BINFMT (run as root)" >&2
            exit 1
        fi
        if [ -z "$(i686_handler "$I686_BINFMT" "$loader")" ]; then
            if ! i686_register "$I686_BINFMT"; then
                echo "i686: cannot register $I686_QEMU with binfmt_misc (run as root)" >&2
                exit 1
            fi
            trap 'echo -1 >"$I686_BINFMT/qemu-i386"' EXIT
            trap 'exit 130' INT TERM
        fi
        "$@"
    )
}

if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = --emulate ]; then
    shift
    mount -t binfmt_misc binfmt_misc "$I686_BINFMT" && i686_register "$I686_BINFMT" || {
        echo "i686: cannot register $I686_QEMU in this run's own binfmt_misc" >&2
        exit 1
    }
    exec "$@"
fi
