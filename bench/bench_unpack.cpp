// Benchmark of the voice unpacker on a synthetic game-sized voice set.
// Usage: bench_unpack [VOICES [FOLDER]] [--decode-only | --only PHASE]
//   (20000 voices by default, in a new folder under $TMPDIR, removed at the end unless BENCH_KEEP
//   is set; --only runs the setup and one end-to-end phase, "setup", "ours" or "plain", untimed,
//   for counting the system calls it makes)
//
// Voices of about 3 s at 22050 Hz, their blocks 70% coded (about 6% of the codes escaped), 20%
// raw and 10% silent, 1000 voices to an archive. Measured in one run:
//   decode only  - the unpacker's block decoder, archives and WAV data in memory;
//   end to end   - unpack_archive writing every WAV file into a fresh koewav folder;
//   the same two for a literal decoder that reads and writes every sample byte by byte through
//   buffered streams, and a plain loop that only writes files of the same names and sizes (the
//   file system's own limit), three passes of it and of the unpacker in turn. Output folders are
//   new for each phase and removed at the end.
// System calls per voice: with strace on PATH, the unpacker's and the plain loop's end-to-end
// phases are run again under `strace -f -c` (see count_calls), less a run of the setup alone.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "tools/koepac/koepac_writer.h"
#include "unpacker/koepac.h"
#include "unpacker/unpack.h"

extern const char tool_title[] = "bench_unpack";

namespace {

constexpr unsigned VOICES_PER_ARCHIVE = 1000;
constexpr unsigned BLOCKS_PER_VOICE = 65;   // 66,560 samples: 3.02 s at 22050 Hz

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A coded block of 1024 samples: a wandering signal whose steps are small but for about one in
// sixteen, which needs an escape.
std::string make_coded_block(std::mt19937& rng) {
    std::vector<uint8_t> codes(1024);
    int v = 128 + static_cast<int>(rng() % 64) - 32;
    for (auto& c : codes) {
        int step;
        if (rng() % 100 < 6) step = static_cast<int>(8 + rng() % 100) * ((rng() & 1) ? 1 : -1);
        else step = static_cast<int>(rng() % 15) - 7;
        v = (v + step) & 0xFF;
        c = static_cast<uint8_t>(v);
    }
    std::string bytes;
    if (!encode_coded_block(codes, false, &bytes)) abort();
    return bytes;
}

struct voice_set {
    std::vector<std::string> archives;   // bytes of Z000.KOE, Z001.KOE, ...
    std::vector<uint32_t> wav_sizes;     // file size of every voice's WAV, in archive order
    uint64_t wav_bytes = 0, archive_bytes = 0;
    uint64_t escapes = 0, codes = 0;
};

voice_set make_voice_set(unsigned voices) {
    std::mt19937 rng(20240601);
    std::vector<std::string> coded_pool, raw_pool;
    voice_set set;
    for (int k = 0; k < 4096; ++k) coded_pool.push_back(make_coded_block(rng));
    for (int k = 0; k < 512; ++k) {
        std::string raw(1024, '\0');
        for (auto& c : raw) c = static_cast<char>(rng());
        raw_pool.push_back(raw);
    }
    // Escape share of the pool, for the report.
    for (const std::string& b : coded_pool) {
        size_t p = 0, n = 2 * b.size();
        auto nib = [&](size_t q) { return (q % 2 ? static_cast<uint8_t>(b[q / 2]) >> 4 : b[q / 2] & 0x0F); };
        while (p < n) {
            ++set.codes;
            if (nib(p) == 15) { ++set.escapes; p += 3; } else { ++p; }
        }
    }

    for (unsigned first = 0; first < voices; first += VOICES_PER_ARCHIVE) {
        unsigned count = std::min(VOICES_PER_ARCHIVE, voices - first);
        std::vector<koe_voice_data> data(count);
        for (unsigned v = 0; v < count; ++v) {
            std::string table, blocks;
            uint32_t samples = 0;
            for (unsigned b = 0; b < BLOCKS_PER_VOICE; ++b) {
                unsigned pick = rng() % 10;
                const std::string* block = nullptr;
                if (pick < 7) block = &coded_pool[rng() % coded_pool.size()];
                else if (pick < 9) block = &raw_pool[rng() % raw_pool.size()];
                size_t size = block ? block->size() : 0;
                table.push_back(static_cast<char>(size & 0xFF));
                table.push_back(static_cast<char>(size >> 8));
                if (block) blocks += *block;
                samples += 1024;
            }
            data[v] = koe_voice_data{static_cast<uint16_t>(v), BLOCKS_PER_VOICE, table + blocks};
            set.wav_sizes.push_back(44 + 2 * samples);
            set.wav_bytes += 44 + 2 * samples;
        }
        set.archives.push_back(build_koepac(data, 0));
        set.archive_bytes += set.archives.back().size();
    }
    return set;
}

std::string archive_name(size_t k) {
    char name[32];
    snprintf(name, sizeof name, "Z%03u.KOE", static_cast<unsigned>(k % 1000));
    return name;
}

// ---- Decode only ----

uint64_t decode_all_fast(const voice_set& set) {
    static unsigned char out[1 << 20];
    uint64_t total = 0;
    for (const std::string& a : set.archives) {
        const auto* p = reinterpret_cast<const unsigned char*>(a.data());
        koe_header header = parse_koe_header(p);
        for (int32_t k = 0; k < header.entry_count; ++k) {
            koe_entry e = parse_koe_entry(p + KOE_HEADER_SIZE + KOE_ENTRY_SIZE * k);
            const unsigned char* sizes = p + e.offset;
            const unsigned char* block = sizes + 2 * e.block_count;
            size_t used = WAV_HEADER_SIZE;
            for (unsigned b = 0; b < e.block_count; ++b) {
                unsigned size = read_u16le(sizes + 2 * b);
                used += 2 * decode_block(block, size, out + used);
                block += size;
            }
            fill_wav_header(out, static_cast<uint32_t>(used - WAV_HEADER_SIZE), 22050);
            total += used;
        }
    }
    return total;
}

// The literal decoder: byte-wise reads of raw blocks, every sample as two single-byte writes
// through the output stream, the header written last after a seek.
uint64_t decode_voice_literally(FILE* in, FILE* out, const koe_entry& e) {
    std::vector<uint16_t> sizes(e.block_count);
    fseek(in, static_cast<long>(e.offset), SEEK_SET);
    if (fread(sizes.data(), 2, e.block_count, in) != e.block_count) abort();
    fseek(out, 44, SEEK_SET);
    std::vector<unsigned char> buf;
    // Counted rather than taken from the position, which a stream on /dev/null does not keep.
    uint64_t samples = 0;
    for (unsigned b = 0; b < e.block_count; ++b) {
        unsigned size = sizes[b];
        if (size == 0) {
            samples += 1024;
            for (int k = 0; k < 1024; ++k) {
                fputc(0, out);
                fputc(0, out);
            }
        } else if (size == 1024) {
            samples += 1024;
            for (int k = 0; k < 1024; ++k) {
                int16_t s = sample_table[fgetc(in) & 0xFF];
                fputc(s & 0xFF, out);
                fputc((s >> 8) & 0xFF, out);
            }
        } else {
            buf.resize(size);
            if (fread(buf.data(), 1, size, in) != size) abort();
            uint8_t acc = 0;
            for (size_t p = 0; p < 2 * size;) {
                unsigned code = (p % 2 == 0) ? buf[p / 2] & 0x0F : buf[p / 2] >> 4;
                ++p;
                if (code == 15) {
                    if (p + 1 >= 2 * size) break;
                    unsigned lo = (p % 2 == 0) ? buf[p / 2] & 0x0F : buf[p / 2] >> 4;
                    unsigned hi = ((p + 1) % 2 == 0) ? buf[(p + 1) / 2] & 0x0F : buf[(p + 1) / 2] >> 4;
                    code = lo | (hi << 4);
                    p += 2;
                }
                acc = static_cast<uint8_t>(acc + delta_table[code]);
                ++samples;
                int16_t s = sample_table[acc];
                fputc(s & 0xFF, out);
                fputc((s >> 8) & 0xFF, out);
            }
        }
    }
    fseek(out, 0, SEEK_SET);
    unsigned char header[44];
    fill_wav_header(header, static_cast<uint32_t>(2 * samples), 22050);
    fwrite(header, 1, 44, out);
    return 44 + 2 * samples;
}

// The literal decoder at its best: plain runtime streams, whose single-byte calls take the
// inline buffer path (the platform's emulated streams are several times slower per byte). The
// archives are read from their files, the WAV data goes to a stream on /dev/null.
uint64_t decode_all_literal(const voice_set& set, const std::string& voice_folder) {
    uint64_t total = 0;
    FILE* out = fopen("/dev/null", "wb");
    if (!out) abort();
    for (size_t a = 0; a < set.archives.size(); ++a) {
        FILE* in = fopen((voice_folder + "/" + archive_name(a)).c_str(), "rb");
        if (!in) abort();
        const auto* p = reinterpret_cast<const unsigned char*>(set.archives[a].data());
        koe_header header = parse_koe_header(p);
        for (int32_t k = 0; k < header.entry_count; ++k) {
            koe_entry e = parse_koe_entry(p + KOE_HEADER_SIZE + KOE_ENTRY_SIZE * k);
            fseek(out, 0, SEEK_SET);
            total += decode_voice_literally(in, out, e);
        }
        fclose(in);
    }
    fclose(out);
    return total;
}

// ---- End to end ----

void make_folder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

// Runs fn in a fresh koewav folder below root, with the unpacker's progress lines sent nowhere.
template <typename F>
double timed_in_folder(const std::string& root, const std::string& phase, F fn) {
    std::string folder = root + "/" + phase;
    make_folder(folder);
    make_folder(folder + "/koewav");
    if (chdir((folder + "/koewav").c_str()) != 0) exit(1);
    fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
    auto start = std::chrono::steady_clock::now();
    fn();
    fflush(stdout);
    double t = seconds_since(start);
    dup2(saved, 1);
    close(saved);
    if (chdir(root.c_str()) != 0) exit(1);
    sync();   // settle the written data before the next phase, outside the timing
    return t;
}

// The unpacker's structure with the literal decoder; its files opened through the platform's
// file calls (as the unpacker opens them) or straight through the runtime.
void unpack_all_literal(const voice_set& set, const std::string& voice_folder, bool through_platform) {
    for (size_t a = 0; a < set.archives.size(); ++a) {
        std::string name = archive_name(a);
        std::string code = name.substr(1, 3);
        FILE* in = through_platform ? open_file((voice_folder + "\\" + name).c_str(), "rb")
                                    : fopen((voice_folder + "/" + name).c_str(), "rb");
        if (!in) abort();
        unsigned char bytes[KOE_HEADER_SIZE];
        if (fread(bytes, 1, sizeof bytes, in) != sizeof bytes) abort();
        koe_header header = parse_koe_header(bytes);
        std::vector<unsigned char> index(KOE_ENTRY_SIZE * header.entry_count);
        if (fread(index.data(), 1, index.size(), in) != index.size()) abort();
        mkdir(code.c_str(), 0777);
        for (int32_t k = 0; k < header.entry_count; ++k) {
            koe_entry e = parse_koe_entry(index.data() + KOE_ENTRY_SIZE * k);
            char path[64];
            snprintf(path, sizeof path, "%s\\Z%s%05u.WAV", code.c_str(), code.c_str(), unsigned{e.id});
            printf("%s -> %s\n", name.c_str(), path);
            FILE* out;
            if (through_platform) {
                out = open_file(path, "wb");
            } else {
                path[3] = '/';
                out = fopen(path, "wb");
            }
            if (!out) abort();
            decode_voice_literally(in, out, e);
            fclose(out);
        }
        fclose(in);
    }
}

// Files of the same names and sizes, written whole; through the platform's file calls (as the
// unpacker opens its files) or straight through the runtime.
void write_all_plain(const voice_set& set, bool through_platform) {
    static unsigned char bytes[1 << 20];
    for (size_t k = 0; k < sizeof bytes; ++k) bytes[k] = static_cast<unsigned char>(k * 31);
    size_t voice = 0;
    for (size_t a = 0; a < set.archives.size(); ++a) {
        std::string code = archive_name(a).substr(1, 3);
        mkdir(code.c_str(), 0777);
        unsigned count = static_cast<unsigned>(parse_koe_header(
            reinterpret_cast<const unsigned char*>(set.archives[a].data())).entry_count);
        for (unsigned k = 0; k < count; ++k, ++voice) {
            char path[64];
            snprintf(path, sizeof path, "%s\\Z%s%05u.WAV", code.c_str(), code.c_str(), k);
            uint32_t size = set.wav_sizes[voice];
            fill_wav_header(bytes, size - 44, 22050);
            FILE* out;
            if (through_platform) {
                out = open_file(path, "wb");
            } else {
                path[3] = '/';
                out = fopen(path, "wb");
            }
            if (!out || fwrite(bytes, 1, size, out) != size || fclose(out) != 0) abort();
        }
    }
}

bool same_file(const std::string& a, const std::string& b) {
    FILE* fa = fopen(a.c_str(), "rb");
    FILE* fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    while (same) {
        int ca = fgetc(fa), cb = fgetc(fb);
        if (ca != cb) same = false;
        if (ca == EOF) break;
    }
    if (fa) fclose(fa);
    if (fb) fclose(fb);
    return same;
}

double mb_per_s(uint64_t bytes, double seconds) { return bytes / seconds / 1e6; }

// Mass deletes slow the creation of files for minutes afterwards on ext4: BENCH_KEEP=1 keeps
// the folder for a later removal at a quiet moment.
void remove_bench_folder(const std::string& root) {
    if (getenv("BENCH_KEEP")) {
        printf("kept %s\n", root.c_str());
        return;
    }
    std::string command = "rm -rf '" + root + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root.c_str());
}

void run_phase(const voice_set& set, const std::string& root, const std::string& voice_folder,
               const std::string& phase) {
    if (phase == "ours") {
        timed_in_folder(root, phase, [&] {
            for (size_t a = 0; a < set.archives.size(); ++a)
                if (unpack_archive(voice_folder.c_str(), archive_name(a).c_str()) != 0) exit(1);
        });
    } else if (phase == "plain") {
        timed_in_folder(root, phase, [&] { write_all_plain(set, false); });
    }
}

// The system calls of `bench_unpack VOICES FOLDER --only phase` and all its children, from the
// total line of strace's summary; -1 when it cannot be counted.
long count_calls(const char* self, unsigned voices, const std::string& root, const std::string& phase) {
    std::string folder = root + "/count-" + phase;
    std::string summary = root + "/count-" + phase + ".txt";
    std::string command = "strace -f -c -o '" + summary + "' '" + self + "' " + std::to_string(voices) + " '" +
                          folder + "' --only " + phase + " >/dev/null 2>'" + summary + ".err'";
    if (int rc = system(command.c_str())) {
        fprintf(stderr, "counting the %s phase failed (%d): %s\n", phase.c_str(), rc, command.c_str());
        return -1;
    }
    FILE* f = fopen(summary.c_str(), "r");
    if (!f) return -1;
    long total = -1;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        double percent, seconds;
        long per_call, calls;
        char name[64];
        if (sscanf(line, "%lf %lf %ld %ld %*s %63s", &percent, &seconds, &per_call, &calls, name) == 5 &&
            strcmp(name, "total") == 0)
            total = calls;
        else if (sscanf(line, "%lf %lf %ld %ld %63s", &percent, &seconds, &per_call, &calls, name) == 5 &&
                 strcmp(name, "total") == 0)
            total = calls;
    }
    fclose(f);
    return total;
}

void report_calls_per_voice(const char* self, unsigned voices, const std::string& root) {
    if (system("command -v strace >/dev/null 2>&1") != 0) {
        printf("system calls per voice: SKIPPED, strace is not installed (apt-get install strace)\n");
        return;
    }
    long setup = count_calls(self, voices, root, "setup");
    long ours = count_calls(self, voices, root, "ours");
    long plain = count_calls(self, voices, root, "plain");
    if (setup < 0 || ours < 0 || plain < 0) {
        printf("system calls per voice: SKIPPED, strace could not run here\n");
        return;
    }
    printf("system calls per voice (strace -f -c, less the setup's %ld)\n", setup);
    printf("  unpacker                          %7.2f   (target <= 7)\n", double(ours - setup) / voices);
    printf("  plain writes, runtime file calls  %7.2f\n", double(plain - setup) / voices);
}

}  // namespace

int main(int argc, char** argv) {
    bool decode_only = false;
    std::string only;
    if (argc > 1 && strcmp(argv[argc - 1], "--decode-only") == 0) {
        decode_only = true;
        --argc;
    } else if (argc > 2 && strcmp(argv[argc - 2], "--only") == 0) {
        only = argv[argc - 1];
        argc -= 2;
    }
    unsigned voices = argc > 1 ? static_cast<unsigned>(strtoul(argv[1], nullptr, 10)) : 20000;
    if (voices == 0) {
        fprintf(stderr, "usage: bench_unpack [VOICES [FOLDER]] [--decode-only | --only setup|ours|plain]\n");
        return 2;
    }
    std::string root;
    if (argc > 2) {
        root = argv[2];
        make_folder(root);
    } else {
        const char* tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vnaudio-bench-XXXXXX";
        if (!mkdtemp(&templ[0])) return 1;
        root = templ;
    }
    char resolved[4096];
    if (!realpath(root.c_str(), resolved)) return 1;
    root = resolved;

    printf("making %u voices ...\n", voices);
    fflush(stdout);
    voice_set set = make_voice_set(voices);
    build_decode_tables();
    std::string voice_folder = root + "/voice";
    make_folder(voice_folder);
    for (size_t a = 0; a < set.archives.size(); ++a) {
        FILE* f = fopen((voice_folder + "/" + archive_name(a)).c_str(), "wb");
        if (!f || fwrite(set.archives[a].data(), 1, set.archives[a].size(), f) != set.archives[a].size() ||
            fclose(f) != 0)
            return 1;
    }
    sync();
    if (!only.empty()) {
        run_phase(set, root, voice_folder, only);
        return 0;
    }
    printf("%u voices in %zu archives: %.1f MB of archives, %.1f MB of WAV; %.1f%% of codes escaped\n",
           voices, set.archives.size(), set.archive_bytes / 1e6, set.wav_bytes / 1e6,
           100.0 * set.escapes / set.codes);

    // Decode only, warm (one untimed pass first); the better of two timed passes of each, as other
    // work on a shared machine only ever slows a pass down.
    decode_all_fast(set);
    double fast_time = 1e30, literal_time = 1e30;
    for (int pass = 0; pass < 2; ++pass) {
        auto start = std::chrono::steady_clock::now();
        uint64_t fast_bytes = decode_all_fast(set);
        fast_time = std::min(fast_time, seconds_since(start));
        start = std::chrono::steady_clock::now();
        uint64_t literal_bytes = decode_all_literal(set, voice_folder);
        literal_time = std::min(literal_time, seconds_since(start));
        if (fast_bytes != set.wav_bytes || literal_bytes != set.wav_bytes) {
            fprintf(stderr, "decoded %llu / %llu bytes, expected %llu\n", (unsigned long long)fast_bytes,
                    (unsigned long long)literal_bytes, (unsigned long long)set.wav_bytes);
            return 1;
        }
    }
    auto rate = [&](double t) { return mb_per_s(set.wav_bytes, t); };
    printf("decode only (WAV into memory)\n");
    printf("  unpacker                          %7.0f MB/s  %6.2f s\n", rate(fast_time), fast_time);
    printf("  literal, runtime streams          %7.0f MB/s  %6.2f s   unpacker x %.2f (target >= 7)\n",
           rate(literal_time), literal_time, literal_time / fast_time);
    fflush(stdout);
    if (decode_only) {
        remove_bench_folder(root);
        return 0;
    }

    // The plain loop and the unpacker in turn, three passes each, as the file system's speed drifts
    // over a long run (writeback, inode allocation) and one pass varies 3x on a shared machine:
    // each is quoted by its median pass, and the ratio of every pair is printed too. The literal
    // runs last.
    constexpr int PASSES = 3;
    std::vector<double> plain_times, ours_times;
    for (int pass = 0; pass < PASSES; ++pass) {
        std::string suffix = pass ? "-" + std::to_string(pass + 1) : "";
        plain_times.push_back(timed_in_folder(root, "plain" + suffix, [&] { write_all_plain(set, false); }));
        ours_times.push_back(timed_in_folder(root, "ours" + suffix, [&] {
            for (size_t a = 0; a < set.archives.size(); ++a)
                if (unpack_archive(voice_folder.c_str(), archive_name(a).c_str()) != 0) exit(1);
        }));
    }
    std::vector<double> pair_ratios;
    for (int pass = 0; pass < PASSES; ++pass) pair_ratios.push_back(plain_times[pass] / ours_times[pass]);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double plain_time = median(plain_times), ours_time = median(ours_times);
    double platform_time = timed_in_folder(root, "plain-platform", [&] { write_all_plain(set, true); });
    double literal_platform_time =
        timed_in_folder(root, "literal", [&] { unpack_all_literal(set, voice_folder, true); });
    double literal_runtime_time =
        timed_in_folder(root, "literal-runtime", [&] { unpack_all_literal(set, voice_folder, false); });

    // The two decoders must agree on what they wrote.
    size_t voice = 0, compared = 0;
    for (size_t a = 0; a < set.archives.size(); ++a) {
        std::string code = archive_name(a).substr(1, 3);
        for (unsigned k = 0; k < VOICES_PER_ARCHIVE && voice < voices; ++k, ++voice) {
            if (voice % 97) continue;
            char rel[64];
            snprintf(rel, sizeof rel, "/koewav/%s/Z%s%05u.WAV", code.c_str(), code.c_str(), k);
            if (!same_file(root + "/ours" + rel, root + "/literal" + rel)) {
                fprintf(stderr, "%s differs between the decoders\n", rel);
                return 1;
            }
            ++compared;
        }
    }

    double ours = rate(ours_time);
    printf("end to end (WAV files into a fresh folder)\n");
    printf("  unpacker                          %7.0f MB/s  %6.2f s\n", ours, ours_time);
    printf("  literal, platform streams         %7.0f MB/s  %6.2f s   unpacker x %.2f (target >= 3.5)\n",
           rate(literal_platform_time), literal_platform_time, ours / rate(literal_platform_time));
    printf("  literal, runtime streams          %7.0f MB/s  %6.2f s   unpacker x %.2f\n",
           rate(literal_runtime_time), literal_runtime_time, ours / rate(literal_runtime_time));
    printf("  plain writes, runtime file calls  %7.0f MB/s  %6.2f s   unpacker x %.2f (target >= 0.7)\n",
           rate(plain_time), plain_time, ours / rate(plain_time));
    printf("    (medians of %d passes each, in turn; unpacker x plain pass by pass:", PASSES);
    for (double r : pair_ratios) printf(" %.2f", r);
    printf(")\n");
    printf("  plain writes, platform file calls %7.0f MB/s  %6.2f s   unpacker x %.2f\n", rate(platform_time),
           platform_time, ours / rate(platform_time));
    printf("%zu files compared between the decoders\n", compared);
    fflush(stdout);
    // The phases change the current folder: the program is named by its full path for strace.
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) self[length] = '\0';
    report_calls_per_voice(length > 0 ? self : argv[0], voices, root);

    remove_bench_folder(root);
    return 0;
}
