// Programs started directly with their argument vectors, the way CreateProcess starts them on
// Windows: the program found by path rules or on PATH (a missing ".exe" forgiven), backslashes in
// the arguments left alone, no shell anywhere.
#include <cerrno>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "platform/messages.h"

extern char** environ;

namespace {

// Blanks separate words; a double-quoted stretch keeps its blanks (the quotes go).
std::vector<std::string> split_command(const char* command) {
    std::vector<std::string> words;
    const char* p = command;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        std::string word;
        int quoted = 0;
        for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
            if (*p == '"') {
                quoted = !quoted;
            } else {
                word.push_back(*p);
            }
        }
        words.push_back(word);
    }
    return words;
}

int is_program(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

int ends_with_exe(const std::string& word) {
    return word.size() > 4 && strcasecmp(word.c_str() + word.size() - 4, ".exe") == 0;
}

// The file to start for the program word, or "" when there is none.
std::string find_program_file(const std::string& word) {
    path_guard guard;
    std::vector<std::string> names = {word};
    if (ends_with_exe(word)) names.push_back(word.substr(0, word.size() - 4));
    if (word.find_first_of("\\/") != std::string::npos) {
        for (const std::string& name : names) {
            std::string p = resolve_path(name.c_str());
            if (is_program(p)) return p.find('/') == std::string::npos ? "./" + p : p;
        }
        return "";
    }
    // The interpreter looks in the current folder before the PATH.
    for (const std::string& name : names) {
        std::string p = resolve_path(name.c_str());
        if (is_program(p)) return "./" + p;
    }
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (const std::string& name : names) {
        size_t start = 0;
        for (;;) {
            size_t colon = dirs.find(':', start);
            std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!dir.empty()) {
                std::string p = dir + "/" + name;
                if (is_program(p)) return p;
            }
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    return "";
}

// The programs started and not yet waited for (a child of anyone else is none of our business):
// a plain array of process ids, 0 for a free place, which the signal handlers read.
volatile sig_atomic_t running[MAX_PROGRAMS];
int running_count;

int take_running(pid_t pid) {
    for (volatile sig_atomic_t& slot : running) {
        if (slot != pid) continue;
        slot = 0;
        --running_count;
        return 1;
    }
    return 0;
}

void kill_running() {
    for (volatile sig_atomic_t& slot : running) {
        pid_t pid = slot;
        if (pid <= 0) continue;
        // The group catches whatever the program started of its own; a program whose group could
        // not be made is ended alone.
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    }
}

void end_running_and_die(int sig) {
    int saved = errno;
    kill_running();
    // The handler was reset on entry (SA_RESETHAND): the signal, once this returns, ends the process
    // as it would have without us.
    raise(sig);
    errno = saved;
}

void end_running_at_exit() { kill_running(); }

sigset_t child_mask;   // the signal mask the programs start with: the one this process was given

// Once, before the first program starts: the handlers that end the programs with this process, and
// SIGCHLD held back for wait_program, which takes it with sigtimedwait.
void guard_programs() {
    static int guarded;
    if (guarded) return;
    guarded = 1;
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &child_mask);
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGPIPE}) {
        struct sigaction old;
        // A signal this process was told to ignore (nohup, a background job's SIGINT) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction act;
        memset(&act, 0, sizeof act);
        act.sa_handler = end_running_and_die;
        act.sa_flags = SA_RESETHAND;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
    atexit(end_running_at_exit);
}

// Starts program in a process group of its own that gets SIGKILL when this process dies. The
// child does only what is safe between fork and exec; an exec that fails reports its errno
// through a pipe closed on exec.
pid_t spawn_guarded(const std::string& program, const char* const* args) {
    guard_programs();
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    // No handler may run in the child, and none may miss the new program in the parent.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
        // This process may have died before the parent-death signal was asked for.
        if (getppid() != parent) _exit(127);
        sigprocmask(SIG_SETMASK, &child_mask, nullptr);
        execve(program.c_str(), const_cast<char* const*>(args), environ);
        int e = errno;
        ssize_t ignored = write(report[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);   // either side may come first; the other's call then fails harmlessly
        for (volatile sig_atomic_t& slot : running) {
            if (slot != 0) continue;
            slot = pid;
            ++running_count;
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(report[1]);
    int e = 0;
    ssize_t got;
    do got = read(report[0], &e, sizeof e);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (pid > 0 && got == static_cast<ssize_t>(sizeof e)) {
        int raw;
        while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
        }
        take_running(pid);
        return -1;
    }
    return pid;
}

int exit_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

}  // namespace

long start_program(const char* const* args) {
    if (!args || !args[0]) {
        errno = EINVAL;
        return -1;
    }
    if (running_count >= MAX_PROGRAMS) {
        fprintf(stderr, "%s: too many programs at once\n", args[0]);
        return -1;
    }
    // The child's output must land after everything we printed before starting it.
    fflush(nullptr);
    std::string program = find_program_file(args[0]);
    pid_t pid = program.empty() ? -1 : spawn_guarded(program, args);
    if (pid < 0) {
        fprintf(stderr, translate_message("%s を起動できません。\n"), args[0]);
        return -1;
    }
    return pid;
}

// One ended program of ours without waiting: its id, 0 when none has ended, -1 when none runs.
static long reap_one(int* status, int options) {
    while (running_count > 0) {
        int raw = 0;
        pid_t pid = waitpid(-1, &raw, options);
        if (pid == 0) return 0;
        if (pid < 0) {
            if (errno == EINTR) continue;
            // ECHILD: our children are gone without a word; nothing is left to wait for.
            for (volatile sig_atomic_t& slot : running) slot = 0;
            running_count = 0;
            return -1;
        }
        if (!take_running(pid)) continue;
        *status = exit_status(raw);
        return pid;
    }
    return -1;
}

long wait_any_program(int* status) { return reap_one(status, 0); }

long wait_program(int* status, unsigned long ms) {
    uint64_t deadline = clock_ms() + ms;
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    for (;;) {
        // SIGCHLD stays pending from the moment a program ends, so an end between this look and
        // the wait below still wakes the wait.
        long id = reap_one(status, WNOHANG);
        if (id != 0) return id;
        uint64_t now = clock_ms();
        if (now >= deadline) return 0;
        uint64_t left = deadline - now;
        timespec t = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
        sigtimedwait(&chld, nullptr, &t);
    }
}

void end_program(long id) {
    pid_t pid = static_cast<pid_t>(id);
    int known = 0;
    for (volatile sig_atomic_t& slot : running) known |= slot == pid;
    if (!known || pid <= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int raw;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    take_running(pid);
}

void end_all_programs() {
    for (volatile sig_atomic_t& slot : running)
        if (slot > 0) end_program(slot);
}

uint64_t clock_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

int run_program(const char* const* args) {
    long id = start_program(args);
    if (id < 0) return 1;
    int raw = 0;
    pid_t pid = static_cast<pid_t>(id);
    while (waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            take_running(pid);
            return 1;
        }
    }
    take_running(pid);
    return exit_status(raw);
}

int count_processors() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > MAX_PROGRAMS ? MAX_PROGRAMS : static_cast<int>(n);
}

struct thread_s {
    pthread_t id;
    void (*run)(void*);
    void* arg;
};

static void* thread_start(void* thread) {
    thread_s* t = static_cast<thread_s*>(thread);
    t->run(t->arg);
    return nullptr;
}

thread_s* start_thread(void (*run)(void*), void* arg) {
    thread_s* t = new (std::nothrow) thread_s{pthread_t(), run, arg};
    if (!t) return nullptr;
    // The signals this process answers are taken by its first thread.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    int failed = pthread_create(&t->id, nullptr, thread_start, t);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (failed) {
        delete t;
        return nullptr;
    }
    return t;
}

void join_thread(thread_s* thread) {
    pthread_join(thread->id, nullptr);
    delete thread;
}

int run_command(const char* command) {
    if (!command) return 1;   // system(NULL): an interpreter is there
    std::vector<std::string> words = split_command(command);
    if (words.empty()) return 0;
    std::vector<const char*> args;
    for (const std::string& w : words) args.push_back(w.c_str());
    args.push_back(nullptr);
    return run_program(args.data());
}
