// Scratch files, box answers and failure reports for the fuzz targets.
#include "fuzz/fuzz_support.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__has_include) && __has_include(<sanitizer/common_interface_defs.h>)
#include <sanitizer/common_interface_defs.h>
#define HAVE_SANITIZER_REPORT 1
#endif

// Every box the tools show names this caption.
extern const char tool_title[] = "fuzz.exe";

static void remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

static std::string made_scratch;

static void remove_scratch() {
    if (!made_scratch.empty()) remove_tree(made_scratch);
}

const std::string& scratch_dir() {
    if (made_scratch.empty()) {
        struct stat st;
        const char* base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/vnaudio-fuzz-XXXXXX";
        char buf[512];
        snprintf(buf, sizeof buf, "%s", templ.c_str());
        if (!mkdtemp(buf)) fuzz_fail("cannot make a scratch folder %s: %s", buf, strerror(errno));
        made_scratch = buf;
        atexit(remove_scratch);
    }
    return made_scratch;
}

static int home_fd = -1;

void enter_scratch() {
    if (home_fd < 0) home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (chdir(scratch_dir().c_str()) != 0) fuzz_fail("chdir %s: %s", scratch_dir().c_str(), strerror(errno));
}

void leave_scratch() {
    if (home_fd >= 0 && fchdir(home_fd) != 0) fuzz_fail("cannot go back to the starting folder: %s", strerror(errno));
}

void put_file(const std::string& path, const void* bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fuzz_fail("cannot write %s: %s", path.c_str(), strerror(errno));
    const char* p = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t k = write(fd, p, size);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) fuzz_fail("cannot write %s: %s", path.c_str(), strerror(errno));
        p += k;
        size -= static_cast<size_t>(k);
    }
    close(fd);
}

void put_file(const std::string& path, const std::string& bytes) { put_file(path, bytes.data(), bytes.size()); }

std::string get_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "<missing>";
    std::string out;
    char buf[65536];
    ssize_t k;
    while ((k = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(k));
    close(fd);
    return out;
}

void feed_answers(const std::string& answers) {
    int fds[2];
    if (pipe(fds) != 0) fuzz_fail("pipe: %s", strerror(errno));
    // A pipe holds 64 KiB, far more than any answers given here, so the write cannot block.
    size_t n = answers.size() < 4096 ? answers.size() : 4096;
    if (n > 0 && write(fds[1], answers.data(), n) != static_cast<ssize_t>(n)) fuzz_fail("pipe write failed");
    close(fds[1]);
    dup2(fds[0], 0);
    close(fds[0]);
}

void fuzz_fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char message[2048];
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "fuzz check failed: %s\n", message);
    fflush(stderr);
#ifdef HAVE_SANITIZER_REPORT
    // libFuzzer closes standard error when asked to (-close_fd_mask) and keeps a copy for its
    // reports; the sanitizers' summary line goes there, so the reason is not lost.
    char summary[2100];
    snprintf(summary, sizeof summary, "fuzz check failed: %s", message);
    __sanitizer_report_error_summary(summary);
#endif
    abort();
}
