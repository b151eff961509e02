// The start and end of a run on a POSIX host. The tools speak CP932 inside; a Linux terminal (and
// whatever reads a pipe) expects UTF-8, whatever the locale says. begin_run turns the arguments
// into CP932 and puts a converting stream in place of standard output and standard error, so
// every line the tools print reaches the host in UTF-8.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

struct host_stream {
    int fd;
    unsigned char held;   // a CP932 lead byte whose trail byte has not come yet
    int holding;
};

host_stream host_out = {1, 0, 0}, host_err = {2, 0, 0};
int streams_hooked;

int is_lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

int write_fd(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return 0;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return 1;
}

// The text as UTF-8; bytes that are no CP932 character pass as they are, so nothing is lost.
void append_as_utf8(const char* p, size_t n, std::string* out) {
    std::string whole;
    if (cp932_to_utf8(p, n, &whole)) {
        *out += whole;
        return;
    }
    for (size_t i = 0; i < n;) {
        size_t l = is_lead_byte(static_cast<unsigned char>(p[i])) && i + 1 < n ? 2 : 1;
        std::string one;
        *out += cp932_to_utf8(p + i, l, &one) ? one : std::string(p + i, l);
        i += l;
    }
}

ssize_t host_write(void* cookie, const char* buf, size_t size) {
    host_stream* s = static_cast<host_stream*>(cookie);
    if (s->fd == 1 && progress_line_holds_output()) return static_cast<ssize_t>(size);
    if (s->fd == 2) clear_progress_line();
    std::string text;
    if (s->holding) text.push_back(static_cast<char>(s->held));
    text.append(buf, size);
    s->holding = 0;
    // A lead byte at the very end waits for its trail byte (an unbuffered stream writes a
    // character at a time).
    size_t whole = 0;
    while (whole < text.size()) {
        size_t l = is_lead_byte(static_cast<unsigned char>(text[whole])) ? 2 : 1;
        if (whole + l > text.size()) break;
        whole += l;
    }
    if (whole < text.size()) {
        s->held = static_cast<unsigned char>(text[whole]);
        s->holding = 1;
    }
    std::string out;
    append_as_utf8(text.data(), whole, &out);
    if (!write_fd(s->fd, out.data(), out.size())) return -1;
    return static_cast<ssize_t>(size);
}

int host_close(void* cookie) {
    host_stream* s = static_cast<host_stream*>(cookie);
    if (s->holding) {
        s->holding = 0;
        char c = static_cast<char>(s->held);
        if (!write_fd(s->fd, &c, 1)) return -1;
    }
    return 0;
}

FILE* open_host_stream(host_stream* s, int mode, size_t buffer) {
    cookie_io_functions_t io = {nullptr, host_write, nullptr, host_close};
    FILE* f = fopencookie(s, "w", io);
    if (f) setvbuf(f, nullptr, mode, buffer);
    return f;
}

// The arguments as CP932, where the host gave them in UTF-8 and they have a CP932 form. They live
// as long as the process.
std::vector<std::string> argument_text;
std::vector<char*> argument_list;

void convert_arguments(int argc, char*** argv) {
    argument_text.assign(static_cast<size_t>(argc), std::string());
    argument_list.assign(static_cast<size_t>(argc) + 1, nullptr);
    for (int i = 0; i < argc; ++i) {
        const char* arg = (*argv)[i];
        std::string& text = argument_text[static_cast<size_t>(i)];
        if (is_cp932_text(arg, strlen(arg)) || !utf8_to_cp932(arg, strlen(arg), &text)) text = arg;
        argument_list[static_cast<size_t>(i)] = &text[0];
    }
    *argv = argument_list.data();
}

}  // namespace

int standard_streams_convert() { return streams_hooked; }

void begin_run(int* argc, char*** argv) {
#ifdef VNAUDIO_UTF8_MESSAGES
    // A build whose messages are UTF-8 already (clang's) shows them as they are.
    (void)argc;
    (void)argv;
    return;
#endif
    if (argc && argv && *argv) convert_arguments(*argc, argv);
    fflush(stdout);
    fflush(stderr);
    FILE* out = open_host_stream(&host_out, isatty(1) ? _IOLBF : _IOFBF, BUFSIZ);
    FILE* err = open_host_stream(&host_err, _IONBF, 0);
    if (!out || !err) {
        if (out) fclose(out);
        if (err) fclose(err);
        return;
    }
    stdout = out;
    stderr = err;
    streams_hooked = 1;
}

// The host's arguments that have no CP932 form are passed on as they are: none is left out.
const char* lost_path_argument() { return nullptr; }

void write_output(const char* text, size_t length) { fwrite(text, 1, length, stdout); }

int end_run(int status) {
    fflush(stdout);
    fflush(stderr);
    return status;
}
