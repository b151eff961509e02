// The fault-injection choke point of the POSIX backend. Every file and registry call asks here
// first; a test arms the Nth call to fail, in-process with fault_arm or for a whole program run
// through VNAUDIO_FAULT=N, N:short or N:full (VNAUDIO_FAULT_LOG=path records what happened).
//
// What counts as one call: open_file (a write when it may create or change the file); each read,
// write and close a stream makes (the stdio buffer decides how many, always the same way; seeks
// do not count, they cannot fail on a real disk either); file_access, change_dir, remove_file,
// rename_file; make_dir, replace_file, set_read_only and lock_file (writes); find_first_file /
// findfirst and each next (not the close); reg_open_key, reg_query_value, and reg_set_value three
// times (the call, the write of the new store, its rename into place). Not counted:
// reg_close_key, show_box, run_command, text_fit.
// Removing and renaming are not writes, so that roll-back still works on a full disk.
#include "platform/fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <atomic>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

// Calls may come from several threads: the count is taken atomically, and which call a short
// write concerns is the thread's own.
static std::atomic<long> armed_at;   // 0: disarmed
static std::atomic<int> armed_kind;
static std::atomic<long> calls;
static std::atomic<int> fired;
static thread_local int short_write_due;    // this thread's last check fired a short write

void fault_arm(long nth, fault_kind kind) {
    armed_at = 0;
    armed_kind = kind;
    calls = 0;
    fired = 0;
    short_write_due = 0;
    armed_at = nth > 0 ? nth : 0;
}

long fault_calls() { return calls; }

int fault_fired() { return fired; }

int fault_check(int is_write) {
    long call = calls.fetch_add(1) + 1;
    short_write_due = 0;
    long at = armed_at.load();
    if (at == 0) return 0;
    if (call == at) {
        fired = 1;
        switch (static_cast<fault_kind>(armed_kind.load())) {
        case FAULT_FAIL:
            return EIO;
        case FAULT_SHORT_WRITE:
            if (!is_write) return EIO;
            short_write_due = 1;
            return ENOSPC;
        case FAULT_DISK_FULL:
            return ENOSPC;
        }
        return EIO;
    }
    if (call > at && armed_kind == FAULT_DISK_FULL && is_write) return ENOSPC;
    return 0;
}

int fault_take_short_write() {
    int due = short_write_due;
    short_write_due = 0;
    return due;
}

size_t short_write_part(size_t size) { return size / 2; }

// Written at exit so that a loop over N knows when a run met no fault at all. Streams still open
// are flushed first: their writes belong to the run and must be counted before the line is made.
static void write_fault_log() {
    const char* path = getenv("VNAUDIO_FAULT_LOG");
    if (!path || !*path) return;
    fflush(nullptr);
    char line[64];
    int n = snprintf(line, sizeof line, "calls=%ld fired=%d\n", calls.load(), fired.load());
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line, static_cast<size_t>(n));
    (void)ignored;
    close(fd);
}

// Reads VNAUDIO_FAULT once, before the program makes its first call.
static int read_fault_environment() {
    const char* log = getenv("VNAUDIO_FAULT_LOG");
    if (log && *log) atexit(write_fault_log);
    const char* setting = getenv("VNAUDIO_FAULT");
    if (!setting || !*setting) return 0;
    char* end = nullptr;
    errno = 0;
    long nth = strtol(setting, &end, 10);
    fault_kind kind = FAULT_FAIL;
    if (end && strcmp(end, ":short") == 0) {
        kind = FAULT_SHORT_WRITE;
    } else if (end && strcmp(end, ":full") == 0) {
        kind = FAULT_DISK_FULL;
    } else if (!end || *end != '\0') {
        nth = -1;
    }
    if (errno != 0 || end == setting || nth <= 0) {
        fprintf(stderr, "VNAUDIO_FAULT=%s not understood (N, N:short or N:full with N >= 1); no fault armed\n",
                setting);
        return 0;
    }
    fault_arm(nth, kind);
    return 1;
}

static const int fault_environment_read = read_fault_environment();
