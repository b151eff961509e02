// The KOEPAC voice archive: header and index records, the two decode tables, and the decoding of
// one block of companded samples from memory into little-endian 16-bit samples.
#ifndef VNAUDIO_KOEPAC_H
#define VNAUDIO_KOEPAC_H

#include <cstddef>
#include <cstdint>

constexpr size_t KOE_HEADER_SIZE = 32;
constexpr size_t KOE_ENTRY_SIZE = 8;
constexpr int32_t KOE_MAX_ENTRIES = 65536;    // one per 16-bit id
constexpr unsigned KOE_RAW_BLOCK = 1024;      // a block of exactly this size holds raw samples
constexpr unsigned KOE_SILENT_SAMPLES = 1024; // samples of a silent block (size 0)
constexpr uint32_t KOE_DEFAULT_RATE = 22050;  // used when the header's rate is 0
constexpr size_t WAV_HEADER_SIZE = 44;

struct koe_header {
    char magic[8];          // the first seven bytes of the file and a terminator
    int32_t entry_count;    // signed in the file: a negative count is a broken archive
    uint32_t sample_rate;   // 0 means KOE_DEFAULT_RATE
};

struct koe_entry {
    uint16_t id;
    uint16_t block_count;
    uint32_t offset;        // of the block-size table, from the start of the archive
};

koe_header parse_koe_header(const unsigned char bytes[KOE_HEADER_SIZE]);
// 1 when the header's first bytes, as a zero-terminated string, are "KOEPAC".
int is_koepac(const koe_header& header);
koe_entry parse_koe_entry(const unsigned char bytes[KOE_ENTRY_SIZE]);
uint16_t read_u16le(const unsigned char* p);
uint32_t read_u32le(const unsigned char* p);

// The decode tables, filled by build_decode_tables and only read afterwards.
extern int16_t sample_table[256];   // companded byte -> sample, 2*(x-128)*|x-128|
extern uint8_t delta_table[256];    // code -> accumulator step (mod 256), a zig-zag map
void build_decode_tables();

// Stores value as two bytes, low byte first.
void write_sample(int16_t value, unsigned char out[2]);

// Most samples a block of the given stored size can produce: 1024 for silent and raw blocks, one
// per nibble for a coded block.
size_t max_block_samples(unsigned size);

// Decodes one block whose stored size is size (bytes holds size bytes; nothing for a silent
// block) into out, as little-endian 16-bit samples; out must have room for
// max_block_samples(size) samples. Returns the number of samples. A coded block whose last code
// is an escape cut off by the block's end drops that code.
size_t decode_block(const unsigned char* bytes, unsigned size, unsigned char* out);

// The WAV header for a 16-bit mono PCM file with data_length bytes of samples.
void fill_wav_header(unsigned char out[WAV_HEADER_SIZE], uint32_t data_length, uint32_t rate);

#endif
