// scmpx for Linux: "scmpx -e -w IN OUT" encodes the WAV file IN to the MP3 file OUT with LAME.
// drusel hands it names with backslashes, which are usually the files' own names with "/" for "\":
// then LAME is given the files themselves, as a plain call of LAME would be. Names that need the
// platform layer's path rules (another letter case) are opened through it and LAME works on pipes.
// Exits 0 only when OUT was written whole - LAME answers 0 even when its last write failed for lack
// of space, so OUT is checked as MP3 data as long as IN - and leaves no partial OUT behind.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mp3conv/mp3_check.h"
#include "platform/platform.h"

extern const char tool_title[] = "scmpx";
extern char** environ;

static int usage() {
    fputs("usage: scmpx -e -w IN.wav OUT.mp3\n", stderr);
    return 2;
}

static const char* lame_program() {
    const char* lame = getenv("SCMPX_LAME");
    return lame && *lame ? lame : "lame";
}

// Streams in through LAME's standard input and out of its standard output; answers LAME's exit
// status, or -1 when it could not run or a stream failed.
static int encode(FILE* in, FILE* out) {
    int to_lame[2], from_lame[2];
    if (pipe(to_lame) != 0 || pipe(from_lame) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_lame[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_lame[1], 1);
    for (int fd : {to_lame[0], to_lame[1], from_lame[0], from_lame[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    const char* lame = lame_program();
    char* argv[] = {const_cast<char*>(lame), const_cast<char*>("--quiet"), const_cast<char*>("-"),
                    const_cast<char*>("-"), nullptr};
    pid_t pid;
    int spawned = posix_spawnp(&pid, lame, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_lame[0]);
    close(from_lame[1]);
    if (spawned != 0) {
        fprintf(stderr, "scmpx: cannot start %s: %s\n", lame, strerror(spawned));
        close(to_lame[1]);
        close(from_lame[0]);
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);

    bool failed = false, in_done = false;
    static char in_buf[65536], out_buf[65536];
    size_t in_have = 0, in_at = 0;
    int to_fd = to_lame[1];
    for (;;) {
        pollfd fds[2];
        int n = 0;
        fds[n++] = {from_lame[0], POLLIN, 0};
        if (to_fd >= 0) fds[n++] = {to_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (to_fd >= 0 && fds[1].revents) {
            if (in_at == in_have && !in_done) {
                in_have = fread(in_buf, 1, sizeof in_buf, in);
                in_at = 0;
                if (in_have == 0) {
                    in_done = true;
                    if (ferror(in)) failed = true;
                }
            }
            if (in_at < in_have) {
                ssize_t k = write(to_fd, in_buf + in_at, in_have - in_at);
                if (k > 0) in_at += static_cast<size_t>(k);
                else in_done = true;
            }
            if (in_done && in_at == in_have) {
                close(to_fd);
                to_fd = -1;
            }
        }
        if (fds[0].revents) {
            ssize_t k = read(from_lame[0], out_buf, sizeof out_buf);
            if (k <= 0) break;
            if (fwrite(out_buf, 1, static_cast<size_t>(k), out) != static_cast<size_t>(k)) failed = true;
        }
    }
    if (to_fd >= 0) close(to_fd);
    close(from_lame[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (failed) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static bool read_whole(const char* path, std::vector<unsigned char>* bytes) {
    FILE* f = open_file(path, "rb");
    if (!f) return false;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

// true when OUT is a whole MP3 as long as IN (when IN's length can be read).
static bool output_is_whole(const char* in_path, const char* out_path) {
    std::vector<unsigned char> in, out;
    mp3_facts facts;
    if (!read_whole(out_path, &out) || !check_mp3(out.data(), out.size(), &facts)) {
        fprintf(stderr, "scmpx: %s is not whole MP3 data (%s at byte %lu of %lu)\n", out_path,
                facts.fault ? facts.fault : "unreadable", static_cast<unsigned long>(facts.fault_at),
                static_cast<unsigned long>(out.size()));
        return false;
    }
    uint64_t samples;
    unsigned long rate;
    if (read_whole(in_path, &in) && read_wav_length(in.data(), in.size(), in.size(), &samples, &rate) &&
        !mp3_length_matches(&facts, samples, rate)) {
        fprintf(stderr, "scmpx: %s does not last as long as %s\n", out_path, in_path);
        return false;
    }
    return true;
}

static std::string slashed(const char* path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

// LAME on the files themselves when both names stand as they are; -1 when they do not, or LAME's
// exit status (-1 when it could not run).
static int encode_files(const char* in_path, const char* out_path) {
    std::string in = slashed(in_path), out = slashed(out_path);
    struct stat st;
    if (stat(in.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    std::string folder = out.find('/') == std::string::npos ? "." : out.substr(0, out.rfind('/'));
    if (folder.empty()) folder = "/";
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    const char* lame = lame_program();
    char* argv[] = {const_cast<char*>(lame), const_cast<char*>("--quiet"), const_cast<char*>(in.c_str()),
                    const_cast<char*>(out.c_str()), nullptr};
    pid_t pid;
    int spawned = posix_spawnp(&pid, lame, nullptr, nullptr, argv, environ);
    if (spawned != 0) {
        fprintf(stderr, "scmpx: cannot start %s: %s\n", lame, strerror(spawned));
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (result == 0 && !output_is_whole(in.c_str(), out.c_str())) result = -1;
    if (result != 0) {
        remove(out.c_str());
        fprintf(stderr, "scmpx: could not encode %s to %s\n", in_path, out_path);
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 5 || strcmp(argv[1], "-e") != 0 || strcmp(argv[2], "-w") != 0) return usage();
    const char* in_path = argv[3];
    const char* out_path = argv[4];
    int direct = encode_files(in_path, out_path);
    if (direct >= 0) return direct;
    FILE* in = open_file(in_path, "rb");
    if (!in) {
        fprintf(stderr, "scmpx: %s: %s\n", in_path, strerror(errno));
        return 1;
    }
    FILE* out = open_file(out_path, "wb");
    if (!out) {
        fprintf(stderr, "scmpx: %s: %s\n", out_path, strerror(errno));
        fclose(in);
        return 1;
    }
    int status = encode(in, out);
    fclose(in);
    long written = ftell(out);
    int closed = fclose(out);
    if (status == 0 && closed == 0 && written > 0 && !output_is_whole(in_path, out_path)) status = -1;
    if (status != 0 || closed != 0 || written <= 0) {
        // Leave no half-made MP3 behind.
        remove_file(out_path);
        if (status > 0) fprintf(stderr, "scmpx: lame failed on %s (status %d)\n", in_path, status);
        else fprintf(stderr, "scmpx: could not encode %s to %s\n", in_path, out_path);
        return 1;
    }
    return 0;
}
