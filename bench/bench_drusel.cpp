// Benchmark of the MP3 converter on a synthetic koewav tree with the LAME wrapper as its encoder.
// Usage: bench_drusel [VOICES [FOLDER]] [--phase lame|scmpx|j1|j2]
//   (2000 voices by default, in a new folder under $TMPDIR, removed at the end unless BENCH_KEEP
//   is set; 200 make a quick check)
//
// Voices of about 3 s at 22050 Hz, 16-bit mono, speech-like (a wandering pitch with its harmonics,
// syllable-shaped loudness, a little noise), 1000 to a folder. Each phase gets a fresh copy of the
// tree and converts every voice; only the conversion is timed:
//   lame  - a plain loop of "lame --quiet IN OUT", one after the other (the encoder's own cost);
//   scmpx - a plain loop of the LAME wrapper "scmpx -e -w IN OUT" (the encoder drusel starts);
//   j1/j2 - drusel -j 1 and drusel -j 2 in the tree, scmpx named by SMX_Path.
// drusel's own cost is its -j 1 time less the scmpx loop's, against the plain lame loop's time;
// processor time (of all the children) says it better than wall time on a shared machine.
// --phase runs one phase alone, so that a whole-process timer can compare two of them.
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr unsigned RATE = 22050;
constexpr unsigned VOICES_PER_FOLDER = 1000;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void put_le(std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A table keeps making 2,000 voices well under a second, so a whole-process timer sees the encoders.
double sine(double x) {
    static std::vector<double> table;
    if (table.empty())
        for (int i = 0; i < 4096; ++i) table.push_back(std::sin(2 * M_PI * i / 4096));
    long at = std::lround(x * (4096 / (2 * M_PI)));
    return table[static_cast<size_t>(at & 4095)];
}

std::string make_voice(unsigned index) {
    std::mt19937 random(index * 7919u + 1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    unsigned samples = RATE * (25 + index % 10) / 10;   // 2.5 to 3.4 s
    double pitch = 110 + 120 * unit(random), phase = 0;
    std::string data;
    data.reserve(samples * 2);
    for (unsigned i = 0; i < samples; ++i) {
        double t = static_cast<double>(i) / RATE;
        double f = pitch * (1 + 0.15 * std::sin(2 * M_PI * 0.7 * t + index));
        phase += 2 * M_PI * f / RATE;
        double syllable = sine(M_PI * std::fmod(t * 4.3, 1.0));
        syllable *= syllable;
        double v = 0;
        for (int h = 1; h <= 6; ++h) v += sine(h * phase) / h;
        v = syllable * (0.5 * v + 0.05 * (unit(random) - 0.5));
        int s = static_cast<int>(v * 12000);
        put_le(data, static_cast<uint16_t>(static_cast<int16_t>(s < -32768 ? -32768 : s > 32767 ? 32767 : s)), 2);
    }
    std::string wav = "RIFF";
    put_le(wav, 36 + static_cast<uint32_t>(data.size()), 4);
    wav += "WAVEfmt ";
    put_le(wav, 16, 4);
    put_le(wav, 1, 2);
    put_le(wav, 1, 2);
    put_le(wav, RATE, 4);
    put_le(wav, RATE * 2, 4);
    put_le(wav, 2, 2);
    put_le(wav, 16, 2);
    wav += "data";
    put_le(wav, static_cast<uint32_t>(data.size()), 4);
    return wav + data;
}

bool write_whole(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

std::string read_start(const std::string& path) {
    char buf[4] = {0};
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "";
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return std::string(buf, n);
}

bool is_mp3(const std::string& start) {
    if (start.compare(0, 3, "ID3") == 0) return true;
    return start.size() >= 2 && static_cast<unsigned char>(start[0]) == 0xFF &&
           (static_cast<unsigned char>(start[1]) & 0xE0) == 0xE0;
}

struct voice_file {
    std::string folder;   // "001"
    std::string name;     // "Z00100001.WAV"
};

std::vector<voice_file> voice_names(unsigned voices) {
    std::vector<voice_file> names;
    for (unsigned i = 0; i < voices; ++i) {
        char folder[8], name[32];
        snprintf(folder, sizeof folder, "%03u", i / VOICES_PER_FOLDER + 1);
        snprintf(name, sizeof name, "Z%s%05u.WAV", folder, i % VOICES_PER_FOLDER + 1);
        names.push_back({folder, name});
    }
    return names;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void remove_tree(const std::string& root) { nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

bool make_tree(const std::string& koewav, const std::vector<voice_file>& names, const std::vector<std::string>& wavs) {
    remove_tree(koewav);
    if (mkdir(koewav.c_str(), 0755) != 0) return false;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string folder = koewav + "/" + names[i].folder;
        mkdir(folder.c_str(), 0755);
        if (!write_whole(folder + "/" + names[i].name, wavs[i])) return false;
    }
    return true;
}

// Runs a program in folder with its output thrown away (standard error into err_file when given)
// and the environment extended; its status. The loops start their programs with posix_spawn, as
// drusel does: forking this process, which holds every voice in memory, would cost more.
int run_quiet(const std::vector<std::string>& args, const std::string& folder, const std::vector<std::string>& env,
              const std::string& err_file = "") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (folder.empty() && env.empty()) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
        int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return -1;
    } else {
        pid = fork();
        if (pid < 0) return -1;
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            int err = err_file.empty() ? null : open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err < 0 ? null : err, 2);
            if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
            for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
            execvp(argv[0], argv.data());
            _exit(127);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The processor time of every waited-for child so far: on a shared machine the work a phase did,
// where its wall time also holds the time others took.
double children_cpu() {
    rusage use;
    getrusage(RUSAGE_CHILDREN, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

struct phase_result {
    double seconds = -1;
    double cpu = -1;
    unsigned converted = 0;
};

phase_result run_phase(const std::string& phase, const std::string& koewav, const std::string& bin,
                       const std::string& registry, const std::vector<voice_file>& names) {
    phase_result result;
    bool in_place = phase == "j1" || phase == "j2";
    auto start = std::chrono::steady_clock::now();
    double cpu_start = children_cpu();
    if (in_place) {
        std::vector<std::string> args = {bin + "/drusel", "-j", phase == "j1" ? "1" : "2"};
        std::string err_file = koewav + "/../drusel.err";
        int status = run_quiet(args, koewav, {"VNAUDIO_REGISTRY=" + registry}, err_file);
        if (status != 0) {
            fprintf(stderr, "drusel ended with %d:\n", status);
            FILE* f = fopen(err_file.c_str(), "r");
            char line[1024];
            for (int n = 0; f && n < 10 && fgets(line, sizeof line, f); ++n) fputs(line, stderr);
            if (f) fclose(f);
        }
    } else {
        for (const voice_file& v : names) {
            std::string in = koewav + "/" + v.folder + "/" + v.name, out = in + ".mp3";
            std::vector<std::string> args = phase == "lame" ? std::vector<std::string>{"lame", "--quiet", in, out}
                                                            : std::vector<std::string>{bin + "/scmpx", "-e", "-w", in, out};
            if (run_quiet(args, "", {}) != 0) fprintf(stderr, "%s failed on %s\n", args[0].c_str(), in.c_str());
        }
    }
    result.seconds = seconds_since(start);
    result.cpu = children_cpu() - cpu_start;
    for (const voice_file& v : names) {
        std::string path = koewav + "/" + v.folder + "/" + v.name + (in_place ? "" : ".mp3");
        result.converted += is_mp3(read_start(path));
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::string only;
    std::vector<std::string> plain;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--phase") == 0 && i + 1 < argc) only = argv[++i];
        else plain.push_back(argv[i]);
    }
    unsigned voices = plain.size() > 0 ? static_cast<unsigned>(strtoul(plain[0].c_str(), nullptr, 10)) : 2000;
    if (voices == 0 || (!only.empty() && only != "lame" && only != "scmpx" && only != "j1" && only != "j2")) {
        fprintf(stderr, "usage: bench_drusel [VOICES [FOLDER]] [--phase lame|scmpx|j1|j2]\n");
        return 2;
    }
    std::string root;
    if (plain.size() > 1) {
        root = plain[1];
        mkdir(root.c_str(), 0755);
    } else {
        const char* tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vnaudio-bench-XXXXXX";
        if (!mkdtemp(&templ[0])) return 1;
        root = templ;
    }
    char resolved[4096];
    if (!realpath(root.c_str(), resolved)) return 1;
    root = resolved;
    std::string self = argv[0];
    std::string bin = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
    if (!realpath(bin.c_str(), resolved)) return 1;
    bin = resolved;
    std::string registry = root + "/registry.reg";
    write_whole(registry, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\r\n\"SMX_Path\"=\"" + bin +
                              "/scmpx\"\r\n");

    std::vector<voice_file> names = voice_names(voices);
    std::vector<std::string> wavs;
    double audio = 0;
    auto made = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < voices; ++i) {
        wavs.push_back(make_voice(i));
        audio += (wavs.back().size() - 44) / 2.0 / RATE;
    }
    if (only.empty())
        printf("%u voices, %.1f s of audio on average, made in %.2f s; %ld processors\n", voices, audio / voices,
               seconds_since(made), sysconf(_SC_NPROCESSORS_ONLN));
    std::vector<std::string> phases = {"lame", "scmpx", "j1", "j2"};
    if (!only.empty()) phases = {only};
    const char* labels[] = {"plain lame loop", "plain scmpx loop", "drusel -j 1", "drusel -j 2"};
    double times[4] = {-1, -1, -1, -1}, cpu[4] = {-1, -1, -1, -1};
    std::string koewav = root + "/koewav";
    int failed = 0;
    for (const std::string& phase : phases) {
        int k = phase == "lame" ? 0 : phase == "scmpx" ? 1 : phase == "j1" ? 2 : 3;
        if (!make_tree(koewav, names, wavs)) {
            fprintf(stderr, "cannot write the tree under %s\n", koewav.c_str());
            return 1;
        }
        phase_result r = run_phase(phase, koewav, bin, registry, names);
        times[k] = r.seconds;
        cpu[k] = r.cpu;
        printf("%-18s %8.2f s  %6.2f ms/voice  cpu %6.2f ms/voice  %u of %u converted\n", labels[k], r.seconds,
               1000 * r.seconds / voices, 1000 * r.cpu / voices, r.converted, voices);
        fflush(stdout);
        failed |= r.converted != voices;
    }
    if (only.empty()) {
        printf("speed-up of -j 2 over -j 1: %.2fx\n", times[2] / times[3]);
        printf("drusel's own cost at -j 1, (-j 1 - scmpx loop) / lame loop: %.1f%% of its processor time, "
               "%.1f%% of its wall time\n", 100 * (cpu[2] - cpu[1]) / cpu[0], 100 * (times[2] - times[1]) / times[0]);
        printf("drusel -j 1 against the plain lame loop: %.1f%% more wall time, %.1f%% more processor time "
               "(the wrapper included)\n", 100 * (times[2] / times[0] - 1), 100 * (cpu[2] / cpu[0] - 1));
        printf("20,000 voices: -j 1 %.1f min, -j 2 %.1f min\n", times[2] / voices * 20000 / 60,
               times[3] / voices * 20000 / 60);
    }
    if (!getenv("BENCH_KEEP")) remove_tree(root);
    return failed ? 1 : 0;
}
