// The KOEPAC voice archive format and the block decoder. Everything here works on bytes in memory,
// so the stream code around it stays thin and the decoder can be tested and fuzzed directly.
#include "unpacker/koepac.h"

#include <cstring>

int16_t sample_table[256];
uint8_t delta_table[256];

// Derived from the two tables above for the hot loops, filled with them:
// - sample_bytes: each sample already in file byte order;
// - the coded-block transducer. A coded block is read a byte at a time in one of three states:
//   ALIGNED (at a byte's low nibble), WHOLE (an escape in the previous high nibble takes this
//   byte as its code) and SPLIT (an escape in the previous low nibble took its high nibble, and
//   takes this byte's low nibble). A byte in a state yields 0 to 2 samples and the next state, so
//   the decoder runs without a branch on the data and escapes cost no more than plain codes.
static uint16_t sample_bytes[256];
enum { ALIGNED = 0, WHOLE = 3, SPLIT = 6 };   // shift of the state's field in next_state
static uint16_t next_state[256];              // per byte: 3-bit next state from each state
// Per state and byte: the step to the first sample (bits 0-7), to the second (8-15, the sum of
// both steps) and the bytes of output (16-18). Rows: ALIGNED, WHOLE, then SPLIT for each high
// nibble of the previous byte.
static uint32_t coded_steps[(2 + 16) * 256];
static uint16_t state_row[(SPLIT + 1) * 16];  // row of a state (and previous high nibble)

uint16_t read_u16le(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t read_u32le(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

koe_header parse_koe_header(const unsigned char bytes[KOE_HEADER_SIZE]) {
    koe_header header;
    memcpy(header.magic, bytes, 7);
    header.magic[7] = '\0';
    header.entry_count = static_cast<int32_t>(read_u32le(bytes + 16));
    header.sample_rate = read_u32le(bytes + 24);
    return header;
}

int is_koepac(const koe_header& header) { return strcmp(header.magic, "KOEPAC") == 0; }

koe_entry parse_koe_entry(const unsigned char bytes[KOE_ENTRY_SIZE]) {
    koe_entry entry;
    entry.id = read_u16le(bytes);
    entry.block_count = read_u16le(bytes + 2);
    entry.offset = read_u32le(bytes + 4);
    return entry;
}

void write_sample(int16_t value, unsigned char out[2]) {
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

void build_decode_tables() {
    for (int16_t i = -128; i <= 127; ++i) {
        int magnitude = i < 0 ? -i : i;
        sample_table[i + 128] = static_cast<int16_t>(static_cast<uint16_t>(i * magnitude * 2));
    }
    for (unsigned j = 0; j < 256; ++j) {
        unsigned t = j >> 1;
        if (j & 1) t ^= 0xFF;
        delta_table[j] = static_cast<uint8_t>(0u - t);
    }
    for (unsigned x = 0; x < 256; ++x) {
        unsigned char bytes[2];
        write_sample(sample_table[x], bytes);
        memcpy(&sample_bytes[x], bytes, 2);
    }
    auto step = [](unsigned first, unsigned second, unsigned samples) {
        return (first & 0xFF) | (((first + second) & 0xFF) << 8) | ((2 * samples) << 16);
    };
    for (unsigned b = 0; b < 256; ++b) {
        unsigned low = b & 0x0F, high = b >> 4;
        unsigned from_aligned = low == 0x0F ? SPLIT : high == 0x0F ? WHOLE : ALIGNED;
        unsigned from_split = high == 0x0F ? WHOLE : ALIGNED;
        next_state[b] = static_cast<uint16_t>(from_aligned | (ALIGNED << 3) | (from_split << 6));

        if (low == 0x0F) coded_steps[b] = step(0, 0, 0);
        else if (high == 0x0F) coded_steps[b] = step(delta_table[low], 0, 1);
        else coded_steps[b] = step(delta_table[low], delta_table[high], 2);
        coded_steps[256 + b] = step(delta_table[b], 0, 1);
        for (unsigned previous = 0; previous < 16; ++previous) {
            unsigned first = delta_table[previous | (low << 4)];
            coded_steps[512 + previous * 256 + b] =
                high == 0x0F ? step(first, 0, 1) : step(first, delta_table[high], 2);
        }
    }
    for (unsigned previous = 0; previous < 16; ++previous) {
        state_row[ALIGNED * 16 + previous] = 0;
        state_row[WHOLE * 16 + previous] = 256;
        state_row[SPLIT * 16 + previous] = static_cast<uint16_t>(512 + previous * 256);
    }
}

size_t max_block_samples(unsigned size) {
    if (size == 0 || size == KOE_RAW_BLOCK) return KOE_SILENT_SAMPLES;
    return 2 * static_cast<size_t>(size);
}

static inline void store(unsigned char* out, unsigned accumulator) {
    memcpy(out, &sample_bytes[accumulator & 0xFF], 2);
}

// Both possible samples are stored every time and the output advances by the ones that count;
// a byte never moves it by more than two samples, so the stores stay within 2n samples. A block
// that ends in WHOLE or SPLIT ends inside an escape, whose code is dropped.
static size_t decode_coded_block(const unsigned char* in, size_t n, unsigned char* out) {
    unsigned char* o = out;
    unsigned acc = 0, state = ALIGNED, previous = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned b = in[i];
        uint32_t e = coded_steps[state_row[state * 16 + (previous >> 4)] + b];
        store(o, acc + e);
        acc += e >> 8;
        store(o + 2, acc);
        o += e >> 16;
        state = (next_state[b] >> state) & 7;
        previous = b;
    }
    return static_cast<size_t>(o - out) / 2;
}

size_t decode_block(const unsigned char* bytes, unsigned size, unsigned char* out) {
    if (size == 0) {
        memset(out, 0, 2 * KOE_SILENT_SAMPLES);
        return KOE_SILENT_SAMPLES;
    }
    if (size == KOE_RAW_BLOCK) {
        for (unsigned k = 0; k < KOE_RAW_BLOCK; ++k) memcpy(out + 2 * k, &sample_bytes[bytes[k]], 2);
        return KOE_RAW_BLOCK;
    }
    return decode_coded_block(bytes, size, out);
}

static void put_u32le(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

void fill_wav_header(unsigned char out[WAV_HEADER_SIZE], uint32_t data_length, uint32_t rate) {
    static const unsigned char templ[WAV_HEADER_SIZE] = {
        'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        16, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    memcpy(out, templ, WAV_HEADER_SIZE);
    put_u32le(out + 4, data_length + 36);
    put_u32le(out + 24, rate);
    put_u32le(out + 28, rate * 2);
    put_u32le(out + 40, data_length);
}
