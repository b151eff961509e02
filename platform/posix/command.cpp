// Programs started directly with their argument vectors, the way CreateProcess starts them on
// Windows: the program found by path rules or on PATH (a missing ".exe" forgiven), backslashes in
// the arguments left alone, no shell anywhere.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
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

// The programs started and not yet waited for: a child of anyone else is none of our business.
std::set<pid_t> running;

}  // namespace

long start_program(const char* const* args) {
    if (!args || !args[0]) {
        errno = EINVAL;
        return -1;
    }
    if (running.size() >= static_cast<size_t>(MAX_PROGRAMS)) {
        fprintf(stderr, "%s: too many programs at once\n", args[0]);
        return -1;
    }
    // The child's output must land after everything we printed before starting it.
    fflush(nullptr);
    std::string program = find_program_file(args[0]);
    if (program.empty()) {
        fprintf(stderr, translate_message("%s を起動できません。\n"), args[0]);
        return -1;
    }
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, const_cast<char* const*>(args), environ);
    if (rc != 0) {
        fprintf(stderr, translate_message("%s を起動できません。\n"), args[0]);
        return -1;
    }
    running.insert(pid);
    return pid;
}

static int exit_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

long wait_any_program(int* status) {
    while (!running.empty()) {
        int raw = 0;
        pid_t pid = waitpid(-1, &raw, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            // ECHILD: our children are gone without a word; nothing is left to wait for.
            running.clear();
            return -1;
        }
        if (running.erase(pid) == 0) continue;
        *status = exit_status(raw);
        return pid;
    }
    return -1;
}

int run_program(const char* const* args) {
    long id = start_program(args);
    if (id < 0) return 1;
    int status = 1;
    int raw = 0;
    pid_t pid = static_cast<pid_t>(id);
    while (waitpid(pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            running.erase(pid);
            return 1;
        }
    }
    running.erase(pid);
    status = exit_status(raw);
    return status;
}

int count_processors() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > MAX_PROGRAMS ? MAX_PROGRAMS : static_cast<int>(n);
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
