// Times tormel's whole run on a generated game: a GAMEEXE.INI of 50,000 lines with 1,000 music
// tracks, each with its NWA or WAV file, for each engine.
//
//   bench_tormel [work folder] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "configurator/driver.h"

extern const char tool_title[] = "tormel.exe";

namespace {

constexpr int LINES = 50000;
constexpr int TRACKS = 1000;

void put_u16(std::string& s, unsigned v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>(v >> 8 & 0xff);
}

void put_u32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i) & 0xff);
}

bool write_bytes(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// A 16-bit PCM WAV file: the header and a second of silence behind it.
std::string wav_file(unsigned rate, unsigned channels) {
    uint32_t data = rate * channels * 2;
    std::string h = "RIFF";
    put_u32(h, 36 + data);
    h += "WAVEfmt ";
    put_u32(h, 16);
    put_u16(h, 1);
    put_u16(h, channels);
    put_u32(h, rate);
    put_u32(h, rate * channels * 2);
    put_u16(h, channels * 2);
    put_u16(h, 16);
    h += "data";
    put_u32(h, data);
    return h + std::string(data, '\0');
}

std::string nwa_file(unsigned rate, unsigned channels, uint32_t frames) {
    uint32_t samples = frames * channels, per_block = 512 * channels;
    uint32_t blocks = (samples + per_block - 1) / per_block;
    std::string h;
    put_u16(h, channels);
    put_u16(h, 16);
    put_u32(h, rate);
    put_u32(h, 0);
    put_u32(h, 0);
    put_u32(h, blocks);
    put_u32(h, samples * 2);
    put_u32(h, 0);
    put_u32(h, samples);
    put_u32(h, per_block);
    put_u32(h, samples - (blocks - 1) * per_block);
    put_u32(h, 0);
    return h + std::string(4096, '\x55');
}

// The game's GAMEEXE.INI: settings and commented filler lines around the track entries.
std::string gameexe(bool reallive) {
    std::string ini = "#CAPTION = \"\x83\x65\x83\x58\x83\x67\"\r\n#REGNAME = \"BENCH\\GAME\"\r\n"
                      "#MUSIC_TYPE = 000\r\n#KOE_DOUBLE_PAC = 001\r\n#BGM_MODE = 0\r\n"
                      "#SYSCOM.011 = N : \"\x89\xb9\x8a\x79\"\r\n#CDDA_BGM_SETUP_NEED = 1\r\n";
    int written = 7, track = 0;
    char line[160];
    while (written < LINES) {
        if (track < TRACKS && (written - 7) % (LINES / TRACKS) == 0) {
            bool whole = reallive && track % 10 == 0;
            snprintf(line, sizeof line, "#DSTRACK = %08d - %08d - %08d = \"BGM%04d\" = \"TRACK%04d\"\r\n",
                     whole ? 0 : 44100 * (track % 7), whole || track % 3 == 0 ? 99999999 : 44100 * 90,
                     whole ? 0 : 22050 * (track % 11), track, track);
            ++track;
        } else {
            snprintf(line, sizeof line, "#SEL.%05d = 000,000,639,479 ; \x83\x65\x83\x58\x83\x67 filler %d\r\n",
                     written, written * 7);
        }
        ini += line;
        ++written;
    }
    return ini;
}

double run_once(int argc, char** argv, const std::string& ini) {
    write_bytes("GAMEEXE.INI", ini);
    remove("GAMEEXE.org");
    remove("_inmm.ini");
    auto start = std::chrono::steady_clock::now();
    int status = run_configurator(argc, argv);
    auto end = std::chrono::steady_clock::now();
    if (status != 0) {
        fprintf(stderr, "bench_tormel: the run failed\n");
        exit(1);
    }
    return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string work = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/bench_tormel");
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    mkdir(work.c_str(), 0777);
    std::string registry = work + "/registry.reg";
    write_bytes(registry, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\BENCH\\GAME]\r\n\"BGM_FOLDER\"=\"BGM\"\r\n");
    setenv("VNAUDIO_REGISTRY", registry.c_str(), 1);

    for (bool reallive : {false, true}) {
        std::string game = work + (reallive ? "/reallive" : "/avg32");
        mkdir(game.c_str(), 0777);
        mkdir((game + "/BGM").c_str(), 0777);
        if (chdir(game.c_str()) != 0) return 1;
        for (int t = 0; t < TRACKS; ++t) {
            char name[32];
            snprintf(name, sizeof name, "BGM/BGM%04d.%s", t, reallive && t % 2 ? "nwa" : "wav");
            write_bytes(name, reallive && t % 2 ? nwa_file(44100, 2, 441000) : wav_file(44100, 2));
        }
        std::string ini = gameexe(reallive);
        char program[] = "tormel";
        char option[16];
        strcpy(option, reallive ? "--reallive" : "--avg32");
        char* args[] = {program, option, nullptr};
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) times.push_back(run_once(2, args, ini));
        std::sort(times.begin(), times.end());
        printf("%-8s %d lines, %d tracks, %zu bytes: median %.1f ms, best %.1f ms over %d runs\n",
               reallive ? "RealLive" : "AVG32", LINES, TRACKS, ini.size(), times[times.size() / 2], times[0], runs);
    }
    return 0;
}
