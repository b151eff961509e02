// Progress on a POSIX host: one line on standard error, redrawn in place, when that is a terminal.
// While it is up the per-item lines the tools print to the same terminal are held back (the line
// stands for them); a notice or a box on standard error clears it first and it comes back with the
// next step. Redirected streams see nothing of it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/progress_text.h"
#include "platform/messages.h"

namespace {

int line_active;     // progress_begin found a terminal on standard error
int hold_output;     // ... and standard output goes to a terminal too
int line_drawn;      // the line stands on the terminal now
unsigned long line_total, line_done;
struct timespec started, last_drawn;

unsigned long milliseconds_since(const struct timespec& from) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long>((now.tv_sec - from.tv_sec) * 1000 + (now.tv_nsec - from.tv_nsec) / 1000000);
}

void write_all(const std::string& text) {
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        ssize_t k = write(2, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        p += k;
        n -= static_cast<size_t>(k);
    }
}

void draw_line() {
    constexpr int BAR = 30;
    int filled = line_total ? static_cast<int>(static_cast<double>(line_done) * BAR / line_total) : 0;
    if (filled > BAR) filled = BAR;
    char count[96], left[96];
    if (line_total)
        snprintf(count, sizeof count, translate_message(PROGRESS_COUNT), line_done, line_total);
    else
        snprintf(count, sizeof count, translate_message(PROGRESS_COUNT_UNKNOWN), line_done);
    format_time_left(progress_seconds_left(line_done, line_total, milliseconds_since(started)), left, sizeof left,
                     nullptr);
    std::string text = "\r[" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(BAR - filled), '.') + "] " + count + "  " + left;
    std::string host;
    if (!cp932_to_utf8(text.data(), text.size(), &host)) host = text;
    write_all(host + "\x1b[K");
    line_drawn = 1;
    clock_gettime(CLOCK_MONOTONIC, &last_drawn);
}

}  // namespace

int progress_line_holds_output() { return line_active && hold_output; }

void clear_progress_line() {
    if (!line_drawn) return;
    write_all("\r\x1b[K");
    line_drawn = 0;
}

void progress_begin(unsigned long total, const char*) {
    line_total = total;
    line_done = 0;
    fflush(stdout);
    line_active = isatty(2);
    hold_output = isatty(1);
    if (!line_active) return;
    clock_gettime(CLOCK_MONOTONIC, &started);
    draw_line();
}

void progress_step(unsigned long done, const char*) {
    line_done = done;
    // A terminal redrawn for every voice would cost more than the voice.
    if (line_active && (!line_drawn || milliseconds_since(last_drawn) >= 100 || done == line_total)) draw_line();
}

int progress_cancelled() { return 0; }

void progress_end(const char*) {
    if (!line_active) return;
    draw_line();
    write_all("\n");
    line_drawn = 0;
    line_active = 0;
}
