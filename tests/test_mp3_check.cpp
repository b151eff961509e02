// The MP3 check that decides whether an encoder's output may replace a voice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mp3conv/mp3_check.h"
#include "tests/support/support.h"

namespace {

// A WAV of frames samples of a tone at rate.
std::string tone_wav(unsigned rate, unsigned long frames) {
    std::vector<int16_t> samples(frames);
    for (unsigned long i = 0; i < frames; ++i) samples[i] = static_cast<int16_t>((i * 37 % 400) * 40);
    return make_wav(samples, rate);
}

int scan(const std::string& bytes, mp3_facts* s) {
    return check_mp3(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), s);
}

// Real encoder output of several rates and lengths must pass, with its length matching the WAV's;
// every kind of damage an encoder or a full disk leaves must fail.
TEST(Mp3Check, RealLameOutputPassesAndDamagedCopiesFail) {
    if (!have_program("lame")) GTEST_SKIP() << "lame is not installed: real MP3 output cannot be checked";
    temp_dir dir;
    struct { unsigned rate; unsigned long frames; const char* options; } cases[] = {
        {22050, 66150, "--quiet"}, {44100, 5000, "--quiet"}, {11025, 5, "--quiet -V 2"},
        {16000, 48001, "--quiet -b 32"}, {48000, 240000, "--quiet --abr 96"}, {22050, 66150, "--quiet -t"},
        {22050, 70000, "--quiet --resample 11.025"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) + " samples, " + c.options);
        std::string wav = dir / "in.wav", mp3 = dir / "out.mp3";
        write_file(wav, tone_wav(c.rate, c.frames));
        run_result r = run_program("/bin/sh", {"-c", std::string("lame ") + c.options + " in.wav out.mp3"}, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string bytes = read_file(mp3);
        mp3_facts s;
        ASSERT_EQ(scan(bytes, &s), 1) << "stopped at " << s.fault_at << " of " << bytes.size();
        EXPECT_EQ(mp3_length_matches(&s, c.frames, c.rate), 1) << s.audio_frames * s.samples_per_frame << " samples at " << s.rate;
        EXPECT_EQ(mp3_length_matches(&s, c.frames + c.rate, c.rate), 0) << "a second longer WAV";
        EXPECT_EQ(mp3_length_matches(&s, c.frames * 2 + 5000, c.rate), 0) << "twice as long a WAV";

        std::string tagged = "ID3" + std::string("\4\0\0\0\0\0\x0A", 7) + std::string(10, '\0') + bytes +
                             "TAG" + std::string(125, 'x');
        EXPECT_EQ(scan(tagged, &s), 1) << "ID3v2 before and ID3v1 after";
        struct { const char* what; std::string bytes; } damaged[] = {
            {"cut at two thirds", bytes.substr(0, bytes.size() * 2 / 3)},
            {"last byte missing", bytes.substr(0, bytes.size() - 1)},
            {"a byte too many", bytes + std::string(1, '\0')},
            {"text after the frames", bytes + "LAME failed to write\n"},
            {"a frame sync stub", std::string("\xFF\xFB\x90\x64", 4) + "stubbed"},
            {"garbage", "FAKEMP3:RIFF...."},
            {"a tag and no frames", "ID3" + std::string("\4\0\0\0\0\0\0", 7)},
            {"a tag claiming more than the file", "ID3" + std::string("\4\0\0\0\0\x7F\x7F", 7) + bytes},
            {"zeros after a cut", bytes.substr(0, bytes.size() / 2) + std::string(bytes.size() - bytes.size() / 2, '\0')}};
        // A cut may fall between frames: then the length gives it away (a voice of a few samples
        // has nothing to lose in a frame).
        for (const auto& d : damaged) {
            if (c.frames <= 1000) continue;
            EXPECT_FALSE(scan(d.bytes, &s) && mp3_length_matches(&s, c.frames, c.rate)) << d.what;
        }
    }
}

TEST(Mp3Check, WavLengthFromItsHeader) {
    uint64_t frames = 0;
    unsigned long rate = 0;
    std::string wav = tone_wav(22050, 100);
    auto length = [&](const std::string& b) {
        return read_wav_length(reinterpret_cast<const unsigned char*>(b.data()), b.size(), b.size(), &frames, &rate);
    };
    ASSERT_EQ(length(wav), 1);
    EXPECT_EQ(frames, 100u);
    EXPECT_EQ(rate, 22050u);
    ASSERT_EQ(length(wav.substr(0, wav.size() - 51)), 1) << "a cut data chunk counts what is there";
    EXPECT_EQ(frames, 74u);
    EXPECT_EQ(length("RIFF....WAVEdata\4\0\0\0abcd"), 0) << "data before fmt";
    EXPECT_EQ(length(wav.substr(0, 30)), 0) << "cut inside fmt";
    EXPECT_EQ(length("ID3\4\0\0\0\0\0\0"), 0);
}

}  // namespace
