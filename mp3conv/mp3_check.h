// Whether a file an encoder wrote is a whole MP3 of the voice it was given: checked on bytes in
// memory, reading nothing outside the buffer whatever it holds.
#ifndef VNAUDIO_MP3_CHECK_H
#define VNAUDIO_MP3_CHECK_H

#include <cstddef>
#include <cstdint>

// What a walk over an MP3 file found.
struct mp3_facts {
    unsigned long audio_frames;       // frames of sound; a Xing/Info/VBRI header frame is not one
    unsigned long samples_per_frame;  // 384, 576 or 1152
    unsigned long rate;               // samples per second of every frame
    size_t fault_at;                  // where the walk stopped, when the file is not whole
    const char* fault;                // null for a whole file, otherwise what is wrong (English, for logs)
};

// 1 when the bytes look like the start of MP3 data: an ID3v2 tag or an MPEG audio frame sync.
int is_mp3_start(const unsigned char* bytes, size_t count);

// 1 when the bytes are whole MP3 data: an optional ID3v2 tag, then MPEG audio frames of one
// version, layer and rate, each complete, from the first to the last byte, with an optional ID3v1
// tag after them, and at least one frame of sound. Free-format frames are refused.
int check_mp3(const unsigned char* bytes, size_t count, mp3_facts* facts);

// The length of a PCM WAV file from its header: 1 with its sample frames and rate, 0 when the
// bytes are not a WAV file this can measure. count may be less than the file's size (size).
int read_wav_length(const unsigned char* bytes, size_t count, uint64_t size, uint64_t* samples,
                    unsigned long* rate);

// How far an MP3 may run past the WAV it was made from besides its last frame, in samples at the
// MP3's rate: the encoder's delay at the start (576 for LAME, plus the decoder's 529) and the
// filling of a last frame of up to 1152, rounded up to two MPEG-1 layer III frames. LAME's output
// runs 1,177 to 2,208 samples past the WAV over 8 to 48 kHz.
constexpr unsigned long MP3_PADDING_SAMPLES = 2304;

// 1 when the MP3's sound lasts as long as the WAV's: never shorter (an encoder fills its last frame
// and adds its delay, so a shorter file lost frames to a cut that fell on a frame's edge) and no
// more than one frame plus the padding above past it.
int mp3_length_matches(const mp3_facts* facts, uint64_t wav_samples, unsigned long wav_rate);

#endif
