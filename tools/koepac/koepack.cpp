// koepack: packs 16-bit mono WAV files into a KOEPAC voice archive, for making test and demo
// games. Usage: koepack [-r RATE] ARCHIVE [ID=]FILE.WAV...
// Voices are numbered from 1 in the order given; ID= sets a voice's number, and the ones after it
// count on from there. The rate is the first file's unless -r gives one (0 stores "22050").
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/koepac/koepac_writer.h"

static bool read_whole(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *bytes = s.str();
    return true;
}

static int usage() {
    fprintf(stderr, "usage: koepack [-r RATE] ARCHIVE [ID=]FILE.WAV...\n");
    return 2;
}

int main(int argc, char** argv) {
    int arg = 1;
    bool have_rate = false;
    uint32_t rate = 0;
    if (arg + 1 < argc && strcmp(argv[arg], "-r") == 0) {
        char* end = nullptr;
        unsigned long value = strtoul(argv[arg + 1], &end, 10);
        if (!*argv[arg + 1] || *end || value > 0xFFFFFFFFul) return usage();
        rate = static_cast<uint32_t>(value);
        have_rate = true;
        arg += 2;
    }
    if (argc - arg < 2) return usage();
    const char* archive_path = argv[arg++];

    std::vector<koe_voice_data> voices;
    unsigned long next_id = 1;
    for (; arg < argc; ++arg) {
        std::string argument = argv[arg];
        std::string path = argument;
        size_t eq = argument.find('=');
        if (eq != std::string::npos && eq > 0 && argument.find_first_not_of("0123456789") == eq) {
            next_id = strtoul(argument.substr(0, eq).c_str(), nullptr, 10);
            path = argument.substr(eq + 1);
        }
        if (next_id > 65535) {
            fprintf(stderr, "koepack: %s: voice number above 65535\n", path.c_str());
            return 1;
        }
        std::string bytes, error;
        std::vector<int16_t> samples;
        uint32_t file_rate = 0;
        if (!read_whole(path, &bytes)) {
            fprintf(stderr, "koepack: %s: cannot read\n", path.c_str());
            return 1;
        }
        if (!read_wav_mono16(bytes, &samples, &file_rate, &error)) {
            fprintf(stderr, "koepack: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        if (!have_rate) {
            rate = file_rate;
            have_rate = true;
        } else if (file_rate != (rate ? rate : 22050)) {
            fprintf(stderr, "koepack: %s: rate %u differs from the archive's %u\n", path.c_str(),
                    file_rate, rate ? rate : 22050);
            return 1;
        }
        koe_voice_data voice;
        if (!pack_voice(static_cast<uint16_t>(next_id), compand_samples(samples), &voice, &error)) {
            fprintf(stderr, "koepack: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        voices.push_back(std::move(voice));
        ++next_id;
    }

    std::string archive = build_koepac(voices, rate);
    FILE* out = fopen(archive_path, "wb");
    if (!out) {
        fprintf(stderr, "koepack: %s: %s\n", archive_path, strerror(errno));
        return 1;
    }
    bool ok = fwrite(archive.data(), 1, archive.size(), out) == archive.size();
    ok = fclose(out) == 0 && ok;
    if (!ok) {
        fprintf(stderr, "koepack: %s: write failed\n", archive_path);
        remove(archive_path);
        return 1;
    }
    return 0;
}
