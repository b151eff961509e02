// The KOEPAC voice archive format and the block decoder. Everything here works on bytes in memory,
// so the stream code around it stays thin and the decoder can be tested and fuzzed directly.
#include "unpacker/koepac.h"

#include <cstring>

int16_t sample_table[256];
uint8_t delta_table[256];

// Derived from the two tables above for the hot loops: each sample already in file byte order, and
// for a byte holding two plain nibbles the step to its first sample (low byte) and to its second
// (high byte), so a byte costs one lookup.
static uint16_t sample_bytes[256];
static uint16_t pair_steps[256];

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
        unsigned first = delta_table[x & 0x0F];
        unsigned both = (first + delta_table[x >> 4]) & 0xFF;
        pair_steps[x] = static_cast<uint16_t>(first | (both << 8));
    }
}

size_t max_block_samples(unsigned size) {
    if (size == 0 || size == KOE_RAW_BLOCK) return KOE_SILENT_SAMPLES;
    return 2 * static_cast<size_t>(size);
}

static inline void store(unsigned char* out, unsigned accumulator) {
    memcpy(out, &sample_bytes[accumulator & 0xFF], 2);
}

static inline bool holds_escape(unsigned byte) { return (byte & 0x0F) == 0x0F || byte >= 0xF0; }

// Nibbles run low first; 15 announces a code made of the next two nibbles. Bytes without an escape
// nibble (most of them) take the pair path; an escape shifts the stream by a nibble until the next
// code ends on a byte boundary again.
static size_t decode_coded_block(const unsigned char* in, size_t n, unsigned char* out) {
    unsigned char* o = out;
    unsigned acc = 0;
    size_t i = 0;
    for (;;) {
        while (i < n && !holds_escape(in[i])) {
            unsigned step = pair_steps[in[i]];
            store(o, acc + (step & 0xFF));
            acc += step >> 8;
            store(o + 2, acc);
            o += 4;
            ++i;
        }
        if (i >= n) break;
        unsigned b = in[i];
        if ((b & 0x0F) == 0x0F) {
            if (i + 1 >= n) break;   // the escaped code would need nibbles past the block
            acc += delta_table[(b >> 4) | ((in[i + 1] & 0x0F) << 4)];
            store(o, acc);
            o += 2;
            ++i;
        } else {
            acc += delta_table[b & 0x0F];
            store(o, acc);
            o += 2;
        }
        // Now at the high nibble of byte i.
        unsigned high = in[i] >> 4;
        if (high != 0x0F) {
            acc += delta_table[high];
            store(o, acc);
            o += 2;
            ++i;
        } else {
            if (i + 1 >= n) break;
            acc += delta_table[in[i + 1]];
            store(o, acc);
            o += 2;
            i += 2;
        }
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
