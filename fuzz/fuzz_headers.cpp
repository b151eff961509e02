// Fuzz target: the NWA and WAV header probes. The first 44 bytes are parsed in memory for both
// engines and then probed as a file of the input's length (at most 44 bytes) through probe_nwa,
// probe_wav and get_track_timing, which must agree with the parse; three more 32-bit fields are
// printed as CD time codes at the accepted rate, which must add up to the position's frames.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "configurator/engine.h"
#include "configurator/track_timing.h"
#include "fuzz/fuzz_support.h"

namespace {

int32_t field(const uint8_t* p) {
    return static_cast<int32_t>(p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

// The time code of position at rate must come to the position's whole frames: minutes, seconds
// and frames all truncated toward zero, so a negative position mirrors a positive one.
void check_time_code(int32_t position, int32_t rate, int track) {
    char code[TIME_CODE_SIZE];
    format_time_code(code, position, rate, track);
    int t, m, s, f, used = 0;
    if (sscanf(code, "%d:%d:%d:%d%n", &t, &m, &s, &f, &used) != 4 || code[used] != '\0')
        fuzz_fail("time code \"%s\" is not TT:MM:SS:FF", code);
    if (t != track) fuzz_fail("time code \"%s\" for track %d", code, track);
    long long whole_frames = static_cast<long long>(position) * 75 / rate;
    long long told = 4500LL * m + 75LL * s + f;
    if (told != whole_frames || s <= -60 || s >= 60 || f <= -75 || f >= 75)
        fuzz_fail("time code \"%s\" of position %d at rate %d: %lld frames, not %lld", code, position, rate, told,
                  whole_frames);
}

void check_headers(const uint8_t* data, size_t size) {
    uint8_t header[HEADER_SIZE] = {};
    memcpy(header, data, size < HEADER_SIZE ? size : HEADER_SIZE);
    const bool whole = size >= HEADER_SIZE;

    track_timing nwa{-7, -7}, wav[3] = {{-7, -7}, {-7, -7}, {-7, -7}};
    int nwa_ok = parse_nwa_header(header, &nwa);
    int wav_ok[3] = {0, parse_wav_header(header, AVG32, &wav[AVG32]), parse_wav_header(header, REALLIVE, &wav[REALLIVE])};
    if (nwa_ok && (nwa.rate <= 0 || nwa.length < 0)) fuzz_fail("NWA accepted with rate %d, length %d", nwa.rate, nwa.length);
    for (int system : {AVG32, REALLIVE})
        if (wav_ok[system] && (wav[system].rate <= 0 || wav[system].length < 0))
            fuzz_fail("WAV accepted with rate %d, length %d", wav[system].rate, wav[system].length);

    // The same bytes as a file: a short file is refused whatever it holds.
    put_file("t.nwa", data, whole ? HEADER_SIZE : size);
    put_file("t.wav", data, whole ? HEADER_SIZE : size);
    track_timing probed{-7, -7};
    if (probe_nwa("t.nwa", &probed, REALLIVE) != (whole && nwa_ok))
        fuzz_fail("probe_nwa disagrees with the parse (file of %zu bytes)", whole ? HEADER_SIZE : size);
    if (whole && nwa_ok && (probed.rate != nwa.rate || probed.length != nwa.length)) fuzz_fail("probe_nwa timing differs");
    for (int system : {AVG32, REALLIVE}) {
        probed = {-7, -7};
        if (probe_wav("t.wav", &probed, system) != (whole && wav_ok[system]))
            fuzz_fail("probe_wav disagrees with the parse for system %d", system);
        if (whole && wav_ok[system] && (probed.rate != wav[system].rate || probed.length != wav[system].length))
            fuzz_fail("probe_wav timing differs for system %d", system);

        // The carried rate never becomes one that a later time code would divide by.
        last_rate = START_RATE;
        track_timing timing;
        get_track_timing(".", "t", &timing, system);
        if (last_rate <= 0) fuzz_fail("carried rate %d", last_rate);
    }

    const uint8_t* positions = size >= HEADER_SIZE + 12 ? data + HEADER_SIZE : nullptr;
    int track = size > HEADER_SIZE + 12 ? data[HEADER_SIZE + 12] : 2;
    for (const track_timing* t : {&nwa, &wav[AVG32], &wav[REALLIVE]}) {
        if (t->rate <= 0) continue;
        check_time_code(0, t->rate, track);
        check_time_code(t->length, t->rate, track);
        if (positions)
            for (int k = 0; k < 3; ++k) check_time_code(field(positions + 4 * k), t->rate, track);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    enter_scratch();
    check_headers(data, size);
    leave_scratch();
    return 0;
}
