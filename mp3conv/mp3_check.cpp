// MPEG audio frame walking for the check of an encoder's output. Every read is bounded by the
// count given: a cut or hostile file ends the walk with a fault, never a read past its end.
#include "mp3conv/mp3_check.h"

#include <cstring>

namespace {

struct frame_header {
    unsigned long size;               // bytes, header included
    unsigned long samples;            // per frame
    unsigned long rate;
    int version;                      // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int layer;                        // 1, 2 or 3
    int mono;
};

// kbit/s by [MPEG-1 ? 0 : 1][layer - 1][index]; index 0 is free format, 15 is not allowed.
const unsigned short bitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};

const unsigned long mpeg1_rates[3] = {44100, 48000, 32000};

// 1 with the frame's facts when four bytes are a valid frame header.
int read_header(const unsigned char* b, frame_header* h) {
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return 0;
    int version = (b[1] >> 3) & 3, layer_bits = (b[1] >> 1) & 3;
    int rate_index = (b[2] >> 2) & 3, bitrate_index = b[2] >> 4, padding = (b[2] >> 1) & 1;
    if (version == 1 || layer_bits == 0 || rate_index == 3 || bitrate_index == 0 || bitrate_index == 15 ||
        (b[3] & 3) == 2)
        return 0;
    h->version = version;
    h->layer = 4 - layer_bits;
    h->rate = mpeg1_rates[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    h->mono = (b[3] >> 6) == 3;
    unsigned long bitrate = bitrates[version == 3 ? 0 : 1][h->layer - 1][bitrate_index] * 1000UL;
    if (h->layer == 1) {
        h->samples = 384;
        h->size = (12 * bitrate / h->rate + padding) * 4;
    } else {
        h->samples = h->layer == 3 && version != 3 ? 576 : 1152;
        h->size = h->samples / 8 * bitrate / h->rate + padding;
    }
    return h->size >= 4;
}

bool has_tag_at(const unsigned char* b, size_t count, size_t at, const char* tag) {
    size_t n = strlen(tag);
    return at <= count && count - at >= n && memcmp(b + at, tag, n) == 0;
}

// The encoder's header frame (Xing, Info or VBRI) carries no sound of the voice.
bool is_header_frame(const unsigned char* frame, const frame_header& h) {
    if (h.layer != 3) return false;
    size_t side = h.version == 3 ? (h.mono ? 17 : 32) : (h.mono ? 9 : 17);
    return has_tag_at(frame, h.size, 4 + side, "Xing") || has_tag_at(frame, h.size, 4 + side, "Info") ||
           has_tag_at(frame, h.size, 4 + 32, "VBRI");
}

int fail(mp3_facts* facts, size_t at, const char* why) {
    facts->fault_at = at;
    facts->fault = why;
    return 0;
}

uint32_t le(const unsigned char* b, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | b[i];
    return v;
}

}  // namespace

int is_mp3_start(const unsigned char* bytes, size_t count) {
    if (count >= 3 && bytes[0] == 'I' && bytes[1] == 'D' && bytes[2] == '3') return 1;
    return count >= 2 && bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0;
}

int check_mp3(const unsigned char* bytes, size_t count, mp3_facts* facts) {
    *facts = mp3_facts{0, 0, 0, 0, nullptr};
    size_t at = 0;
    if (has_tag_at(bytes, count, 0, "ID3")) {
        if (count < 10) return fail(facts, 0, "cut ID3v2 tag");
        if (bytes[3] == 0xFF || bytes[4] == 0xFF || (bytes[6] | bytes[7] | bytes[8] | bytes[9]) & 0x80)
            return fail(facts, 0, "bad ID3v2 header");
        size_t body = static_cast<size_t>(bytes[6]) << 21 | static_cast<size_t>(bytes[7]) << 14 |
                      static_cast<size_t>(bytes[8]) << 7 | bytes[9];
        size_t tag = 10 + body + (bytes[5] & 0x10 ? 10 : 0);
        if (tag > count) return fail(facts, 0, "cut ID3v2 tag");
        at = tag;
    }
    frame_header first{};
    bool seen_frame = false;
    while (at < count) {
        // An ID3v1 tag may close the file: exactly its last 128 bytes.
        if (count - at == 128 && has_tag_at(bytes, count, at, "TAG")) break;
        frame_header h;
        if (count - at < 4 || !read_header(bytes + at, &h)) return fail(facts, at, "not an MPEG audio frame");
        if (seen_frame && (h.version != first.version || h.layer != first.layer || h.rate != first.rate))
            return fail(facts, at, "frame of another MPEG version, layer or rate");
        if (h.size > count - at) return fail(facts, at, "last frame cut short");
        bool header_frame = !seen_frame && is_header_frame(bytes + at, h);
        if (!seen_frame) first = h;
        seen_frame = true;
        if (!header_frame) ++facts->audio_frames;
        at += h.size;
    }
    if (facts->audio_frames == 0) return fail(facts, at, "no MPEG audio frame");
    facts->samples_per_frame = first.samples;
    facts->rate = first.rate;
    return 1;
}

int read_wav_length(const unsigned char* bytes, size_t count, uint64_t size, uint64_t* samples,
                    unsigned long* rate) {
    if (count < 12 || memcmp(bytes, "RIFF", 4) != 0 || memcmp(bytes + 8, "WAVE", 4) != 0) return 0;
    unsigned long block_align = 0;
    *rate = 0;
    size_t at = 12;
    while (at <= count && count - at >= 8) {
        uint32_t chunk = le(bytes + at + 4, 4);
        if (memcmp(bytes + at, "fmt ", 4) == 0) {
            if (chunk < 16 || count - at - 8 < 16) return 0;
            *rate = le(bytes + at + 12, 4);
            block_align = le(bytes + at + 20, 2);
        } else if (memcmp(bytes + at, "data", 4) == 0) {
            if (*rate == 0 || block_align == 0) return 0;
            // A data chunk that claims more than the file holds has only what is there.
            uint64_t there = size > at + 8 ? size - (at + 8) : 0;
            uint64_t data = there < chunk ? there : chunk;
            *samples = data / block_align;
            return 1;
        }
        uint64_t next = at + 8 + static_cast<uint64_t>(chunk) + (chunk & 1);
        if (next > count) return 0;
        at = static_cast<size_t>(next);
    }
    return 0;
}

int mp3_length_matches(const mp3_facts* facts, uint64_t wav_samples, unsigned long wav_rate) {
    if (facts->rate == 0 || wav_rate == 0) return 0;
    // Compared in samples of the MP3's rate, so an encoder that resamples is measured fairly.
    uint64_t mp3 = static_cast<uint64_t>(facts->audio_frames) * facts->samples_per_frame * wav_rate;
    uint64_t wav = wav_samples * facts->rate;
    uint64_t frame = static_cast<uint64_t>(facts->samples_per_frame) * wav_rate;
    // An encoder gives back at least what it was given (it fills its last frame and adds its delay):
    // an MP3 shorter than the voice lost frames, even where it ends on a frame's edge.
    if (mp3 < wav) return 0;
    return mp3 <= wav + frame + static_cast<uint64_t>(MP3_PADDING_SAMPLES) * wav_rate;
}
