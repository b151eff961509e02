// Rate and length of a music track from its NWA or WAV header, and CD time codes of positions.
#ifndef VNAUDIO_TRACK_TIMING_H
#define VNAUDIO_TRACK_TIMING_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Units per second and length in units: bytes of PCM data for AVG32, sample frames for RealLive.
struct track_timing {
    int32_t rate;
    int32_t length;
};

// Rate in sample frames per second of the track handled last; the default for the next one.
extern int32_t last_rate;
constexpr int32_t START_RATE = 22050;

constexpr size_t HEADER_SIZE = 44;
// Room for a track file path, terminator included.
constexpr size_t TRACK_PATH_SIZE = 256;

// Header checks on the first 44 bytes of a file: 1 and the record filled when the header is
// accepted, 0 and the record untouched when not.
int parse_nwa_header(const uint8_t header[HEADER_SIZE], track_timing* timing);
int parse_wav_header(const uint8_t header[HEADER_SIZE], int system, track_timing* timing);

// 1 when the NWA file at path was opened and its header accepted (record filled). RealLive only.
int probe_nwa(const char* path, track_timing* timing, int system);
// 1 when the WAV header was accepted (record filled) or the user chose Ignore (record untouched).
int probe_wav(const char* path, track_timing* timing, int system);
// Describes the track folder\name: 1 when probed or skipped, 0 when the rewriting must stop.
int get_track_timing(const char* folder, const char* name, track_timing* timing, int system);

// "TT:MM:SS:FF" (each at least two digits) for position at rate on CD track track; out needs
// TIME_CODE_SIZE bytes.
constexpr size_t TIME_CODE_SIZE = 48;
void format_time_code(char out[TIME_CODE_SIZE], int32_t position, int32_t rate, int track);
void write_time_code(int32_t position, int32_t rate, int track, FILE* output);

#endif
