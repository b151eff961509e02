// Writing KOEPAC voice archives: companding 16-bit samples to 8-bit codes, storing them in silent,
// raw or delta-coded blocks, and laying out header, index and voice data. Used by the packer
// `koepack`, by the tests and by the benchmark to make archives to unpack.
#ifndef VNAUDIO_KOEPAC_WRITER_H
#define VNAUDIO_KOEPAC_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

// The square-law companding: code x stands for 2*(x-128)*|x-128|.
int16_t expand_code(uint8_t code);
// The code whose value lies nearest to sample (the lower one on a tie).
uint8_t compand_sample(int16_t sample);
std::vector<uint8_t> compand_samples(const std::vector<int16_t>& samples);

// The accumulator step of a code, and the code of a step (the inverse zig-zag map).
uint8_t step_of_code(unsigned code);
unsigned code_of_step(uint8_t step);

enum koe_block_kind { KOE_BLOCK_SILENT, KOE_BLOCK_RAW, KOE_BLOCK_CODED };

// One block to store: a silent block takes 1024 codes of 128 (or none), a raw block exactly
// 1024 codes, a coded block any number from 1 that fits in 65535 bytes.
struct koe_block {
    koe_block_kind kind;
    std::vector<uint8_t> codes;
    bool escape_every_code;   // coded: store every code as an escape, not only the large steps
};

// Stores the codes of one coded block: plain nibbles for steps -7..+7, the escape 15 and two
// nibbles otherwise, low nibble first. An odd count of codes gets one more that repeats the last
// (every nibble of a block is decoded), and a block that would be exactly 1024 bytes, which
// would read as raw, escapes one more code. Answers false when the block would exceed 65535
// bytes or holds no code.
bool encode_coded_block(const std::vector<uint8_t>& codes, bool escape_every_code,
                        std::string* out);

// One voice as stored: its block-size table followed by its blocks.
struct koe_voice_data {
    uint16_t id;
    uint16_t block_count;
    std::string bytes;
};

// Stores the blocks in the order given. Answers false (with a reason) for a block that cannot be
// stored as asked or more than 65535 blocks.
bool pack_blocks(uint16_t id, const std::vector<koe_block>& blocks, koe_voice_data* out,
                 std::string* error);

// Stores codes in blocks of block_samples (1024 unless given) chosen the way a packer would: a
// full block of silence as silent, a full block that codes to 1024 bytes or more as raw, the
// rest as coded blocks.
bool pack_voice(uint16_t id, const std::vector<uint8_t>& codes, koe_voice_data* out,
                std::string* error, unsigned block_samples = 1024);

// Header (magic, entry count, rate), index in the order given, then the voices' data.
std::string build_koepac(const std::vector<koe_voice_data>& voices, uint32_t sample_rate);

// Reads a 16-bit mono PCM WAV file held in bytes. Answers false with a reason otherwise.
bool read_wav_mono16(const std::string& bytes, std::vector<int16_t>* samples, uint32_t* rate,
                     std::string* error);

#endif
