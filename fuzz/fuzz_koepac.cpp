// Fuzz target: a KOEPAC archive - header, index and every voice decoded into memory through the
// unpacker's own functions, held against the literal decoder of the tests. An archive is refused
// exactly when it is not one or names bytes it does not hold, and every WAV of an accepted one is
// byte for byte what the literal decoder makes of it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/koepac_memory.h"
#include "tests/unpacker_support.h"
#include "unpacker/unpack.h"

namespace {

uint32_t get_u32(const uint8_t* p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
unsigned get_u16(const uint8_t* p) { return p[0] | p[1] << 8; }

// Voices that would decode to more than this many samples in all are only checked for being
// accepted or refused: decoding them would take the fuzzer's time, not find more.
constexpr uint64_t SAMPLE_BUDGET = 4u << 20;

struct layout {
    bool intact;              // every voice lies inside the file, each with an id of its own
    int32_t count;
    uint32_t rate;
    uint64_t samples_bound;   // at most this many samples in all
};

layout walk(const uint8_t* data, size_t size) {
    layout l{false, 0, 0, 0};
    if (size < 32) return l;
    l.count = static_cast<int32_t>(get_u32(data + 16));
    l.rate = get_u32(data + 24) ? get_u32(data + 24) : 22050;
    if (l.count < 0 || l.count > 65536 || 32 + 8 * uint64_t(uint32_t(l.count)) > size) return l;
    std::vector<bool> seen(65536);
    for (int32_t k = 0; k < l.count; ++k) {
        const uint8_t* e = data + 32 + 8 * size_t(k);
        if (seen[get_u16(e)]) return l;
        seen[get_u16(e)] = true;
        unsigned blocks = get_u16(e + 2);
        uint64_t table = get_u32(e + 4);
        uint64_t at = table + 2 * uint64_t{blocks};
        if (at > size) return l;
        for (unsigned b = 0; b < blocks; ++b) {
            unsigned n = get_u16(data + table + 2 * b);
            at += n;
            if (at > size) return l;
            l.samples_bound += (n == 0 || n == 1024) ? 1024 : 2 * uint64_t{n};
        }
    }
    l.intact = true;
    return l;
}

std::vector<int16_t> reference_samples(const uint8_t* data, const uint8_t* entry) {
    std::vector<int16_t> samples;
    unsigned blocks = get_u16(entry + 2);
    size_t table = get_u32(entry + 4);
    size_t at = table + 2 * size_t{blocks};
    for (unsigned b = 0; b < blocks; ++b) {
        unsigned n = get_u16(data + table + 2 * b);
        std::vector<int16_t> s = reference_decode_block(data + at, n);
        samples.insert(samples.end(), s.begin(), s.end());
        at += n;
    }
    return samples;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool magic = size >= 7 && memcmp(data, "KOEPAC\0", 7) == 0;
    layout l = walk(data, size);
    bool usable = magic && l.intact;

    if (l.samples_bound > SAMPLE_BUDGET) {
        std::vector<uint8_t> copy(data, data + size);
        FILE* archive = fmemopen(copy.data(), size, "rb");
        koe_header header;
        koe_entry* entries = nullptr;
        int accepted = read_archive_index(archive, "Z001.KOE", &header, &entries);
        free(entries);
        fclose(archive);
        if (accepted != usable) fuzz_fail("archive %s although %s", accepted ? "accepted" : "refused",
                                          usable ? "usable" : "broken");
        return 0;
    }

    std::vector<memory_voice> voices;
    int result = unpack_in_memory(data, size, "Z001.KOE", &voices);
    if ((result == 0) != usable)
        fuzz_fail("unpacking %s although the archive is %s", result == 0 ? "succeeded" : "failed",
                  !magic ? "not KOEPAC" : usable ? "usable" : "broken");
    if (!usable) return 0;
    if (voices.size() != static_cast<size_t>(l.count))
        fuzz_fail("%zu voices for %d index entries", voices.size(), l.count);
    for (int32_t k = 0; k < l.count; ++k) {
        const uint8_t* entry = data + 32 + 8 * size_t(k);
        if (voices[k].id != get_u16(entry)) fuzz_fail("voice %d has id %u", k, voices[k].id);
        std::string expected = make_wav(reference_samples(data, entry), l.rate);
        if (voices[k].wav != expected) {
            size_t at = 0;
            while (at < expected.size() && at < voices[k].wav.size() && expected[at] == voices[k].wav[at]) ++at;
            fuzz_fail("voice %d: WAV of %zu bytes differs from the literal decoder's %zu bytes at byte %zu", k,
                      voices[k].wav.size(), expected.size(), at);
        }
    }
    return 0;
}
