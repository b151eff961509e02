// NWA and WAV header checks, CD time codes, and probing music files (our own and ones made by sox).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

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

// Probing runs get_track_timing on files in a temporary folder, answering its questions from a
// script on standard input, and keeps the boxes it showed.
class Probe : public ::testing::Test {
protected:
    temp_dir dir;
    std::string boxes;
    track_timing timing{-1, -1};

    void SetUp() override { last_rate = START_RATE; }

    void file(const std::string& name, const std::string& bytes) { write_file(dir / name, bytes); }
    std::string path_of(const std::string& name) { return dir.path + "\\" + name; }

    int probe(const std::string& name, int system, const std::string& answers = "") {
        write_file(dir / "answers", answers);
        int saved = dup(0);
        int fd = open((dir / "answers").c_str(), O_RDONLY);
        dup2(fd, 0);
        close(fd);
        testing::internal::CaptureStderr();
        int result = get_track_timing(dir.path.c_str(), name.c_str(), &timing, system);
        boxes = testing::internal::GetCapturedStderr();
        dup2(saved, 0);
        close(saved);
        return result;
    }

    size_t count(const std::string& text) {
        size_t n = 0;
        for (size_t at = boxes.find(text); at != std::string::npos; at = boxes.find(text, at + 1)) ++n;
        return n;
    }
};

TEST_F(Probe, RealLivePrefersAValidNwaAndNeverReadsTheWav) {
    file("t.nwa", nwa_of_frames(48000, 2, 96000));
    file("t.wav", "not a header that would pass");
    ASSERT_EQ(probe("t", REALLIVE), 1);
    EXPECT_EQ(timing.rate, 48000);
    EXPECT_EQ(timing.length, 96000);
    EXPECT_EQ(boxes, "");
    EXPECT_EQ(last_rate, 48000);
}

TEST_F(Probe, RealLiveFallsBackToTheWavAfterAnInvalidOrShortNwa) {
    nwa_fields spoiled = valid_nwa(2, 44100, 3, 512, 100);
    spoiled.data_size ^= 2;
    for (const std::string& nwa : {nwa_header(spoiled), nwa_of_frames(44100, 2, 1000).substr(0, 43)}) {
        file("t.nwa", nwa);
        file("t.wav", pcm_wav(22050, 1, 22050 * 2 * 3));
        ASSERT_EQ(probe("t", REALLIVE), 1);
        EXPECT_EQ(timing.rate, 22050);
        EXPECT_EQ(timing.length, 22050 * 3);
        EXPECT_EQ(boxes, "test.exe: " + path_of("t.nwa") + "は不正な、または未対応の形式のnwaファイルです。\n");
    }
}

TEST_F(Probe, NeitherFileAsksAboutTheWavAndRetriesOnlyTheWav) {
    ASSERT_EQ(probe("gone", REALLIVE, "retry\nr\nabort\n"), 0);
    EXPECT_EQ(count("test.exe: " + path_of("gone.wav") + "のオープンに失敗しました。"), 3u) << boxes;
    EXPECT_EQ(count(".nwa"), 0u) << boxes;
    EXPECT_EQ(last_rate, START_RATE);
}

TEST_F(Probe, EndOfAnswersCountsAsAbort) {
    EXPECT_EQ(probe("gone", AVG32, ""), 0);
    EXPECT_EQ(count("のオープンに失敗しました。"), 1u);
}

TEST_F(Probe, AVG32NeverOpensAnNwa) {
    file("t.nwa", "garbage that would raise the nwa box");
    file("t.wav", pcm_wav(44100, 2, 176400));
    ASSERT_EQ(probe("t", AVG32), 1);
    EXPECT_EQ(timing.rate, 176400);
    EXPECT_EQ(timing.length, 176400);
    EXPECT_EQ(boxes, "");
}

TEST_F(Probe, IgnoreOnTheFirstTrackGivesSixtySecondsAt22050) {
    ASSERT_EQ(probe("gone", REALLIVE, "ignore\n"), 1);
    EXPECT_EQ(timing.rate, 22050);
    EXPECT_EQ(timing.length, 1323000);
    last_rate = START_RATE;
    ASSERT_EQ(probe("gone", AVG32, "i\n"), 1);
    EXPECT_EQ(timing.rate, 88200);
    EXPECT_EQ(timing.length, 5292000);
    EXPECT_EQ(last_rate, 22050);
}

TEST_F(Probe, IgnoreCarriesTheRateOfTheTrackBefore) {
    file("cd.wav", pcm_wav(44100, 2, 0));
    ASSERT_EQ(probe("cd", AVG32), 1);
    EXPECT_EQ(last_rate, 44100);
    ASSERT_EQ(probe("gone", AVG32, "ignore\n"), 1);
    EXPECT_EQ(timing.rate, 176400);
    EXPECT_EQ(timing.length, 10584000);

    last_rate = START_RATE;
    file("hq.nwa", nwa_of_frames(48000, 2, 10));
    ASSERT_EQ(probe("hq", REALLIVE), 1);
    ASSERT_EQ(probe("gone", REALLIVE, "ignore\n"), 1);
    EXPECT_EQ(timing.rate, 48000);
    EXPECT_EQ(timing.length, 2880000);
}

TEST_F(Probe, ARefusedWavStopsWithItsMessageAndKeepsTheCarriedRate) {
    file("cd.wav", pcm_wav(44100, 2, 0));
    ASSERT_EQ(probe("cd", REALLIVE), 1);
    wav_fields floating;
    floating.tag = 3;
    file("float.wav", wav_header(floating));
    file("short.wav", pcm_wav(44100, 2, 0).substr(0, 43));
    for (const char* name : {"float", "short"}) {
        ASSERT_EQ(probe(name, REALLIVE), 0);
        EXPECT_EQ(boxes, "test.exe: " + path_of(std::string(name) + ".wav") + "は無圧縮WAVE形式ではありません。\n");
        EXPECT_EQ(last_rate, 44100);
    }
}

TEST_F(Probe, AByteRateBelowFourIsNeverCarriedAsZero) {
    wav_fields slow;
    slow.byte_rate = 3;
    file("slow.wav", wav_header(slow));
    ASSERT_EQ(probe("slow", AVG32), 1);
    EXPECT_EQ(timing.rate, 3);
    ASSERT_EQ(probe("gone", AVG32, "ignore\n"), 1);
    EXPECT_GT(timing.rate, 0);
}

// Runs a program and answers its standard output, or "" when it failed.
std::string output_of(const std::string& program, const std::vector<std::string>& args) {
    run_result r = run_program(find_program(program), args, "");
    return r.status == 0 ? r.out : "";
}

long soxi_value(const char* option, const std::string& file) {
    return strtol(output_of("soxi", {option, file}).c_str(), nullptr, 10);
}

TEST_F(Probe, RatesAndLengthsAgreeWithSox) {
    if (!have_program("sox") || !have_program("soxi"))
        GTEST_SKIP() << "sox/soxi not on PATH: the independent check of WAV measurements cannot run";
    struct made { const char* name; const char* rate; const char* channels; const char* bits; const char* seconds; };
    const made files[] = {{"cd", "44100", "2", "16", "1.5"},
                          {"voice", "22050", "1", "16", "0.37"},
                          {"dat", "48000", "2", "16", "2.01"},
                          {"old", "11025", "1", "8", "0.9"}};
    for (const made& m : files) {
        std::string wav = dir / (std::string(m.name) + ".wav");
        ASSERT_EQ(run_program(find_program("sox"), {"-n", "-r", m.rate, "-c", m.channels, "-b", m.bits, wav,
                                                    "synth", m.seconds, "sine", "440"}, "").status, 0);
        long rate = soxi_value("-r", wav), frames = soxi_value("-s", wav), channels = soxi_value("-c", wav),
             bytes = soxi_value("-b", wav) / 8;
        ASSERT_GT(rate, 0);
        ASSERT_GT(frames, 0);

        ASSERT_EQ(probe(m.name, REALLIVE), 1) << boxes;
        EXPECT_EQ(timing.rate, rate) << m.name;
        EXPECT_EQ(timing.length, frames) << m.name;
        ASSERT_EQ(probe(m.name, AVG32), 1) << boxes;
        EXPECT_EQ(timing.rate, rate * channels * bytes) << m.name;
        EXPECT_EQ(timing.length, frames * channels * bytes) << m.name;
    }
    // 24-bit audio comes in the extensible layout, which is no plain PCM header.
    std::string wide = dir / "wide.wav";
    ASSERT_EQ(run_program(find_program("sox"), {"-n", "-r", "48000", "-c", "2", "-b", "24", wide, "synth", "0.1",
                                                "sine", "440"}, "").status, 0);
    EXPECT_EQ(probe("wide", REALLIVE), 0);
    EXPECT_NE(boxes.find("は無圧縮WAVE形式ではありません。"), std::string::npos);
}

}  // namespace
