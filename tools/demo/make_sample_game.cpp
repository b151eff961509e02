// make_sample_game: makes the demo's sample RealLive-style game folder, with its music tracks,
// voice archives and registry store. Usage: make_sample_game [--voices DIR] [--encoder PATH] FOLDER
// --voices packs the 16-bit mono WAV files of DIR (in name order, one rate) as the game's voices;
// without it the voices are synthesised. --encoder names the MP3 encoder in the registry store.
// FOLDER is made, or made again when an earlier run made it; any other folder is left alone.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tools/demo/sample_game.h"
#include "tools/koepac/koepac_writer.h"

namespace fs = std::filesystem;

// Only a folder holding this file is ever emptied: it is written before anything else.
static const char MARKER[] = ".vnaudio-demo";
static const char MARKER_TEXT[] = "vnaudio demo game folder: tools/demo.sh makes it anew on every run\n";
static const char* const ARCHIVE_CODES[] = {"001", "002", "003"};
static const unsigned VOICE_RATE = 22050;
static const unsigned SYNTHETIC_VOICES = 9;

struct game_summary {
    unsigned nwa_tracks = 0, wav_tracks = 0;
    uintmax_t music_bytes = 0;
    unsigned archives = 0, voices = 0;
};

static bool write_whole(const fs::path& path, const std::string& bytes) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        fprintf(stderr, "make_sample_game: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = fclose(out) == 0 && ok;
    if (!ok) fprintf(stderr, "make_sample_game: %s: write failed\n", path.c_str());
    return ok;
}

static bool read_whole(const fs::path& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *bytes = s.str();
    return !in.bad();
}

static bool is_demo_folder(const fs::path& folder) {
    std::string text;
    return read_whole(folder / MARKER, &text) && text == MARKER_TEXT;
}

// Leaves folder existing and empty, or says why it will not.
static bool prepare_folder(const fs::path& folder) {
    std::error_code ec;
    fs::file_status status = fs::symlink_status(folder, ec);
    if (!fs::exists(status)) {
        if (!fs::create_directories(folder, ec) && ec) {
            fprintf(stderr, "make_sample_game: cannot make %s: %s\n", folder.c_str(), ec.message().c_str());
            return false;
        }
        return true;
    }
    if (!fs::is_directory(status)) {
        fprintf(stderr, "make_sample_game: %s exists and is not a folder; choose another name\n",
                folder.c_str());
        return false;
    }
    fs::directory_iterator it(folder, ec), end;
    if (ec) {
        fprintf(stderr, "make_sample_game: cannot read %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }
    if (it == end) return true;
    if (!is_demo_folder(folder)) {
        fprintf(stderr,
                "make_sample_game: %s already exists and was not made by the demo; it is left as it is.\n"
                "Name another folder, or move this one away.\n",
                folder.c_str());
        return false;
    }
    // Collect first: removing entries while iterating would skip some.
    std::vector<fs::path> entries;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        entries.push_back(it->path());
    }
    for (const fs::path& entry : entries) {
        if (entry.filename() == MARKER) continue;
        fs::remove_all(entry, ec);   // does not follow symbolic links out of the folder
        if (ec) {
            fprintf(stderr, "make_sample_game: cannot remove %s: %s\n", entry.c_str(), ec.message().c_str());
            return false;
        }
    }
    return true;
}

static bool make_folder(const fs::path& folder) {
    std::error_code ec;
    if (!fs::create_directory(folder, ec) && ec) {
        fprintf(stderr, "make_sample_game: cannot make %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

static bool make_music(const fs::path& game, game_summary* summary) {
    if (!make_folder(game / "BGM")) return false;
    std::vector<long long> lengths;
    for (unsigned k = 0; k < SAMPLE_TRACK_COUNT; ++k) {
        const sample_track& track = SAMPLE_TRACKS[k];
        std::vector<int16_t> samples = synthesise_music(k + 1, track.rate, track.channels, track.seconds);
        lengths.push_back(static_cast<long long>(samples.size() / track.channels));
        bool nwa = track.format == TRACK_NWA;
        std::string bytes = nwa ? nwa_file(samples, track.rate, track.channels)
                                : wav_file(samples, track.rate, track.channels);
        if (!write_whole(game / "BGM" / (std::string(track.file) + (nwa ? ".nwa" : ".wav")), bytes))
            return false;
        (nwa ? summary->nwa_tracks : summary->wav_tracks)++;
        summary->music_bytes += bytes.size();
    }
    return write_whole(game / "GAMEEXE.INI", sample_gameexe(lengths));
}

static bool has_wav_extension(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".wav";
}

// The recorded voices, in name order; all of one rate, since an archive has one.
static bool read_voices(const fs::path& folder, std::vector<std::vector<int16_t>>* voices, uint32_t* rate) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (has_wav_extension(it->path())) files.push_back(it->path());
    if (ec) {
        fprintf(stderr, "make_sample_game: cannot read %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }
    if (files.empty()) {
        fprintf(stderr, "make_sample_game: no WAV files in %s\n", folder.c_str());
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::string bytes, error;
        std::vector<int16_t> samples;
        uint32_t file_rate = 0;
        if (!read_whole(file, &bytes) || !read_wav_mono16(bytes, &samples, &file_rate, &error)) {
            fprintf(stderr, "make_sample_game: %s: %s\n", file.c_str(), error.empty() ? "cannot read" : error.c_str());
            return false;
        }
        if (voices->empty()) *rate = file_rate;
        if (file_rate != *rate) {
            fprintf(stderr, "make_sample_game: %s: rate %u, the first voice's is %u\n", file.c_str(), file_rate, *rate);
            return false;
        }
        voices->push_back(std::move(samples));
    }
    return true;
}

// Spreads the voices over up to three archives in order, so each archive holds one speaker's
// lines when the voices come sorted by speaker.
static bool make_voices(const fs::path& game, const std::vector<std::vector<int16_t>>& voices, uint32_t rate,
                        game_summary* summary) {
    if (!make_folder(game / "KOE")) return false;
    const size_t archives = std::min<size_t>(3, voices.size());
    for (size_t a = 0; a < archives; ++a) {
        std::vector<koe_voice_data> packed;
        size_t first = a * voices.size() / archives, last = (a + 1) * voices.size() / archives;
        for (size_t v = first; v < last; ++v) {
            koe_voice_data voice;
            std::string error;
            if (!pack_voice(static_cast<uint16_t>(v - first + 1), compand_samples(voices[v]), &voice, &error)) {
                fprintf(stderr, "make_sample_game: voice %zu: %s\n", v + 1, error.c_str());
                return false;
            }
            packed.push_back(std::move(voice));
        }
        std::string name = std::string("Z") + ARCHIVE_CODES[a] + ".KOE";
        if (!write_whole(game / "KOE" / name, build_koepac(packed, rate))) return false;
        summary->archives++;
        summary->voices += static_cast<unsigned>(packed.size());
    }
    return true;
}

static int usage() {
    fputs("usage: make_sample_game [--voices DIR] [--encoder PATH] FOLDER\n", stderr);
    return 2;
}

int main(int argc, char** argv) {
    const char* voice_folder = nullptr;
    std::string encoder;
    const char* folder = nullptr;
    for (int k = 1; k < argc; ++k) {
        if (strcmp(argv[k], "--voices") == 0 && k + 1 < argc) {
            voice_folder = argv[++k];
        } else if (strcmp(argv[k], "--encoder") == 0 && k + 1 < argc) {
            encoder = argv[++k];
        } else if (argv[k][0] == '-' || folder) {
            return usage();
        } else {
            folder = argv[k];
        }
    }
    if (!folder || !*folder) return usage();

    // Read the recordings before touching the folder, so a bad voice folder changes nothing.
    std::vector<std::vector<int16_t>> voices;
    uint32_t rate = VOICE_RATE;
    if (voice_folder) {
        if (!read_voices(voice_folder, &voices, &rate)) return 1;
    } else {
        for (unsigned v = 0; v < SYNTHETIC_VOICES; ++v)
            voices.push_back(synthesise_voice(v + 1, VOICE_RATE, v * 3 / SYNTHETIC_VOICES));
    }

    const fs::path game = folder;
    if (!prepare_folder(game)) return 1;
    game_summary summary;
    bool ok = write_whole(game / MARKER, MARKER_TEXT) && write_whole(game / "REALLIVE.EXE", "") &&
              make_music(game, &summary) && make_voices(game, voices, rate, &summary) &&
              write_whole(game / "registry.reg", sample_registry(encoder));
    if (!ok) return 1;
    printf("%u music tracks in BGM (%u NWA, %u WAV, %.1f MB), %u voices in %u KOEPAC archives in KOE\n",
           SAMPLE_TRACK_COUNT, summary.nwa_tracks, summary.wav_tracks, summary.music_bytes / 1e6,
           summary.voices, summary.archives);
    return 0;
}
