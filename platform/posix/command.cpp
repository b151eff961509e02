// system() the way the Windows command interpreter runs a plain command line: split at blanks,
// backslashes left alone, the program found by path rules or on PATH (a missing ".exe" forgiven),
// started directly and waited for.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

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

}  // namespace

int run_command(const char* command) {
    if (!command) return 1;   // system(NULL): an interpreter is there
    std::vector<std::string> words = split_command(command);
    if (words.empty()) return 0;
    fflush(nullptr);
    std::string program = find_program_file(words[0]);
    if (program.empty()) {
        fprintf(stderr, "'%s' is not recognized as an internal or external command,\noperable program or batch file.\n",
                words[0].c_str());
        return 1;
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        fprintf(stderr, "%s: cannot start: %s\n", words[0].c_str(), strerror(rc));
        return 1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
