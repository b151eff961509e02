// The KOEPAC writer. It carries its own arithmetic for the companding and the step map instead of
// sharing the unpacker's tables, so archives it writes check the unpacker rather than agree with
// it by construction.
#include "tools/koepac/koepac_writer.h"

#include <cstring>

int16_t expand_code(uint8_t code) {
    int v = static_cast<int>(code) - 128;
    return static_cast<int16_t>(2 * v * (v < 0 ? -v : v));
}

uint8_t compand_sample(int16_t sample) {
    // expand_code rises with the code: find the first code at or above sample, then the nearer of
    // it and the one below.
    unsigned lo = 0, hi = 255;
    while (lo < hi) {
        unsigned mid = (lo + hi) / 2;
        if (expand_code(static_cast<uint8_t>(mid)) < sample) lo = mid + 1; else hi = mid;
    }
    if (lo > 0) {
        int below = sample - expand_code(static_cast<uint8_t>(lo - 1));
        int above = expand_code(static_cast<uint8_t>(lo)) - sample;
        if (above < 0 || below <= above) return static_cast<uint8_t>(lo - 1 + (above < 0));
    }
    return static_cast<uint8_t>(lo);
}

std::vector<uint8_t> compand_samples(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> codes(samples.size());
    for (size_t k = 0; k < samples.size(); ++k) codes[k] = compand_sample(samples[k]);
    return codes;
}

uint8_t step_of_code(unsigned code) {
    // Odd codes step up by (code + 1) / 2, even ones down by code / 2.
    int step = (code & 1) ? static_cast<int>((code + 1) / 2) : -static_cast<int>(code / 2);
    return static_cast<uint8_t>(step & 0xFF);
}

unsigned code_of_step(uint8_t step) {
    if (step == 0) return 0;
    if (step <= 128) return 2u * step - 1;        // +1 .. +128
    return 2u * (256u - step);                    // -127 .. -1
}

// Nibbles collect low first in each byte.
struct nibble_writer {
    std::string* out;
    size_t count;
};

static void put_nibble(nibble_writer& w, unsigned nibble) {
    if (w.count % 2 == 0) w.out->push_back(static_cast<char>(nibble & 0x0F));
    else w.out->back() = static_cast<char>(static_cast<unsigned char>(w.out->back()) | ((nibble & 0x0F) << 4));
    ++w.count;
}

static std::string encode_nibbles(const std::vector<uint8_t>& codes, bool escape_every_code,
                                  size_t extra_escapes) {
    std::string out;
    nibble_writer w{&out, 0};
    unsigned acc = 0;
    for (uint8_t target : codes) {
        unsigned code = code_of_step(static_cast<uint8_t>(target - acc));
        if (code < 15 && !escape_every_code && extra_escapes == 0) {
            put_nibble(w, code);
        } else {
            if (code < 15 && extra_escapes > 0) --extra_escapes;
            put_nibble(w, 15);
            put_nibble(w, code & 0x0F);
            put_nibble(w, code >> 4);
        }
        acc = target;
    }
    return out;
}

bool encode_coded_block(const std::vector<uint8_t>& codes, bool escape_every_code, std::string* out) {
    if (codes.empty()) return false;
    std::vector<uint8_t> padded = codes;
    if (padded.size() % 2 == 1) padded.push_back(padded.back());
    std::string bytes = encode_nibbles(padded, escape_every_code, 0);
    if (bytes.size() == 1024) bytes = encode_nibbles(padded, escape_every_code, 1);
    if (bytes.size() > 65535 || bytes.size() == 1024) return false;
    *out = bytes;
    return true;
}

static void append_u16(std::string& s, unsigned v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

static void append_u32(std::string& s, uint32_t v) {
    for (int k = 0; k < 4; ++k) s.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

bool pack_blocks(uint16_t id, const std::vector<koe_block>& blocks, koe_voice_data* out,
                 std::string* error) {
    if (blocks.size() > 65535) {
        *error = "more than 65535 blocks";
        return false;
    }
    std::string table, data;
    for (size_t k = 0; k < blocks.size(); ++k) {
        const koe_block& block = blocks[k];
        std::string stored;
        switch (block.kind) {
        case KOE_BLOCK_SILENT:
            for (uint8_t c : block.codes)
                if (c != 128) {
                    *error = "block " + std::to_string(k) + ": a silent block holds only code 128";
                    return false;
                }
            if (!block.codes.empty() && block.codes.size() != 1024) {
                *error = "block " + std::to_string(k) + ": a silent block is 1024 samples";
                return false;
            }
            break;
        case KOE_BLOCK_RAW:
            if (block.codes.size() != 1024) {
                *error = "block " + std::to_string(k) + ": a raw block is 1024 samples";
                return false;
            }
            stored.assign(block.codes.begin(), block.codes.end());
            break;
        case KOE_BLOCK_CODED:
            if (!encode_coded_block(block.codes, block.escape_every_code, &stored)) {
                *error = "block " + std::to_string(k) + ": cannot be coded in 1 to 65535 bytes";
                return false;
            }
            break;
        }
        append_u16(table, static_cast<unsigned>(stored.size()));
        data += stored;
    }
    out->id = id;
    out->block_count = static_cast<uint16_t>(blocks.size());
    out->bytes = table + data;
    return true;
}

bool pack_voice(uint16_t id, const std::vector<uint8_t>& codes, koe_voice_data* out,
                std::string* error, unsigned block_samples) {
    if (block_samples == 0) block_samples = 1024;
    std::vector<koe_block> blocks;
    for (size_t start = 0; start < codes.size(); start += block_samples) {
        size_t end = start + block_samples < codes.size() ? start + block_samples : codes.size();
        koe_block block{KOE_BLOCK_CODED, std::vector<uint8_t>(codes.begin() + start, codes.begin() + end), false};
        if (block.codes.size() == 1024) {
            bool silent = true;
            for (uint8_t c : block.codes) silent = silent && c == 128;
            std::string coded;
            if (silent) block.kind = KOE_BLOCK_SILENT;
            else if (!encode_coded_block(block.codes, false, &coded) || coded.size() >= 1024)
                block.kind = KOE_BLOCK_RAW;
        }
        blocks.push_back(std::move(block));
    }
    return pack_blocks(id, blocks, out, error);
}

std::string build_koepac(const std::vector<koe_voice_data>& voices, uint32_t sample_rate) {
    std::string out("KOEPAC\0\0\0\0\0\0\0\0\0\0", 16);
    append_u32(out, static_cast<uint32_t>(voices.size()));
    append_u32(out, 0);
    append_u32(out, sample_rate);
    append_u32(out, 0);
    uint32_t offset = static_cast<uint32_t>(32 + 8 * voices.size());
    for (const koe_voice_data& v : voices) {
        append_u16(out, v.id);
        append_u16(out, v.block_count);
        append_u32(out, offset);
        offset += static_cast<uint32_t>(v.bytes.size());
    }
    for (const koe_voice_data& v : voices) out += v.bytes;
    return out;
}

static uint32_t get_u32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(s[at + k]);
    return v;
}

static unsigned get_u16(const std::string& s, size_t at) {
    return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
}

bool read_wav_mono16(const std::string& bytes, std::vector<int16_t>* samples, uint32_t* rate,
                     std::string* error) {
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        *error = "not a RIFF WAVE file";
        return false;
    }
    bool have_format = false;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        std::string id = bytes.substr(at, 4);
        uint64_t size = get_u32(bytes, at + 4);
        size_t body = at + 8;
        if (id == "fmt ") {
            if (size < 16 || body + 16 > bytes.size()) break;
            if (get_u16(bytes, body) != 1 || get_u16(bytes, body + 2) != 1 ||
                get_u16(bytes, body + 14) != 16) {
                *error = "not 16-bit mono PCM";
                return false;
            }
            *rate = get_u32(bytes, body + 4);
            have_format = true;
        } else if (id == "data") {
            if (!have_format) break;
            // A writer that streamed its output may leave the length unset: take what is there.
            size_t available = bytes.size() - body;
            size_t length = size < available ? static_cast<size_t>(size) : available;
            samples->resize(length / 2);
            for (size_t k = 0; k < samples->size(); ++k)
                (*samples)[k] = static_cast<int16_t>(get_u16(bytes, body + 2 * k));
            return true;
        }
        at = body + size + (size & 1);
    }
    *error = have_format ? "no data chunk" : "no format chunk";
    return false;
}
