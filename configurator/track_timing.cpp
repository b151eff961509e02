// Measures music tracks by their 44-byte headers and turns positions into CD time codes.
#include "configurator/track_timing.h"

#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "configurator/engine.h"
#include "platform/platform.h"

int32_t last_rate = START_RATE;

static uint32_t read_u16(const uint8_t* p) { return p[0] | static_cast<uint32_t>(p[1]) << 8; }

static uint32_t read_u32(const uint8_t* p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// A header field taken as the signed 32-bit value the record holds; sizes beyond 2^31 - 1 saturate
// rather than turn negative.
static int32_t to_units(uint32_t value) {
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

int parse_nwa_header(const uint8_t header[HEADER_SIZE], track_timing* timing) {
    uint32_t channels = read_u16(header + 0);
    uint32_t bits = read_u16(header + 2);
    int32_t rate = static_cast<int32_t>(read_u32(header + 4));
    uint32_t blocks = read_u32(header + 16);
    uint32_t data_size = read_u32(header + 20);
    uint32_t samples = read_u32(header + 28);
    uint32_t block_samples = read_u32(header + 32);
    uint32_t last_block_samples = read_u32(header + 36);

    if (data_size != bits * samples / 8) return 0;
    if ((blocks - 1) * block_samples + last_block_samples != samples) return 0;
    // Nothing else may divide by zero or give a rate that counts backwards.
    if (channels == 0 || rate <= 0) return 0;

    timing->rate = rate;
    timing->length = to_units(samples / channels);
    return 1;
}

int parse_wav_header(const uint8_t header[HEADER_SIZE], int system, track_timing* timing) {
    if (memcmp(header + 12, "fmt ", 4) != 0 || memcmp(header + 36, "data", 4) != 0) return 0;
    if (read_u16(header + 20) != 1) return 0;

    int32_t sample_rate = static_cast<int32_t>(read_u32(header + 24));
    int32_t byte_rate = static_cast<int32_t>(read_u32(header + 28));
    uint32_t block_align = read_u16(header + 32);
    uint32_t data_size = read_u32(header + 40);

    if (system == AVG32) {
        if (byte_rate <= 0) return 0;
        timing->rate = byte_rate;
        timing->length = to_units(data_size);
    } else {
        if (sample_rate <= 0 || block_align == 0) return 0;
        timing->rate = sample_rate;
        timing->length = to_units(data_size / block_align);
    }
    return 1;
}

// Reads the first HEADER_SIZE bytes of an open file in one read and closes it; 1 when all came.
static int read_header(FILE* file, uint8_t header[HEADER_SIZE]) {
    size_t got = fread(header, 1, HEADER_SIZE, file);
    fclose(file);
    return got == HEADER_SIZE;
}

int probe_nwa(const char* path, track_timing* timing, int system) {
    FILE* file = open_file(path, "rb");
    if (!file) return 0;
    uint8_t header[HEADER_SIZE];
    if (!read_header(file, header) || !parse_nwa_header(header, timing)) {
        error_box("%sは不正な、または未対応の形式のnwaファイルです。", path);
        return 0;
    }
    if (system != REALLIVE) {
        // Only RealLive games have NWA music; reaching here is a fault in this program.
        fprintf(stderr, "tormel: probe_nwa called for a game that is not RealLive\n");
        abort();
    }
    return 1;
}

int probe_wav(const char* path, track_timing* timing, int system) {
    FILE* file;
    while (!(file = open_file(path, "rb"))) {
        int answer = ask_abort_retry_ignore("%sのオープンに失敗しました。", path);
        if (answer == ANSWER_RETRY) continue;
        if (answer == ANSWER_IGNORE) return 1;
        // Abort, and any answer a failed box gives, stops the run.
        return 0;
    }
    uint8_t header[HEADER_SIZE];
    if (!read_header(file, header) || !parse_wav_header(header, system, timing)) {
        error_box("%sは無圧縮WAVE形式ではありません。", path);
        return 0;
    }
    return 1;
}

static int32_t clamp_units(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int get_track_timing(const char* folder, const char* name, track_timing* timing, int system) {
    // Defaults for a track the user skips: 60 seconds at the rate of the track before.
    int64_t rate = last_rate;
    if (system == AVG32) rate *= 4;
    timing->rate = clamp_units(rate);
    timing->length = clamp_units(rate * 60);

    char path[TRACK_PATH_SIZE];
    int n = snprintf(path, sizeof path, "%s\\%s.wav", folder, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        error_box("%s\\%s.wavはパスが長すぎます。", folder, name);
        return 0;
    }

    int result = 0;
    if (system == REALLIVE) {
        snprintf(path, sizeof path, "%s\\%s.nwa", folder, name);
        result = probe_nwa(path, timing, system);
    }
    if (!result) {
        snprintf(path, sizeof path, "%s\\%s.wav", folder, name);
        result = probe_wav(path, timing, system);
    }

    // A byte rate below 4 carries no whole frame; keeping the old rate spares the next track a
    // rate of 0.
    int32_t carried = system == AVG32 ? timing->rate / 4 : timing->rate;
    if (carried > 0) last_rate = carried;
    return result;
}

void format_time_code(char out[TIME_CODE_SIZE], int32_t position, int32_t rate, int track) {
    // 64-bit products, so that no 32-bit position or rate overflows; every quotient fits an int.
    int minutes = 0, seconds = 0, frames = 0;
    if (rate > 0) {
        minutes = static_cast<int>(position / (int64_t{rate} * 60));
        seconds = static_cast<int>(position / rate % 60);
        frames = static_cast<int>(int64_t{position} * 75 / rate % 75);
    }
    snprintf(out, TIME_CODE_SIZE, "%02d:%02d:%02d:%02d", track, minutes, seconds, frames);
}

void write_time_code(int32_t position, int32_t rate, int track, FILE* output) {
    char code[TIME_CODE_SIZE];
    format_time_code(code, position, rate, track);
    fputs(code, output);
}
