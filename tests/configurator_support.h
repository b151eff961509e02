// Builders for the configurator's tests: music file headers, music files and registry stores.
#ifndef VNAUDIO_CONFIGURATOR_SUPPORT_H
#define VNAUDIO_CONFIGURATOR_SUPPORT_H

#include <cstdint>
#include <string>

#include "tests/support/support.h"

struct wav_fields {
    unsigned tag = 1, channels = 2, sample_rate = 44100, byte_rate = 176400, block_align = 4, bits = 16;
    uint32_t data_size = 0;
    const char* fmt_id = "fmt ";
    const char* data_id = "data";
};

inline std::string wav_header(const wav_fields& w) {
    std::string h = "RIFF";
    put_u32(h, 36 + w.data_size);
    h += "WAVE";
    h += w.fmt_id;
    put_u32(h, 16);
    put_u16(h, w.tag);
    put_u16(h, w.channels);
    put_u32(h, w.sample_rate);
    put_u32(h, w.byte_rate);
    put_u16(h, w.block_align);
    put_u16(h, w.bits);
    h += w.data_id;
    put_u32(h, w.data_size);
    return h;
}

// A 16-bit PCM WAV file's header; the data chunk is left out, since only the header is read.
inline std::string pcm_wav(unsigned rate, unsigned channels, uint32_t data_size) {
    wav_fields w;
    w.channels = channels;
    w.sample_rate = rate;
    w.block_align = 2 * channels;
    w.byte_rate = rate * w.block_align;
    w.data_size = data_size;
    return wav_header(w);
}

struct nwa_fields {
    unsigned channels = 2, bits = 16;
    uint32_t rate = 44100, blocks = 3, data_size = 0, samples = 0, block_samples = 512, last_samples = 100;
};

// A header that passes both checks unless the caller spoils it afterwards.
inline nwa_fields valid_nwa(unsigned channels, uint32_t rate, uint32_t blocks, uint32_t block_samples,
                            uint32_t last_samples) {
    nwa_fields n;
    n.channels = channels;
    n.rate = rate;
    n.blocks = blocks;
    n.block_samples = block_samples;
    n.last_samples = last_samples;
    n.samples = (blocks - 1) * block_samples + last_samples;
    n.data_size = n.bits * n.samples / 8;
    return n;
}

inline std::string nwa_header(const nwa_fields& n) {
    std::string h;
    put_u16(h, n.channels);
    put_u16(h, n.bits);
    put_u32(h, n.rate);
    put_u32(h, 0xdeadbeef);  // fields the probe must not look at
    put_u32(h, 0xdeadbeef);
    put_u32(h, n.blocks);
    put_u32(h, n.data_size);
    put_u32(h, 0xdeadbeef);
    put_u32(h, n.samples);
    put_u32(h, n.block_samples);
    put_u32(h, n.last_samples);
    put_u32(h, 0xdeadbeef);
    return h;
}

// An NWA header of frames sample frames at rate.
inline std::string nwa_of_frames(unsigned rate, unsigned channels, uint32_t frames) {
    uint32_t samples = frames * channels;
    uint32_t per_block = 512 * channels;
    uint32_t blocks = (samples + per_block - 1) / per_block;
    return nwa_header(valid_nwa(channels, rate, blocks, per_block, samples - (blocks - 1) * per_block));
}

// A registry store in which the game key Software\<key> holds BGM_FOLDER = folder. Backslashes and
// quotes are escaped as the store wants them.
inline std::string registry_with_folder(const std::string& key, const std::string& folder) {
    std::string escaped;
    for (char c : folder) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    return "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\" + key + "]\r\n\"BGM_FOLDER\"=\"" + escaped + "\"\r\n";
}

#endif
