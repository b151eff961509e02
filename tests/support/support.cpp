// Helpers for the tests (see support.h).
#include "tests/support/support.h"

#include "platform/fault.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

temp_dir::temp_dir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vnaudio-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

static void remove_tree(const std::string& p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(p.c_str())) {
            while (dirent* e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
                remove_tree(p + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(p.c_str());
    } else {
        unlink(p.c_str());
    }
}

temp_dir::~temp_dir() {
    if (!getenv("VNAUDIO_KEEP_TEMP")) remove_tree(path);
}

void in_temp_dir::SetUp() {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    old_cwd = buf;
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    fault_arm(0, FAULT_FAIL);
}

void in_temp_dir::TearDown() {
    fault_arm(0, FAULT_FAIL);
    ASSERT_EQ(chdir(old_cwd.c_str()), 0);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') cur = "/";
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += part;
        mkdir(cur.c_str(), 0777);
        cur += "/";
    }
}

static void snapshot_into(const std::string& root, const std::string& rel,
                          std::map<std::string, std::string>& out) {
    DIR* d = opendir((root + "/" + rel).c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        std::string name = rel.empty() ? e->d_name : rel + "/" + e->d_name;
        struct stat st;
        if (lstat((root + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            out[name + "/"] = "";
            snapshot_into(root, name, out);
        } else {
            out[name] = read_file(root + "/" + name);
        }
    }
    closedir(d);
}

std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    snapshot_into(root, "", out);
    return out;
}

run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& input,
                       const std::vector<std::string>& env) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& mine : env)
            if (mine.substr(0, mine.find('=')) == key) replaced = true;
        if (!replaced) envs.push_back(entry);
    }
    for (const auto& mine : env) envs.push_back(mine);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);

    run_result r{0, "", ""};
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) { close(in_fd); in_fd = -1; }
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_open) { fds[n] = {out_pipe[0], POLLIN, 0}; out_i = n++; }
        if (err_open) { fds[n] = {err_pipe[0], POLLIN, 0}; err_i = n++; }
        if (in_fd >= 0) { fds[n] = {in_fd, POLLOUT, 0}; in_i = n++; }
        if (poll(fds, n, -1) < 0) { if (errno == EINTR) continue; break; }
        char buf[65536];
        if (out_i >= 0 && fds[out_i].revents) {
            ssize_t k = read(out_pipe[0], buf, sizeof buf);
            if (k > 0) r.out.append(buf, k); else out_open = false;
        }
        if (err_i >= 0 && fds[err_i].revents) {
            ssize_t k = read(err_pipe[0], buf, sizeof buf);
            if (k > 0) r.err.append(buf, k); else err_open = false;
        }
        if (in_i >= 0 && fds[in_i].revents) {
            ssize_t k = write(in_fd, input.data() + written, input.size() - written);
            if (k > 0) written += k;
            if (k <= 0 || written == input.size()) { close(in_fd); in_fd = -1; }
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string bin_path(const std::string& name) { return std::string(VNAUDIO_BIN_DIR) + "/" + name; }
std::string source_path(const std::string& relative) {
    return std::string(VNAUDIO_SOURCE_DIR) + "/" + relative;
}

std::string find_program(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream ss(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

bool have_program(const std::string& name) { return !find_program(name).empty(); }

void put_u16(std::string& s, unsigned v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put_u32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string make_wav(const std::vector<int16_t>& samples, uint32_t rate) {
    std::string w = "RIFF";
    put_u32(w, static_cast<uint32_t>(36 + 2 * samples.size()));
    w += "WAVEfmt ";
    put_u32(w, 16);
    put_u16(w, 1);
    put_u16(w, 1);
    put_u32(w, rate);
    put_u32(w, rate * 2);
    put_u16(w, 2);
    put_u16(w, 16);
    w += "data";
    put_u32(w, static_cast<uint32_t>(2 * samples.size()));
    for (int16_t s : samples) put_u16(w, static_cast<uint16_t>(s));
    return w;
}

std::string registry_escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string fake_payload(const std::string& data) {
    if (data.size() < 10 || data.compare(0, 6, std::string("ID3\x03\0\0", 6)) != 0) return data;
    size_t n = 0;
    for (int i = 6; i < 10; ++i) n = n << 7 | (static_cast<unsigned char>(data[i]) & 0x7F);
    return data.size() - 10 < n ? data : data.substr(10, n);
}

std::string read_payload(const std::string& path) { return fake_payload(read_file(path)); }

std::map<std::string, std::string> payload_snapshot(const std::string& root) {
    std::map<std::string, std::string> files = snapshot(root);
    for (auto& entry : files) entry.second = fake_payload(entry.second);
    return files;
}
