// Programs started directly with CreateProcessW: each argument quoted so that the C runtime of the
// program splits the command line back into exactly these arguments, no command interpreter, no
// console window of the program's own, and our standard handles passed on.
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"
#include "platform/messages.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct started_program {
    HANDLE process;
    long id;
};

std::vector<started_program> running;

// The job every started program joins: it ends them when its last handle closes, which is this
// process's end however it comes (the handle is not inherited, so no program holds it open).
// This process joins it first where the system lets it: a program it starts is then born in the
// job, and no moment is left between its start and its joining at which this process's end would
// leave it running. Where it may not join (a job of its own that forbids another, as before
// Windows 8), each program is put in the job as it starts.
struct encoder_job_state {
    HANDLE job;
    bool we_are_in_it;
};

encoder_job_state encoder_job() {
    static encoder_job_state state = {NULL, false};
    static bool tried = false;
    if (tried) return state;
    tried = true;
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (!job) return state;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return state;
    }
    state.job = job;
    state.we_are_in_it = AssignProcessToJobObject(job, GetCurrentProcess()) != 0;
    return state;
}

// One argument as the C runtime's splitting reads it back: quoted when it is empty or holds a
// blank, a tab or a quote; a quote is escaped with a backslash, and backslashes double only where
// they come before a quote (an escaped one or the closing one).
void append_argument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line.push_back(L' ');
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line.push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

bool widen(const char* text, std::wstring* out) {
    size_t room = strlen(text) + 1;
    std::vector<uint16_t> units(room);
    size_t n = cp932_to_utf16(text, units.data(), room);
    if (n == static_cast<size_t>(-1)) return false;
    out->assign(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(n));
    return true;
}

}  // namespace

long start_program(const char* const* args) {
    if (!args || !args[0]) return -1;
    if (running.size() >= static_cast<size_t>(MAX_PROGRAMS)) {
        fprintf(stderr, "%s: too many programs at once\n", args[0]);
        return -1;
    }
    std::wstring line;
    for (const char* const* a = args; *a; ++a) {
        std::wstring wide;
        if (!widen(*a, &wide)) {
            fprintf(stderr, "%s: not a CP932 name: %s\n", args[0], *a);
            return -1;
        }
        append_argument(line, wide);
    }
    std::vector<wchar_t> writable(line.begin(), line.end());
    writable.push_back(L'\0');

    // The child's output must land after everything we printed before starting it.
    fflush(nullptr);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // A program that shares our console opens no window; only where we have none would a console
    // program get a window of its own, one per voice, so there it runs without one.
    DWORD flags = GetConsoleWindow() ? 0 : CREATE_NO_WINDOW;
    PROCESS_INFORMATION info;
    // No application name: the system finds the program as it finds the first word of a command
    // line (the program's folder, the current folder, the system folders, PATH; ".exe" added).
    encoder_job_state job = encoder_job();
    lock_inheritance();
    // Suspended until it is in the job, so that nothing it starts itself escapes the job.
    BOOL started = CreateProcessW(NULL, writable.data(), NULL, NULL, TRUE, flags | CREATE_SUSPENDED, NULL, NULL,
                                  &startup, &info);
    unlock_inheritance();
    if (!started) {
        // The same words as the Linux build: a script reading them need not know the system.
        fprintf(stderr, translate_message("%s を起動できません。\n"), args[0]);
        return -1;
    }
    // A system that refuses the job (an older Windows inside a job of its own) still runs the program.
    if (job.job && !job.we_are_in_it) AssignProcessToJobObject(job.job, info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    long id = static_cast<long>(info.dwProcessId);
    running.push_back({info.hProcess, id});
    return id;
}

static int take_status(size_t at) {
    DWORD code = 1;
    if (!GetExitCodeProcess(running[at].process, &code)) code = 1;
    CloseHandle(running[at].process);
    running.erase(running.begin() + static_cast<std::ptrdiff_t>(at));
    return static_cast<int>(code);
}

long wait_program(int* status, unsigned long ms) {
    if (running.empty()) return -1;
    std::vector<HANDLE> handles;
    for (const started_program& p : running) handles.push_back(p.process);
    DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, ms);
    if (woke == WAIT_TIMEOUT) return 0;
    if (woke >= WAIT_OBJECT_0 + handles.size()) {
        // The wait itself failed: hand back the first program, ended, as failed rather than spin.
        woke = WAIT_OBJECT_0;
        TerminateProcess(handles[0], 1);
        WaitForSingleObject(handles[0], INFINITE);
    }
    size_t at = woke - WAIT_OBJECT_0;
    long id = running[at].id;
    *status = take_status(at);
    return id;
}

long wait_any_program(int* status) { return wait_program(status, INFINITE); }

void end_program(long id) {
    for (size_t at = 0; at < running.size(); ++at) {
        if (running[at].id != id) continue;
        TerminateProcess(running[at].process, 1);
        // Its files are closed only once it is gone.
        WaitForSingleObject(running[at].process, 10000);
        take_status(at);
        return;
    }
}

void end_all_programs() {
    while (!running.empty()) end_program(running.front().id);
}

uint64_t clock_ms() { return GetTickCount64(); }

int run_program(const char* const* args) {
    long id = start_program(args);
    if (id < 0) return 1;
    for (size_t at = 0; at < running.size(); ++at) {
        if (running[at].id != id) continue;
        WaitForSingleObject(running[at].process, INFINITE);
        return take_status(at);
    }
    return 1;
}

int count_processors() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    int n = static_cast<int>(info.dwNumberOfProcessors);
    return n < 1 ? 1 : n > MAX_PROGRAMS ? MAX_PROGRAMS : n;
}

struct thread_s {
    HANDLE handle;
    void (*run)(void*);
    void* arg;
};

static DWORD WINAPI thread_start(void* thread) {
    thread_s* t = static_cast<thread_s*>(thread);
    t->run(t->arg);
    return 0;
}

thread_s* start_thread(void (*run)(void*), void* arg) {
    thread_s* t = static_cast<thread_s*>(malloc(sizeof(thread_s)));
    if (!t) return nullptr;
    t->run = run;
    t->arg = arg;
    t->handle = CreateThread(nullptr, 0, thread_start, t, 0, nullptr);
    if (!t->handle) {
        free(t);
        return nullptr;
    }
    return t;
}

void join_thread(thread_s* thread) {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    free(thread);
}

int run_command(const char* command) {
    if (!command) return 1;
    // Blanks separate words; a double-quoted stretch keeps its blanks (the quotes go).
    std::vector<std::string> words;
    const char* p = command;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        std::string word;
        bool quoted = false;
        for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
            if (*p == '"') quoted = !quoted;
            else word.push_back(*p);
        }
        words.push_back(word);
    }
    if (words.empty()) return 0;
    std::vector<const char*> args;
    for (const std::string& w : words) args.push_back(w.c_str());
    args.push_back(nullptr);
    return run_program(args.data());
}
