// The demo's pieces: the sample game is one the tools take whole and its file headers describe the
// audio behind them; recorded voices reach the archives in order; the maker never empties a folder
// it did not make; and tools/demo.sh run end to end, also when a tool fails or LAME is missing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "tests/support/support.h"
#include "tests/unpacker_support.h"

namespace {

const char REGKEY[] = "Software\\VNAUDIO\\SAKURAZAKA";
const std::string SUCCESS_BOX = "tormel.exe: 成功しました。\n";
const std::string SJIS_OPENING = "\x83\x49\x81\x5b\x83\x76\x83\x6a\x83\x93\x83\x4f";  // オープニング
const std::string UTF8_OPENING = "オープニング";
constexpr long WHOLE = 99999999;

uint32_t u16_at(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8;
}
uint32_t u32_at(const std::string& s, size_t at) { return u16_at(s, at) | u16_at(s, at + 2) << 16; }

std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

struct dstrack {
    long start, end, third;
    char file[64], title[64];
};

std::vector<dstrack> dstracks(const std::string& gameexe) {
    std::vector<dstrack> out;
    for (const std::string& line : crlf_lines(gameexe)) {
        dstrack t;
        if (sscanf(line.c_str(), "#DSTRACK = %ld - %ld - %ld = \"%63[^\"]\" = \"%63[^\"]\"", &t.start, &t.end,
                   &t.third, t.file, t.title) == 5)
            out.push_back(t);
    }
    return out;
}

// What a music file's header says, checked against the bytes that follow it.
struct music_file {
    bool nwa = false;
    unsigned rate = 0, channels = 0;
    long frames = 0;
    double rms = 0;
};

void expect_consistent_header(const std::string& path, music_file* m) {
    std::string f = read_file(path);
    ASSERT_GE(f.size(), 44u) << path;
    uint32_t data;
    if (m->nwa) {
        m->channels = u16_at(f, 0);
        m->rate = u32_at(f, 4);
        uint32_t bits = u16_at(f, 2), blocks = u32_at(f, 16), count = u32_at(f, 28);
        data = u32_at(f, 20);
        EXPECT_EQ(bits, 16u) << path;
        EXPECT_EQ(data, bits * count / 8) << path;
        EXPECT_EQ((blocks - 1) * u32_at(f, 32) + u32_at(f, 36), count) << path;
    } else {
        EXPECT_EQ(f.substr(0, 4), "RIFF") << path;
        EXPECT_EQ(u32_at(f, 4), f.size() - 8) << path;
        EXPECT_EQ(f.substr(8, 8), "WAVEfmt ") << path;
        EXPECT_EQ(u32_at(f, 16), 16u) << path;
        EXPECT_EQ(u16_at(f, 20), 1u) << path;
        m->channels = u16_at(f, 22);
        m->rate = u32_at(f, 24);
        EXPECT_EQ(u16_at(f, 32), 2 * m->channels) << path;
        EXPECT_EQ(u32_at(f, 28), m->rate * 2 * m->channels) << path;
        EXPECT_EQ(u16_at(f, 34), 16u) << path;
        EXPECT_EQ(f.substr(36, 4), "data") << path;
        data = u32_at(f, 40);
    }
    EXPECT_EQ(data, f.size() - 44) << path << ": the header's length is not the audio's";
    ASSERT_TRUE(m->channels == 1 || m->channels == 2) << path;
    EXPECT_TRUE(m->rate == 22050 || m->rate == 44100) << path;
    m->frames = static_cast<long>((f.size() - 44) / 2 / m->channels);
    double sum = 0;
    for (size_t at = 44; at + 1 < f.size(); at += 2) {
        double v = static_cast<int16_t>(u16_at(f, at));
        sum += v * v;
    }
    m->rms = std::sqrt(sum / ((f.size() - 44) / 2));
}

int make_game(const std::string& folder, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = extra;
    args.push_back(folder);
    run_result r = run_program(bin_path("make_sample_game"), args, ".");
    EXPECT_EQ(r.err, "");
    return r.status;
}

run_result run_tool(const std::string& tool, const std::string& cwd, const std::string& registry) {
    return run_program(bin_path(tool), {}, cwd, "", {"VNAUDIO_REGISTRY=" + registry});
}

// Seconds of a time code "TT:MM:SS:FF"; -1 when the track number is not track.
double seconds_of(const std::string& code, int track) {
    int t, m, s, f;
    if (sscanf(code.c_str(), "%d:%d:%d:%d", &t, &m, &s, &f) != 4 || t != track) return -1;
    return m * 60 + s + f / 75.0;
}

// One game made for the whole suite; the tests that run tools make their own.
class SampleGame : public ::testing::Test {
protected:
    static temp_dir* dir;
    static std::string game;
    static void SetUpTestSuite() {
        dir = new temp_dir;
        game = *dir / "game";
        ASSERT_EQ(make_game(game), 0);
    }
    static void TearDownTestSuite() { delete dir; }
};
temp_dir* SampleGame::dir = nullptr;
std::string SampleGame::game;

TEST_F(SampleGame, GameexeIsAShiftJisRealLiveFileWithCrLfLines) {
    std::string ini = read_file(game + "/GAMEEXE.INI");
    ASSERT_FALSE(ini.empty());
    for (size_t at = 0; (at = ini.find('\n', at)) != std::string::npos; ++at)
        ASSERT_TRUE(at > 0 && ini[at - 1] == '\r') << "a bare LF at byte " << at;
    EXPECT_EQ(ini.substr(ini.size() - 2), "\r\n");
    EXPECT_NE(ini.find(SJIS_OPENING), std::string::npos);
    EXPECT_EQ(ini.find(UTF8_OPENING), std::string::npos) << "Japanese text left in UTF-8";
    EXPECT_TRUE(exists(game + "/REALLIVE.EXE"));

    std::vector<std::string> lines = crlf_lines(ini);
    auto count = [&](const char* prefix) {
        int n = 0;
        for (const std::string& l : lines) n += l.compare(0, strlen(prefix), prefix) == 0;
        return n;
    };
    EXPECT_EQ(count("#REGNAME = \"VNAUDIO\\SAKURAZAKA\""), 1);
    EXPECT_EQ(count("#BGM_MODE = 0"), 1);
    EXPECT_EQ(count("#SYSCOM.011 = N : \""), 1);
    int cdda = 0;
    for (const std::string& l : lines) {
        char name[4];
        int value;
        cdda += sscanf(l.c_str(), "#CDDA_%3s_SETUP_NEED = %d", name, &value) == 2;
    }
    EXPECT_GE(cdda, 1);

    std::vector<dstrack> tracks = dstracks(ini);
    ASSERT_EQ(tracks.size(), 12u);
    int whole = 0, trail_5c = 0;
    for (const dstrack& t : tracks) {
        whole += t.start == 0 && t.end == WHOLE && t.third == 0;
        trail_5c += strchr(t.title, '\\') != nullptr;
    }
    EXPECT_GE(whole, 2);
    EXPECT_LE(whole, 10) << "the tracks with real positions are the ones worth converting";
    EXPECT_GE(trail_5c, 1) << "a title with the Shift_JIS trail byte 0x5C";
}

TEST_F(SampleGame, EveryTrackFileHoldsAudioItsHeaderDescribes) {
    long total = 0;
    int nwa = 0;
    for (const dstrack& t : dstracks(read_file(game + "/GAMEEXE.INI"))) {
        SCOPED_TRACE(t.file);
        std::string base = game + "/BGM/" + t.file;
        music_file m;
        m.nwa = exists(base + ".nwa");
        ASSERT_NE(m.nwa, exists(base + ".wav")) << "exactly one file per track";
        std::string path = base + (m.nwa ? ".nwa" : ".wav");
        nwa += m.nwa;
        expect_consistent_header(path, &m);
        total += static_cast<long>(read_file(path).size());
        EXPECT_GE(m.frames, static_cast<long>(m.rate)) << "at least a second of music";
        EXPECT_GT(m.rms, 1000) << "not silence";
        if (t.end != WHOLE) {
            EXPECT_LT(t.start, t.end);
            EXPECT_LE(t.end, m.frames);
        }
        EXPECT_LT(t.third, m.frames);
    }
    EXPECT_GE(nwa, 1);
    EXPECT_LT(total, 5000000) << "the demo folder is meant to stay small";
}

TEST_F(SampleGame, RegistryStoreNamesTheFoldersAndOnlyTheGivenEncoder) {
    setenv("VNAUDIO_REGISTRY", (game + "/registry.reg").c_str(), 1);
    reg_key key;
    ASSERT_EQ(reg_open_key(REGKEY, REG_ACCESS_QUERY, &key), REG_OK);
    for (const char* value : {"BGM_FOLDER", "KOE_FOLDER"}) {
        unsigned char data[256];
        uint32_t size = sizeof data;
        ASSERT_EQ(reg_query_value(key, value, data, &size), REG_OK) << value;
        std::string folder(reinterpret_cast<char*>(data));
        struct stat st;
        EXPECT_TRUE(stat((game + "/" + folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << value;
    }
    reg_close_key(key);
    EXPECT_NE(reg_open_key("Software\\vurlo\\_inmm.dll", REG_ACCESS_QUERY, &key), REG_OK)
        << "no encoder was named, so drusel must not find one";

    // A Windows-style encoder path survives the store's escapes.
    temp_dir other;
    const std::string encoder = "C:\\Tools\\scmpx \"beta\".exe";
    ASSERT_EQ(make_game(other / "game", {"--encoder", encoder}), 0);
    setenv("VNAUDIO_REGISTRY", (other / "game/registry.reg").c_str(), 1);
    ASSERT_EQ(reg_open_key("Software\\vurlo\\_inmm.dll", REG_ACCESS_QUERY, &key), REG_OK);
    unsigned char data[260];
    uint32_t size = sizeof data;
    ASSERT_EQ(reg_query_value(key, "SMX_Path", data, &size), REG_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data)), encoder);
    reg_close_key(key);
    unsetenv("VNAUDIO_REGISTRY");
}

// tormel must take every track without a box beyond its success, with time codes at the positions
// the entries give in the rates the headers give; plovenak must unpack every voice.
TEST(SampleGameTools, TormelAndPlovenakTakeTheWholeGame) {
    temp_dir dir;
    const std::string game = dir / "game", registry = game + "/registry.reg";
    ASSERT_EQ(make_game(game), 0);
    std::vector<dstrack> tracks = dstracks(read_file(game + "/GAMEEXE.INI"));
    ASSERT_EQ(tracks.size(), 12u);

    run_result r = run_tool("tormel", game, registry);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, SUCCESS_BOX);
    std::vector<std::string> cd;
    for (const std::string& line : crlf_lines(read_file(game + "/GAMEEXE.INI")))
        if (line.compare(0, 9, "#CDTRACK ") == 0) cd.push_back(line);
    ASSERT_EQ(cd.size(), tracks.size());
    std::string table;
    for (size_t k = 0; k < tracks.size(); ++k) {
        const dstrack& t = tracks[k];
        SCOPED_TRACE(t.file);
        int track = static_cast<int>(k) + 2;
        table += std::string("BGM\\") + t.file + ".wav\r\n";
        char codes[3][32];
        ASSERT_EQ(sscanf(cd[k].c_str(), "#CDTRACK = %31s - %31s - %31s", codes[0], codes[1], codes[2]), 3);
        if (t.start == 0 && t.end == WHOLE && t.third == 0) continue;
        music_file m;
        m.nwa = exists(game + "/BGM/" + t.file + ".nwa");
        expect_consistent_header(game + "/BGM/" + t.file + (m.nwa ? ".nwa" : ".wav"), &m);
        EXPECT_NEAR(seconds_of(codes[0], track), static_cast<double>(t.start) / m.rate, 1 / 75.0);
        EXPECT_NEAR(seconds_of(codes[2], track), static_cast<double>(t.third) / m.rate, 1 / 75.0);
        if (t.end != WHOLE) {
            EXPECT_NEAR(seconds_of(codes[1], track), static_cast<double>(t.end) / m.rate, 1 / 75.0);
        }
    }
    EXPECT_EQ(read_file(game + "/_inmm.ini"), table);

    r = run_tool("plovenak", game, registry);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string expected;
    for (int a = 1; a <= 3; ++a)
        for (int v = 1; v <= 3; ++v) {
            char line[64], path[64];
            snprintf(line, sizeof line, "Z%03d.KOE -> %03d\\Z%03d%05d.WAV\n", a, a, a, v);
            snprintf(path, sizeof path, "/koewav/%03d/Z%03d%05d.WAV", a, a, v);
            expected += line;
            std::string wav = read_file(game + path);
            ASSERT_GT(wav.size(), 44u + 22050) << line;
            EXPECT_EQ(u32_at(wav, 24), 22050u) << line;
        }
    EXPECT_EQ(r.out, expected);
}

std::vector<int16_t> tone(size_t n, double frequency, unsigned rate) {
    std::vector<int16_t> out(n);
    for (size_t k = 0; k < n; ++k)
        out[k] = static_cast<int16_t>(20000 * std::sin(2 * 3.14159265358979 * frequency * k / rate));
    return out;
}

// The voices given are the voices the player gets back, in name order, spread over the archives;
// only the companding's rounding may differ (at most half its largest step, 255).
TEST(SampleGameVoices, GivenVoicesComeBackInOrderAfterUnpacking) {
    temp_dir dir;
    const unsigned rate = 16000;
    const size_t lengths[4] = {1000, 3000, 2049, 5000};
    std::vector<std::vector<int16_t>> voices;
    make_dirs(dir / "voices");
    for (int k = 3; k >= 0; --k) {   // written out of order: the names decide
        voices.insert(voices.begin(), tone(lengths[k], 200.0 + 150 * k, rate));
        write_file(dir / ("voices/line" + std::to_string(k) + ".wav"), make_wav(voices.front(), rate));
    }
    write_file(dir / "voices/notes.txt", "not a voice");
    const std::string game = dir / "game";
    ASSERT_EQ(make_game(game, {"--voices", dir / "voices"}), 0);
    run_result r = run_tool("plovenak", game, game + "/registry.reg");
    ASSERT_EQ(r.status, 0) << r.err;

    // Four voices over three archives: one, one, then two.
    const char* places[4] = {"001/Z00100001.WAV", "002/Z00200001.WAV", "003/Z00300001.WAV", "003/Z00300002.WAV"};
    EXPECT_EQ(r.out, "Z001.KOE -> 001\\Z00100001.WAV\nZ002.KOE -> 002\\Z00200001.WAV\n"
                     "Z003.KOE -> 003\\Z00300001.WAV\nZ003.KOE -> 003\\Z00300002.WAV\n");
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(places[k]);
        std::string wav = read_file(game + "/koewav/" + places[k]);
        ASSERT_GE(wav.size(), 44u);
        EXPECT_EQ(u32_at(wav, 24), rate);
        size_t n = (wav.size() - 44) / 2;
        ASSERT_GE(n, voices[k].size());
        EXPECT_LE(n, voices[k].size() + 1) << "an odd coded block may repeat its last sample";
        int worst = 0;
        for (size_t s = 0; s < voices[k].size(); ++s)
            worst = std::max(worst, std::abs(static_cast<int16_t>(u16_at(wav, 44 + 2 * s)) - voices[k][s]));
        EXPECT_LE(worst, 255);
    }
}

TEST(SampleGameVoices, UnusableVoicesStopTheMakerBeforeItTouchesTheFolder) {
    temp_dir dir;
    make_dirs(dir / "mixed");
    write_file(dir / "mixed/a.wav", make_wav(tone(500, 300, 16000), 16000));
    write_file(dir / "mixed/b.wav", make_wav(tone(500, 300, 22050), 22050));
    make_dirs(dir / "stereo");
    std::string stereo = make_wav(tone(500, 300, 16000), 16000);
    stereo[22] = 2;
    write_file(dir / "stereo/a.wav", stereo);
    make_dirs(dir / "none");
    for (const char* voices : {"mixed", "stereo", "none", "missing"}) {
        SCOPED_TRACE(voices);
        run_result r = run_program(bin_path("make_sample_game"), {"--voices", dir / voices, dir / "game"}, ".");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err, "");
        EXPECT_FALSE(exists(dir / "game"));
    }
}

TEST(SampleGameFolder, OnlyEmptyFoldersAndEarlierDemoFoldersAreUsed) {
    temp_dir dir;
    // Someone's own folder stays exactly as it is.
    make_dirs(dir / "mine/sub");
    write_file(dir / "mine/notes.txt", "keep me");
    auto before = snapshot(dir / "mine");
    run_result r = run_program(bin_path("make_sample_game"), {dir / "mine"}, ".");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not made by the demo"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(dir / "mine"), before);

    // A file of that name is no folder to fill.
    write_file(dir / "file", "data");
    EXPECT_EQ(run_program(bin_path("make_sample_game"), {dir / "file"}, ".").status, 1);
    EXPECT_EQ(read_file(dir / "file"), "data");

    // An empty folder is taken as it is.
    make_dirs(dir / "empty");
    EXPECT_EQ(make_game(dir / "empty"), 0);
    EXPECT_TRUE(exists(dir / "empty/GAMEEXE.INI"));

    // An earlier demo folder is made anew: what a run left goes, and a link out of the folder is
    // removed without following it.
    ASSERT_EQ(make_game(dir / "demo"), 0);
    auto fresh = snapshot(dir / "demo");
    make_dirs(dir / "outside");
    write_file(dir / "outside/precious", "mine");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "demo/link").c_str()), 0);
    make_dirs(dir / "demo/koewav/001");
    write_file(dir / "demo/koewav/001/Z00100001.WAV", "old");
    write_file(dir / "demo/GAMEEXE.INI", "changed");
    EXPECT_EQ(make_game(dir / "demo"), 0);
    EXPECT_EQ(snapshot(dir / "demo"), fresh);
    EXPECT_EQ(read_file(dir / "outside/precious"), "mine");
}

// The demo script on the programs of this build, in a folder of its own.
run_result run_demo(const std::string& folder, const std::string& bin, const std::vector<std::string>& env = {}) {
    std::vector<std::string> all = env;
    all.push_back("VNAUDIO_DEMO_BIN=" + bin);
    return run_program("/bin/bash", {source_path("tools/demo.sh"), folder}, ".", "", all);
}

std::string bin_dir() {
    std::string tool = bin_path("tormel");
    return tool.substr(0, tool.rfind('/'));
}

TEST(DemoScript, RunsTheWholeJobAndSaysWhatEachToolDid) {
    if (!have_program("lame")) GTEST_SKIP() << "lame is not installed: the MP3 step cannot run";
    temp_dir dir;
    run_result r = run_demo(dir / "demo", bin_dir());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* said : {"12 music tracks turned into emulated CD tracks 02-13",
                             "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"オープニング\"",
                             "/_inmm.ini (12 lines", "9 voices unpacked from 3 archives",
                             "9 voices converted to MP3", "KOE_FOLDER is now \"koewav\"", "tormel.exe: 成功しました。"})
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    int voices = 0;
    for (const auto& [name, bytes] : snapshot(dir / "demo/koewav")) {
        if (name.back() == '/') continue;
        ++voices;
        bool mp3 = bytes.compare(0, 3, "ID3") == 0 ||
                   (bytes.size() > 1 && static_cast<uint8_t>(bytes[0]) == 0xFF && (bytes[1] & 0xE0) == 0xE0);
        EXPECT_TRUE(mp3) << name;
    }
    EXPECT_EQ(voices, 9);

    // A second run makes the game anew and runs everything again.
    r = run_demo(dir / "demo", bin_dir());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(exists(dir / "demo/GAMEEXE.org1"));
}

TEST(DemoScript, WithoutLameTheVoicesStayWavAndTheUserLearnsHowToGetMp3s) {
    temp_dir dir;
    run_result r = run_demo(dir / "demo", bin_dir(), {"SCMPX_LAME=" + dir.path + "/no-lame-here"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("apt-get install lame"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(dir / "demo/koewav/001/Z00100001.WAV").substr(0, 4), "RIFF");
    EXPECT_EQ(read_file(dir / "demo/registry.reg").find("_inmm.dll"), std::string::npos);
}

TEST(DemoScript, StopsWithAFailureWhenAToolFailsOrTheFolderIsNotItsOwn) {
    temp_dir dir;
    // The real programs, but a tormel that fails.
    make_dirs(dir / "bin");
    for (const char* tool : {"make_sample_game", "plovenak", "drusel", "scmpx"})
        ASSERT_EQ(symlink(bin_path(tool).c_str(), (dir / ("bin/" + std::string(tool))).c_str()), 0);
    write_file(dir / "bin/tormel", "#!/bin/sh\necho 'tormel.exe: broken on purpose' >&2\nexit 1\n");
    chmod((dir / "bin/tormel").c_str(), 0755);
    run_result r = run_demo(dir / "demo", dir / "bin");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("tormel failed (exit status 1)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("broken on purpose"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "demo/koewav")) << "plovenak ran after tormel failed";

    make_dirs(dir / "mine");
    write_file(dir / "mine/save.dat", "progress");
    auto before = snapshot(dir / "mine");
    r = run_demo(dir / "mine", bin_dir());
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(snapshot(dir / "mine"), before);
}

}  // namespace
