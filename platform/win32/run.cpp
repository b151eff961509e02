// The start and end of a run on Windows, and the boxes. The programs belong to the GUI subsystem: a
// double-click opens no console and a console does not wait for them. So their standard streams,
// when nothing redirects them, are led through a pipe into the console they were started from.
// Started without one (a double-click, a drop) the run is unwatched: its progress shows in a window
// (progress.cpp) and its notices in the final box; nothing ever waits for Enter. Redirected streams
// keep today's CP932 bytes untouched.
#include "platform/platform.h"
#include "platform/progress_text.h"
#include "platform/win32/win32_internal.h"
#include "platform/messages.h"

#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int show_box(const char* text, const char* caption, unsigned type) {
    // Display only: a text that is not quite CP932 still shows, with its odd bytes as the system reads them.
    int text_units = MultiByteToWideChar(TEXT_CODE_PAGE, 0, text, -1, nullptr, 0);
    int caption_units = MultiByteToWideChar(TEXT_CODE_PAGE, 0, caption, -1, nullptr, 0);
    std::vector<wchar_t> wide_text(static_cast<size_t>(text_units > 0 ? text_units : 1), L'\0');
    std::vector<wchar_t> wide_caption(static_cast<size_t>(caption_units > 0 ? caption_units : 1), L'\0');
    if (text_units > 0) MultiByteToWideChar(TEXT_CODE_PAGE, 0, text, -1, wide_text.data(), text_units);
    if (caption_units > 0) MultiByteToWideChar(TEXT_CODE_PAGE, 0, caption, -1, wide_caption.data(), caption_units);
    return MessageBoxW(progress_owner(), wide_text.data(), wide_caption.data(), type);
}

// ---- Arguments ----

struct startup_info {
    int new_mode;
};
// msvcrt's own split of the wide command line, by the rules every C runtime program follows.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, startup_info* info);

static const char* lost_path = nullptr;

const char* lost_path_argument() { return lost_path; }

// The arguments as the system holds them (UTF-16), handed to the tools in CP932. One that CP932
// cannot carry is left out with a notice: changed to a look-alike it would name something else.
static void take_arguments(int* argc, char*** argv) {
    int count = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    startup_info info = {0};
    if (__wgetmainargs(&count, &wide, &env, 0, &info) != 0 || count < 1 || !wide) return;
    char** out = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
    if (!out) return;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        int units = static_cast<int>(wcslen(wide[i]));
        int room = units * 2 + 1;
        char* text = static_cast<char*>(malloc(static_cast<size_t>(room)));
        if (!text) return;
        int n = narrow_text(wide[i], units, text, room);
        if (n < 0) {
            narrow_for_display(wide[i], units + 1, text, room);
            if (!lost_path && GetFileAttributesW(wide[i]) != INVALID_FILE_ATTRIBUTES) lost_path = text;
            fprintf(stderr, translate_message("%s: 引数にCP932で表せない文字があるため無視します。\n"), text);
            if (lost_path != text) free(text);
            continue;
        }
        text[n] = '\0';
        out[kept++] = text;
    }
    out[kept] = nullptr;
    *argc = kept;
    *argv = out;
}

// ---- The console ----

static HANDLE pump_read = NULL;     // the pipe's end the pump reads
static HANDLE pump_thread = NULL;
static HANDLE console_out = NULL;   // where the pump writes, once there is a console
static bool unwatched = false;      // no console at all: the lines are kept as notices instead
static int pumped_fds[2];
static int pumped_count = 0;

// The notices of an unwatched run: the last lines, how many there were, the line being written.
static CRITICAL_SECTION notice_lock;
static std::vector<std::string> notice_lines;
static unsigned long notice_count = 0;
static std::string notice_partial;
static volatile LONG pump_reads = 0;
constexpr size_t NOTICES_KEPT = 8;

// A standard handle that reaches a file, a pipe or a console of someone else's choosing.
enum stream_kind { STREAM_NONE, STREAM_CONSOLE, STREAM_REDIRECTED };

static stream_kind classify(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE) return STREAM_NONE;
    DWORD mode;
    if (GetConsoleMode(handle, &mode)) return STREAM_CONSOLE;
    return GetFileType(handle) == FILE_TYPE_UNKNOWN ? STREAM_NONE : STREAM_REDIRECTED;
}

// The console of the program that started this one. None is ever made: a run nobody watches in a
// console shows a progress window (or only boxes) and never waits for anyone at its end.
static bool open_console() {
    if (console_out) return true;
    if (unwatched || !AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    HANDLE handle = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) return false;
    console_out = handle;
    return true;
}

static void keep_notices(const char* bytes, size_t length) {
    EnterCriticalSection(&notice_lock);
    for (size_t i = 0; i < length; ++i) {
        char c = bytes[i];
        if (c == '\r') continue;
        if (c != '\n') {
            if (notice_partial.size() < 300) notice_partial += c;
            continue;
        }
        if (!notice_partial.empty()) {
            notice_lines.push_back(notice_partial);
            if (notice_lines.size() > NOTICES_KEPT) notice_lines.erase(notice_lines.begin());
            ++notice_count;
        }
        notice_partial.clear();
    }
    LeaveCriticalSection(&notice_lock);
}

// CP932 bytes shown as the characters they are, whatever code page the console is set to.
static void write_console(const char* bytes, size_t length) {
    if (length == 0) return;
    if (unwatched) {
        keep_notices(bytes, length);
        return;
    }
    if (!open_console()) return;
    std::vector<wchar_t> wide(length + 1);
    int units = MultiByteToWideChar(TEXT_CODE_PAGE, 0, bytes, static_cast<int>(length), wide.data(),
                                    static_cast<int>(wide.size()));
    DWORD written;
    if (units > 0) WriteConsoleW(console_out, wide.data(), static_cast<DWORD>(units), &written, NULL);
}

// Carries whole CP932 characters from the pipe to the console; a lead byte at the end of a read
// waits for its trail byte.
static DWORD WINAPI pump_lines(void*) {
    char buffer[4096];
    size_t held = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(pump_read, buffer + held, static_cast<DWORD>(sizeof buffer - held), &got, NULL) || got == 0)
            break;
        size_t length = held + got;
        size_t whole = 0;
        while (whole < length) {
            size_t width = IsDBCSLeadByteEx(TEXT_CODE_PAGE, static_cast<BYTE>(buffer[whole])) ? 2 : 1;
            if (whole + width > length) break;
            whole += width;
        }
        write_console(buffer, whole);
        InterlockedIncrement(&pump_reads);
        held = length - whole;
        memmove(buffer, buffer + whole, held);
    }
    write_console(buffer, held);
    return 0;
}

// Leads the streams that reach no file or pipe through the pump. Each write goes out at once and
// both streams share one pipe, so lines keep the order in which they were written.
static void lead_streams_to_console(bool out, bool err) {
    HANDLE write_end = NULL;
    if (!CreatePipe(&pump_read, &write_end, NULL, 0)) return;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_TEXT | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(write_end);
        CloseHandle(pump_read);
        pump_read = NULL;
        return;
    }
    FILE* streams[2] = {stdout, stderr};
    bool wanted[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
        if (!wanted[i] || _dup2(fd, i + 1) != 0) continue;
        // A program started without standard handles may have streams without a descriptor (-2),
        // which the runtime will not reopen: msvcrt's FILE is a plain record, so name it here.
        if (_fileno(streams[i]) < 0) streams[i]->_file = i + 1;
        setvbuf(streams[i], NULL, _IONBF, 0);
        pumped_fds[pumped_count++] = i + 1;
    }
    _close(fd);
    pump_thread = CreateThread(NULL, 0, pump_lines, NULL, 0, NULL);
}

// An unwatched run: the per-item lines on standard output go nowhere (the window counts them), the
// notices on standard error are kept for the final box, and the encoders it starts write nowhere.
static void lead_streams_unwatched() {
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                 NULL);
    int fd = nothing == INVALID_HANDLE_VALUE ? -1 : _open_osfhandle(reinterpret_cast<intptr_t>(nothing), _O_TEXT | _O_WRONLY);
    if (fd >= 0 && _dup2(fd, 1) == 0) {
        if (_fileno(stdout) < 0) stdout->_file = 1;
        setvbuf(stdout, NULL, _IONBF, 0);
    }
    if (fd >= 0) _close(fd);
    lead_streams_to_console(false, true);
    SetStdHandle(STD_ERROR_HANDLE, GetStdHandle(STD_OUTPUT_HANDLE));
}

void begin_run(int* argc, char*** argv) {
    InitializeCriticalSection(&notice_lock);
    stream_kind out = classify(STD_OUTPUT_HANDLE);
    stream_kind err = classify(STD_ERROR_HANDLE);
    if (out == STREAM_CONSOLE || err == STREAM_CONSOLE) {
        // A handle of our own: leading the stream into the pipe closes the one it had.
        HANDLE console = GetStdHandle(out == STREAM_CONSOLE ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
        if (!DuplicateHandle(GetCurrentProcess(), console, GetCurrentProcess(), &console_out, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            console_out = NULL;
    } else if (out == STREAM_NONE && err == STREAM_NONE) {
        unwatched = !open_console();
    }
    if (unwatched)
        lead_streams_unwatched();
    else if (out != STREAM_REDIRECTED || err != STREAM_REDIRECTED)
        lead_streams_to_console(out != STREAM_REDIRECTED, err != STREAM_REDIRECTED);
    take_arguments(argc, argv);
}

bool run_is_unwatched() { return unwatched; }

std::string take_notices() {
    if (!unwatched) return std::string();
    fflush(stderr);
    // The pump may still be on its way with the last lines: wait until the pipe has stayed empty.
    for (int tries = 0; tries < 100; ++tries) {
        LONG reads = pump_reads;
        Sleep(10);
        DWORD waiting = 0;
        if (!PeekNamedPipe(pump_read, NULL, 0, NULL, &waiting, NULL) || (waiting == 0 && reads == pump_reads)) break;
    }
    EnterCriticalSection(&notice_lock);
    std::string text;
    if (notice_count) {
        char heading[160];
        snprintf(heading, sizeof heading, translate_message(PROGRESS_NOTICES), notice_count);
        text = heading;
        if (notice_count > notice_lines.size()) {
            snprintf(heading, sizeof heading, translate_message(PROGRESS_NOTICES_LAST), static_cast<unsigned long>(notice_lines.size()));
            text += heading;
        }
        for (const std::string& line : notice_lines) text += "\n" + line;
    }
    notice_lines.clear();
    notice_count = 0;
    LeaveCriticalSection(&notice_lock);
    return text;
}

void write_output(const char* text, size_t length) {
    // Standard output has no buffer when it leads to the console's pipe or to NUL, or is a device
    // (msvcrt gives those none): its text then goes out in one write, not one per character.
    static int direct = -1;
    if (direct < 0) direct = (stdout->_flag & _IONBF) != 0 || _isatty(_fileno(stdout));
    if (!direct) {
        fwrite(text, 1, length, stdout);
        return;
    }
    fflush(stdout);
    _write(_fileno(stdout), text, static_cast<unsigned>(length));
}

int end_run(int status) {
    if (!pump_thread) return status;
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < pumped_count; ++i) _close(pumped_fds[i]);
    // A program the run started may still hold the pipe: the pump is not waited for without end.
    WaitForSingleObject(pump_thread, 5000);
    return status;
}
