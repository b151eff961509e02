// The KOEPAC format in memory: decode tables, header and index records, the three block kinds
// with the fast coded-block decoder checked against a literal one, the WAV header, and the
// archive writer the other tests build their archives with.
#include <gtest/gtest.h>

#include <random>

#include "tests/unpacker_support.h"
#include "tools/koepac/koepac_writer.h"
#include "unpacker/koepac.h"

namespace {

struct Format : testing::Test {
    void SetUp() override { build_decode_tables(); }

    // Decodes from a buffer of exactly the block's size, so a read past it shows under ASan.
    static std::vector<int16_t> decode(const std::vector<uint8_t>& bytes, unsigned size) {
        std::vector<uint8_t> exact(bytes.begin(), bytes.end());
        std::vector<unsigned char> out(2 * max_block_samples(size));
        size_t n = decode_block(exact.empty() ? nullptr : exact.data(), size, out.data());
        std::vector<int16_t> samples(n);
        for (size_t k = 0; k < n; ++k) samples[k] = static_cast<int16_t>(out[2 * k] | (out[2 * k + 1] << 8));
        return samples;
    }
    static std::vector<int16_t> decode(const std::vector<uint8_t>& bytes) {
        return decode(bytes, static_cast<unsigned>(bytes.size()));
    }
};

TEST_F(Format, TableRows) {
    const int xs[] = {0, 1, 2, 64, 127, 128, 129, 192, 254, 255};
    const int values[] = {-32768, -32258, -31752, -8192, -2, 0, 2, 8192, 31752, 32258};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(sample_table[xs[k]], values[k]) << "x = " << xs[k];

    const int js[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 253, 254, 255};
    const int deltas[] = {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6, -6, 7, -7, 8, 127, -127, -128};
    for (int k = 0; k < 19; ++k)
        EXPECT_EQ(static_cast<int8_t>(delta_table[js[k]]), deltas[k]) << "j = " << js[k];
}

TEST_F(Format, EveryStepHasExactlyOneCode) {
    // An escaped code must be able to reach any accumulator value from any other.
    std::vector<int> seen(256, 0);
    for (int j = 0; j < 256; ++j) ++seen[delta_table[j]];
    for (int d = 0; d < 256; ++d) EXPECT_EQ(seen[d], 1) << "step " << d;
}

TEST_F(Format, HeaderAndIndexRecords) {
    std::string h("KOEPAC\0xxxxxxxxx", 16);
    put_u32(h, 0xFFFFFFFEu);   // entry_count -2
    put_u32(h, 0x11223344u);
    put_u32(h, 44100);
    put_u32(h, 0x55667788u);
    koe_header header = parse_koe_header(reinterpret_cast<const unsigned char*>(h.data()));
    EXPECT_TRUE(is_koepac(header));
    EXPECT_EQ(header.entry_count, -2);
    EXPECT_EQ(header.sample_rate, 44100u);

    // The magic is compared as a zero-terminated string.
    for (std::string magic : {std::string("KOEPACX", 7), std::string("KOEPA\0C", 7), std::string("koepac\0", 7)}) {
        std::string bad = magic + h.substr(7);
        EXPECT_FALSE(is_koepac(parse_koe_header(reinterpret_cast<const unsigned char*>(bad.data())))) << magic;
    }

    std::string e;
    put_u16(e, 65535);
    put_u16(e, 0x1234);
    put_u32(e, 0xDEADBEEFu);
    koe_entry entry = parse_koe_entry(reinterpret_cast<const unsigned char*>(e.data()));
    EXPECT_EQ(entry.id, 65535);
    EXPECT_EQ(entry.block_count, 0x1234);
    EXPECT_EQ(entry.offset, 0xDEADBEEFu);
}

TEST_F(Format, SilentAndRawBlocks) {
    EXPECT_EQ(decode({}, 0), std::vector<int16_t>(1024, 0));

    std::vector<uint8_t> raw(1024);
    for (size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<uint8_t>(k * 7);
    raw[0] = 0x80;
    raw[1] = 0x00;
    raw[2] = 0xFF;
    std::vector<unsigned char> out(2048);
    ASSERT_EQ(decode_block(raw.data(), 1024, out.data()), 1024u);
    const unsigned char head[] = {0x00, 0x00, 0x00, 0x80, 0x02, 0x7E};
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 6), std::vector<unsigned char>(head, head + 6));
    EXPECT_EQ(decode(raw), expanded(raw));

    // One byte more and the same bytes are nibble codes.
    raw.push_back(0);
    EXPECT_EQ(decode(raw), reference_decode_block(raw.data(), raw.size()));
}

TEST_F(Format, CodedBlockCodes) {
    // The worked example: an escaped +128, then +1.
    std::vector<unsigned char> out(8);
    const unsigned char example[] = {0xFF, 0x1F};
    ASSERT_EQ(decode_block(example, 2, out.data()), 2u);
    const unsigned char bytes[] = {0x00, 0x00, 0x02, 0x00};
    EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 4), std::vector<unsigned char>(bytes, bytes + 4));

    // The accumulator starts at 0: a first plain nibble 0 is the lowest sample, 1 the next.
    EXPECT_EQ(decode({0x10}), (std::vector<int16_t>{-32768, -32258}));
    // A last nibble 0 repeats the sample before it.
    EXPECT_EQ(decode({0x03}), (std::vector<int16_t>{-31752, -31752}));
    // Wrap-around both ways, without clamping: 0 -1 -> 255, then +1 -> 0; and 0 +128 +1 +126 -> 255,
    // +1 -> 0.
    EXPECT_EQ(decode({0x12}), (std::vector<int16_t>{32258, -32768}));
    EXPECT_EQ(decode({0xFF, 0x1F, 0xBF, 0x1F}), (std::vector<int16_t>{0, 2, 32258, -32768}));
    // An escape at an odd nibble takes the whole next byte as its code.
    EXPECT_EQ(decode({0xF0, 0xFF}), (std::vector<int16_t>{-32768, 0}));
    // Escapes back to back, shifting the stream by a nibble each time.
    EXPECT_EQ(decode({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), reference_decode_block(
                                                                  std::vector<uint8_t>(6, 0xFF).data(), 6));
}

TEST_F(Format, EscapeCutOffByTheBlockEndIsDropped) {
    // Escape in the last nibble: only the codes before it.
    EXPECT_EQ(decode({0x11, 0xF1}), (std::vector<int16_t>{-32258, -31752, -31250}));
    // Escape in the next-to-last nibble: its one following nibble is not enough.
    EXPECT_EQ(decode({0x11, 0x3F}), (std::vector<int16_t>{-32258, -31752}));
    // An escape at the start of a one-byte block yields nothing at all.
    EXPECT_EQ(decode({0x0F}), std::vector<int16_t>{});
    // With three nibbles left the escape is whole.
    EXPECT_EQ(decode({0xF1, 0xFF}).size(), 2u);
}

TEST_F(Format, FastDecoderMatchesTheLiteralOne) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
        unsigned size = 1 + rng() % (round < 2500 ? 64 : 3000);
        if (size == 1024) ++size;
        // From no escapes to mostly escapes.
        unsigned f_share = rng() % 17;
        std::vector<uint8_t> block(size);
        for (auto& b : block) {
            unsigned lo = (rng() % 16 < f_share) ? 15 : rng() % 16;
            unsigned hi = (rng() % 16 < f_share) ? 15 : rng() % 16;
            b = static_cast<uint8_t>(lo | (hi << 4));
        }
        ASSERT_EQ(decode(block), reference_decode_block(block.data(), block.size()))
            << "round " << round << " size " << size;
    }
}

TEST_F(Format, WavHeader) {
    unsigned char h[WAV_HEADER_SIZE];
    fill_wav_header(h, 4, 22050);
    std::string expected = make_wav({1, 2}, 22050).substr(0, 44);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h), 44), expected);
    fill_wav_header(h, 0, 8000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h), 44), make_wav({}, 8000));
    fill_wav_header(h, 0x12345678u, 0x01020304u);
    EXPECT_EQ(read_u32le(h + 4), 0x12345678u + 36);
    EXPECT_EQ(read_u32le(h + 24), 0x01020304u);
    EXPECT_EQ(read_u32le(h + 28), 0x02040608u);
    EXPECT_EQ(read_u32le(h + 40), 0x12345678u);
}

// ---- The archive writer ----

TEST_F(Format, WriterCompandsToTheNearestCode) {
    for (int s = -32768; s <= 32767; ++s) {
        uint8_t c = compand_sample(static_cast<int16_t>(s));
        int here = std::abs(expanded(c) - s);
        if (c > 0) {
            ASSERT_LE(here, std::abs(expanded(static_cast<uint8_t>(c - 1)) - s)) << s;
        }
        if (c < 255) {
            ASSERT_LE(here, std::abs(expanded(static_cast<uint8_t>(c + 1)) - s)) << s;
        }
    }
    for (int x = 0; x < 256; ++x) EXPECT_EQ(compand_sample(expanded(static_cast<uint8_t>(x))), x);
}

// Decodes a voice as packed (size table then blocks) with the unpacker's block decoder.
static std::vector<int16_t> decode_voice_bytes(const koe_voice_data& v) {
    std::vector<int16_t> all;
    size_t at = 2 * v.block_count;
    const auto* p = reinterpret_cast<const uint8_t*>(v.bytes.data());
    for (unsigned b = 0; b < v.block_count; ++b) {
        unsigned size = p[2 * b] | (p[2 * b + 1] << 8);
        std::vector<uint8_t> block(p + at, p + at + size);
        std::vector<int16_t> s = Format::decode(block, size);
        all.insert(all.end(), s.begin(), s.end());
        at += size;
    }
    EXPECT_EQ(at, v.bytes.size());
    return all;
}

TEST_F(Format, WriterBlocksOfEveryKindDecodeToTheirCodes) {
    std::mt19937 rng(99);
    std::vector<uint8_t> raw(1024), noisy(1024), smooth(1000), wrap, odd(777);
    for (auto& c : raw) c = static_cast<uint8_t>(rng());
    for (auto& c : noisy) c = static_cast<uint8_t>(128 + static_cast<int>(rng() % 41) - 20);
    for (size_t k = 0; k < smooth.size(); ++k) smooth[k] = static_cast<uint8_t>(100 + (k / 50) % 20);
    for (int k = 0; k < 600; ++k) wrap.push_back(static_cast<uint8_t>(250 + k * 3));   // crosses 255 -> 0
    for (auto& c : odd) c = static_cast<uint8_t>(rng() % 5 + 126);
    std::vector<koe_block> blocks = {
        {KOE_BLOCK_CODED, smooth, false},
        {KOE_BLOCK_SILENT, {}, false},
        {KOE_BLOCK_RAW, raw, false},
        {KOE_BLOCK_CODED, noisy, false},
        {KOE_BLOCK_CODED, wrap, false},
        {KOE_BLOCK_SILENT, std::vector<uint8_t>(1024, 128), false},
        {KOE_BLOCK_CODED, raw, true},     // every code escaped: 1536 bytes
        {KOE_BLOCK_CODED, std::vector<uint8_t>(3000, 128), false},   // 3000 samples in one block
        {KOE_BLOCK_CODED, odd, false},
    };
    koe_voice_data v;
    std::string error;
    ASSERT_TRUE(pack_blocks(7, blocks, &v, &error)) << error;
    ASSERT_EQ(v.block_count, blocks.size());
    EXPECT_EQ(v.bytes[2 * 1] | v.bytes[2 * 1 + 1], 0) << "silent block stored with size 0";
    EXPECT_EQ(static_cast<uint8_t>(v.bytes[2 * 6]) | (static_cast<uint8_t>(v.bytes[2 * 6 + 1]) << 8), 1536);

    std::vector<int16_t> expected;
    for (const koe_block& b : blocks) {
        std::vector<uint8_t> codes = b.kind == KOE_BLOCK_SILENT ? std::vector<uint8_t>(1024, 128) : b.codes;
        if (b.kind == KOE_BLOCK_CODED && codes.size() % 2) codes.push_back(codes.back());
        std::vector<int16_t> s = expanded(codes);
        expected.insert(expected.end(), s.begin(), s.end());
    }
    EXPECT_EQ(decode_voice_bytes(v), expected);
}

TEST_F(Format, WriterNeverStoresACodedBlockOfRawSize) {
    // 2048 small steps take 1024 bytes of nibbles, which would read as raw samples.
    std::vector<uint8_t> codes(2048);
    for (size_t k = 0; k < codes.size(); ++k) codes[k] = static_cast<uint8_t>(128 + (k % 2));
    std::string stored;
    ASSERT_TRUE(encode_coded_block(codes, false, &stored));
    EXPECT_EQ(stored.size(), 1025u);
    std::vector<uint8_t> bytes(stored.begin(), stored.end());
    EXPECT_EQ(decode(bytes), expanded(codes));
}

TEST_F(Format, WriterAutomaticLayout) {
    // Silence, noise that does not code smaller than raw, and a short smooth tail.
    std::mt19937 rng(5);
    std::vector<uint8_t> codes(1024, 128);
    for (int k = 0; k < 1024; ++k) codes.push_back(static_cast<uint8_t>(rng()));
    for (int k = 0; k < 300; ++k) codes.push_back(static_cast<uint8_t>(128 + k % 3));
    koe_voice_data v;
    std::string error;
    ASSERT_TRUE(pack_voice(1, codes, &v, &error)) << error;
    ASSERT_EQ(v.block_count, 3);
    const auto* p = reinterpret_cast<const uint8_t*>(v.bytes.data());
    EXPECT_EQ(p[0] | (p[1] << 8), 0);
    EXPECT_EQ(p[2] | (p[3] << 8), 1024);
    EXPECT_EQ(decode_voice_bytes(v), expanded(codes));

    std::vector<koe_block> bad = {{KOE_BLOCK_RAW, std::vector<uint8_t>(1000, 1), false}};
    EXPECT_FALSE(pack_blocks(1, bad, &v, &error));
    bad = {{KOE_BLOCK_SILENT, std::vector<uint8_t>(1024, 129), false}};
    EXPECT_FALSE(pack_blocks(1, bad, &v, &error));
    bad = {{KOE_BLOCK_CODED, std::vector<uint8_t>(50000, 0), true}};   // 75000 bytes
    EXPECT_FALSE(pack_blocks(1, bad, &v, &error));
}

}  // namespace
