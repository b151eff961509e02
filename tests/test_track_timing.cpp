// NWA and WAV header checks, CD time codes, and probing music files (our own and ones made by sox).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "configurator/engine.h"
#include "configurator/track_timing.h"
#include "tests/configurator_support.h"
#include "tests/support/support.h"

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(WavHeader, AVG32CountsBytesAndRealLiveCountsFrames) {
    wav_fields w;
    w.data_size = 0x01020304;  // every byte of the field matters
    track_timing t{-1, -1};
    ASSERT_EQ(parse_wav_header(bytes(wav_header(w)), AVG32, &t), 1);
    EXPECT_EQ(t.rate, 176400);
    EXPECT_EQ(t.length, 0x01020304);
    ASSERT_EQ(parse_wav_header(bytes(wav_header(w)), REALLIVE, &t), 1);
    EXPECT_EQ(t.rate, 44100);
    EXPECT_EQ(t.length, 0x01020304 / 4) << "data size / block align, truncated";
}

TEST(WavHeader, OnlyTheChunkIdsAndTheFormatTagAreChecked) {
    wav_fields w;
    w.data_size = 400;
    std::string h = wav_header(w);
    h.replace(0, 4, "XXXX");
    h.replace(8, 4, "YYYY");
    h[16] = 99;  // fmt chunk size
    track_timing t{};
    EXPECT_EQ(parse_wav_header(bytes(h), REALLIVE, &t), 1);
    EXPECT_EQ(t.length, 100);
}

TEST(WavHeader, RefusedHeadersLeaveTheRecordAlone) {
    auto refused = [](wav_fields w, int system) {
        track_timing t{123, 456};
        int r = parse_wav_header(bytes(wav_header(w)), system, &t);
        return r == 0 && t.rate == 123 && t.length == 456;
    };
    wav_fields floating;
    floating.tag = 3;
    EXPECT_TRUE(refused(floating, AVG32));
    wav_fields extensible;
    extensible.tag = 0xFFFE;
    EXPECT_TRUE(refused(extensible, REALLIVE));
    wav_fields no_fmt;
    no_fmt.fmt_id = "fmt_";
    EXPECT_TRUE(refused(no_fmt, AVG32));
    wav_fields list_chunk;
    list_chunk.data_id = "LIST";
    EXPECT_TRUE(refused(list_chunk, AVG32));
    // Values that would divide by zero, here or in the time codes.
    wav_fields no_align;
    no_align.block_align = 0;
    EXPECT_TRUE(refused(no_align, REALLIVE));
    wav_fields no_rate;
    no_rate.sample_rate = 0;
    EXPECT_TRUE(refused(no_rate, REALLIVE));
    wav_fields no_byte_rate;
    no_byte_rate.byte_rate = 0;
    EXPECT_TRUE(refused(no_byte_rate, AVG32));
    wav_fields huge_rate;
    huge_rate.byte_rate = 0x80000000u;  // negative as the record's signed rate
    EXPECT_TRUE(refused(huge_rate, AVG32));
}

TEST(WavHeader, EighteenByteFmtChunkIsRefused) {
    // The layout an 18-byte fmt chunk gives: "data" starts two bytes later.
    std::string h = "RIFF";
    put_u32(h, 38);
    h += "WAVEfmt ";
    put_u32(h, 18);
    put_u16(h, 1);
    put_u16(h, 2);
    put_u32(h, 44100);
    put_u32(h, 176400);
    put_u16(h, 4);
    put_u16(h, 16);
    put_u16(h, 0);
    h += "data";
    put_u32(h, 0);
    track_timing t{};
    EXPECT_EQ(parse_wav_header(bytes(h), AVG32, &t), 0);
}

TEST(WavHeader, DataSizesBeyondTheSignedRangeSaturate) {
    wav_fields w;
    w.data_size = 0xFFFFFFFFu;
    track_timing t{};
    ASSERT_EQ(parse_wav_header(bytes(wav_header(w)), AVG32, &t), 1);
    EXPECT_EQ(t.length, INT32_MAX);
    ASSERT_EQ(parse_wav_header(bytes(wav_header(w)), REALLIVE, &t), 1);
    EXPECT_EQ(t.length, 0x3FFFFFFF);
}

TEST(NwaHeader, RateAndFramesFromAValidHeader) {
    nwa_fields n = valid_nwa(2, 44100, 3, 512, 101);  // 1125 samples in all
    track_timing t{};
    ASSERT_EQ(parse_nwa_header(bytes(nwa_header(n)), &t), 1);
    EXPECT_EQ(t.rate, 44100);
    EXPECT_EQ(t.length, 562) << "samples / channels, truncated";
}

TEST(NwaHeader, EachCheckRefusesOnItsOwn) {
    nwa_fields n = valid_nwa(2, 44100, 3, 512, 100);
    track_timing t{7, 8};
    nwa_fields bad_size = n;
    bad_size.data_size += 1;
    EXPECT_EQ(parse_nwa_header(bytes(nwa_header(bad_size)), &t), 0);
    nwa_fields bad_blocks = n;
    bad_blocks.last_samples += 1;  // the data size still fits the sample count
    EXPECT_EQ(parse_nwa_header(bytes(nwa_header(bad_blocks)), &t), 0);
    nwa_fields no_channels = n;
    no_channels.channels = 0;
    EXPECT_EQ(parse_nwa_header(bytes(nwa_header(no_channels)), &t), 0);
    nwa_fields no_rate = n;
    no_rate.rate = 0;
    EXPECT_EQ(parse_nwa_header(bytes(nwa_header(no_rate)), &t), 0);
    EXPECT_EQ(t.rate, 7);
    EXPECT_EQ(t.length, 8);
}

TEST(NwaHeader, ChecksUseThirtyTwoBitUnsignedArithmetic) {
    // 16 bits x 2^29 samples wraps to a data size of 0.
    nwa_fields n;
    n.channels = 1;
    n.samples = 0x20000000;
    n.data_size = 0;
    n.blocks = 2;
    n.block_samples = 0x10000000;
    n.last_samples = 0x10000000;
    track_timing t{};
    ASSERT_EQ(parse_nwa_header(bytes(nwa_header(n)), &t), 1);
    EXPECT_EQ(t.length, 0x20000000);
    // A block count of 0 wraps as well: (0 - 1) x 10 + 15 = 5.
    nwa_fields z;
    z.channels = 1;
    z.blocks = 0;
    z.block_samples = 10;
    z.last_samples = 15;
    z.samples = 5;
    z.data_size = 10;
    EXPECT_EQ(parse_nwa_header(bytes(nwa_header(z)), &t), 1);
}

std::string time_code(int32_t position, int32_t rate, int track) {
    char code[TIME_CODE_SIZE];
    format_time_code(code, position, rate, track);
    return code;
}

TEST(TimeCode, KnownPositions) {
    EXPECT_EQ(time_code(2000000, 44100, 5), "05:00:45:26");
    EXPECT_EQ(time_code(10584000, 88200, 3), "03:02:00:00");
    EXPECT_EQ(time_code(0, 44100, 2), "02:00:00:00");
    EXPECT_EQ(time_code(30000000, 176400, 3), "03:02:50:05");
    EXPECT_EQ(time_code(44099, 44100, 12), "12:00:00:74") << "frames truncate";
}

TEST(TimeCode, MinutesGrowPastTwoDigits) {
    EXPECT_EQ(time_code(100 * 60 * 44100, 44100, 9), "09:100:00:00");
    EXPECT_EQ(time_code(2000000000, 22050, 101), "101:1511:42:71");
}

TEST(TimeCode, PositionsNearTwoToTheThirtyFirstKeepTheirFrames) {
    // 2^31 - 1 frames x 75 overflows 32 bits; the frame must still be exact.
    EXPECT_EQ(time_code(INT32_MAX, 44100, 4), "04:811:35:58");
    EXPECT_EQ(time_code(INT32_MAX, 1, 2), "02:35791394:07:00");
}

TEST(TimeCode, NegativePositionsTruncateTowardZero) {
    EXPECT_EQ(time_code(-44100 - 588, 44100, 2), "02:00:-1:-1");
}

TEST(TimeCode, WrittenWithoutLineEnd) {
    FILE* f = tmpfile();
    write_time_code(2000000, 44100, 5, f);
    rewind(f);
    char buf[64] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, n), "05:00:45:26");
}

}  // namespace
