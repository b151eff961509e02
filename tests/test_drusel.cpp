// drusel run in a temporary koewav tree with a stand-in encoder: files, both streams, exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/statvfs.h>
#include <vector>

#include "tests/support/support.h"

namespace {

std::string without_prompts(std::string text) {
    const std::string prompt = "[a]bort, [r]etry, [i]gnore? ";
    for (size_t at; (at = text.find(prompt)) != std::string::npos;) text.erase(at, prompt.size());
    return text;
}

const std::string reg_header = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\r\n";

class DruselTest : public testing::Test {
protected:
    temp_dir dir;
    std::string koewav, registry, log, plan;
    void SetUp() override {
        koewav = dir / "koewav";
        make_dirs(koewav);
        registry = dir / "registry.reg";
        log = dir / "encoder.log";
        plan = dir / "encoder.plan";
        use_encoder(bin_path("fake_encoder"));
    }
    void use_encoder(const std::string& path) {
        write_file(registry, reg_header + "\"SMX_Path\"=\"" + registry_escape(path) + "\"\r\n");
    }
    void voice(const std::string& rel, const std::string& bytes) {
        std::string full = koewav + "/" + rel;
        make_dirs(full.substr(0, full.rfind('/')));
        write_file(full, bytes);
    }
    run_result run(const std::string& answers = "", std::vector<std::string> env = {}) {
        env.push_back("VNAUDIO_REGISTRY=" + registry);
        env.push_back("FAKE_ENCODER_LOG=" + log);
        env.push_back("FAKE_ENCODER_PLAN=" + plan);
        return run_program(bin_path("drusel"), {}, koewav, answers, env);
    }
    std::vector<std::string> encoder_calls() {
        std::vector<std::string> calls;
        std::string text = read_file(log);
        size_t start = 0, end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            calls.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return calls;
    }
    std::string command(const std::string& wav) {
        return bin_path("fake_encoder") + " -e -w " + wav + " " + wav + ".mp3\n";
    }
};

TEST_F(DruselTest, ConvertsEveryVoiceInPlace) {
    voice("001/Z00100001.WAV", "voice one");
    voice("001/Z00100002.WAV", "voice two");
    voice("002/Z00200007.WAV", "voice three");
    run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, command("001\\Z00100001.WAV") + command("001\\Z00100002.WAV") +
                         command("002\\Z00200007.WAV"));
    auto files = payload_snapshot(koewav);
    std::map<std::string, std::string> expected = {
        {"001/", ""}, {"002/", ""},
        {"001/Z00100001.WAV", "FAKEMP3:voice one"},
        {"001/Z00100002.WAV", "FAKEMP3:voice two"},
        {"002/Z00200007.WAV", "FAKEMP3:voice three"}};
    EXPECT_EQ(files, expected);
    // The encoder sees the names as formed, backslashes and all.
    ASSERT_EQ(encoder_calls().size(), 3u);
    EXPECT_EQ(encoder_calls()[0], "-e -w 001\\Z00100001.WAV 001\\Z00100001.WAV.mp3");
}

TEST_F(DruselTest, IgnoreKeepsTheWav) {
    voice("001/Z00100001.WAV", "one");
    voice("001/Z00100002.WAV", "two");
    write_file(plan, "1\n0\n");
    run_result r = run("i\n");
    EXPECT_EQ(r.status, 0) << "skipped files do not change the exit code";
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "drusel.exe: 001\\Z00100001.WAV: scmpxを起動できないか、変換に失敗しました。\n");
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "one");
    EXPECT_EQ(read_payload(koewav + "/001/Z00100002.WAV"), "FAKEMP3:two");
}

TEST_F(DruselTest, RetryRunsTheSameCommandAgain) {
    voice("001/Z00100001.WAV", "one");
    write_file(plan, "1\n1\n0\n");
    run_result r = run("r\nretry\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, command("001\\Z00100001.WAV")) << "the command is written once";
    auto calls = encoder_calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], calls[2]);
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "FAKEMP3:one");
    EXPECT_FALSE(exists(koewav + "/001/Z00100001.WAV.mp3"));
}

TEST_F(DruselTest, AbortEndsTheRunKeepingEarlierConversions) {
    voice("001/Z00100001.WAV", "one");
    voice("001/Z00100002.WAV", "two");
    voice("002/Z00200001.WAV", "three");
    write_file(plan, "0\n1\n");
    run_result r = run("a\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "FAKEMP3:one");
    EXPECT_EQ(read_payload(koewav + "/001/Z00100002.WAV"), "two");
    EXPECT_EQ(read_payload(koewav + "/002/Z00200001.WAV"), "three");
    EXPECT_EQ(encoder_calls().size(), 2u) << "nothing after the Abort";
    EXPECT_EQ(r.err.find("plovenakで作成された"), std::string::npos);
}

TEST_F(DruselTest, NoAnswerMeansAbortNeverAnEndlessRetry) {
    voice("001/Z00100001.WAV", "one");
    write_file(plan, "1\n1\n1\n1\n1\n1\n1\n1\n");
    run_result r = run("");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(encoder_calls().size(), 1u);
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "one");
}

TEST_F(DruselTest, AnUnknownAnswerIsAskedAgain) {
    voice("001/Z00100001.WAV", "one");
    write_file(plan, "1\n");
    run_result r = run("maybe\nignore\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(encoder_calls().size(), 1u);
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "one");
}

TEST_F(DruselTest, EncoderClaimingSuccessWithoutAFileNeverCostsTheVoice) {
    voice("001/Z00100001.WAV", "one");
    write_file(plan, "98\n");
    run_result r = run("i\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("scmpxを起動できないか、変換に失敗しました。"), std::string::npos);
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "one");
}

TEST_F(DruselTest, IgnoredFailureRemovesWhatTheEncoderWrote) {
    voice("001/Z00100001.WAV", "one");
    write_file(plan, "99\n");
    run_result r = run("i\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "one");
    EXPECT_FALSE(exists(koewav + "/001/Z00100001.WAV.mp3"));
}

TEST_F(DruselTest, SkipsDotFoldersPlainFilesAndLongerNames) {
    voice("001/Z00100001.WAV", "one");
    voice(".ab/Z.WAV", "hidden");
    voice("abcd/Z.WAV", "four letters");
    write_file(koewav + "/abc", "a plain file");
    run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, command("001\\Z00100001.WAV"));
    EXPECT_EQ(read_payload(koewav + "/.ab/Z.WAV"), "hidden");
    EXPECT_EQ(read_payload(koewav + "/abcd/Z.WAV"), "four letters");
}

TEST_F(DruselTest, FolderWithoutWavsGetsItsLine) {
    voice("001/Z00100001.WAV", "one");
    make_dirs(koewav + "/002");
    voice("003/readme.txt", "no voices");
    run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "002: wavファイルがありません。\n003: wavファイルがありません。\n");
}

TEST_F(DruselTest, OutsideAKoewavTreeItSaysWhereToRun) {
    make_dirs(koewav + "/BGM");
    run_result r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "BGM: wavファイルがありません。\n"
                     "drusel.exe: plovenakで作成されたkoewavフォルダで実行してください。\n");
}

// The game's own music must never be encoded or removed: the game folder is refused up front.
TEST_F(DruselTest, GameFolderIsRefusedBeforeAnythingIsTouched) {
    voice("BGM/BGM01.WAV", "music");
    voice("001/Z00100001.WAV", "one");
    write_file(koewav + "/gameexe.ini", "#REGNAME = \"x\"\n");
    auto before = payload_snapshot(koewav);
    run_result r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "drusel.exe: GAMEEXE.INIのあるフォルダでは実行できません。"
                     "plovenakで作成されたkoewavフォルダで実行してください。\n");
    EXPECT_EQ(payload_snapshot(koewav), before);
    EXPECT_FALSE(exists(log)) << "the encoder was started";
}

TEST_F(DruselTest, FallsBackToScmpxWhenTheValueIsEmptyOrTheKeyMissing) {
    voice("001/Z00100001.WAV", "one");
    // A folder on PATH holding a Linux "scmpx": the default "scmpx.exe" finds it.
    std::string path_dir = dir / "path";
    make_dirs(path_dir);
    ASSERT_EQ(symlink(bin_path("fake_encoder").c_str(), (path_dir + "/scmpx").c_str()), 0);
    std::string path_env = "PATH=" + path_dir + ":/usr/bin:/bin";

    write_file(registry, reg_header + "\"SMX_Path\"=\"\"\r\n");
    run_result r = run("", {path_env});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "scmpx.exe -e -w 001\\Z00100001.WAV 001\\Z00100001.WAV.mp3\n");
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "FAKEMP3:one");

    voice("001/Z00100001.WAV", "one");
    write_file(registry, "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"A\"=\"b\"\r\n");
    r = run("", {path_env});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "_inmm.dllのレジストリが見つかりません。\n");
    EXPECT_EQ(r.out.substr(0, 16), "scmpx.exe -e -w ");
}

TEST_F(DruselTest, MissingValueIsAReadFailure) {
    voice("001/Z00100001.WAV", "one");
    write_file(registry, reg_header + "\"Other\"=\"x\"\r\n");
    run_result r = run("i\n", {"PATH=/nonexistent"});
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "レジストリの読みとりに失敗しました。。\n");
    EXPECT_EQ(r.out.substr(0, 16), "scmpx.exe -e -w ");
}

// The encoder is started with its arguments as they are: no character of a name is interpreted.
TEST_F(DruselTest, NamesReachTheEncoderAsTheyAre) {
    const std::string odd = "a b&c%PATH%^d\"e'f.WAV";
    voice("001/" + odd, "odd");
    std::string spaced = dir / "my enc";
    make_dirs(spaced);
    ASSERT_EQ(symlink(bin_path("fake_encoder").c_str(), (spaced + "/fake_encoder").c_str()), 0);
    use_encoder(spaced + "/fake_encoder");
    run_result r = run("y\n");   // not a name plovenak writes: the folder question comes first
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, spaced + "/fake_encoder -e -w 001\\" + odd + " 001\\" + odd + ".mp3\n");
    EXPECT_EQ(encoder_calls(), std::vector<std::string>{"-e -w 001\\" + odd + " 001\\" + odd + ".mp3"});
    EXPECT_EQ(read_payload(koewav + "/001/" + odd), "FAKEMP3:odd");
}

// What an earlier run left behind - converted voices, a voice killed between its steps, a stale or
// empty MP3 file - never costs a voice and never gets a voice encoded twice.
TEST_F(DruselTest, ReRunsFinishWhatAnEarlierRunLeft) {
    std::vector<std::string> env = {"FAKE_ENCODER_ID3=1"};
    voice("001/Z00100001.WAV", "one");
    voice("001/Z00100002.WAV", "two");
    voice("002/Z00200001.WAV", "three");
    ASSERT_EQ(run("", env).status, 0);
    ASSERT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "ID3FAKE:one");
    const std::string one = read_file(koewav + "/001/Z00100001.WAV");
    remove((koewav + "/001/Z00100001.WAV").c_str());
    write_file(koewav + "/001/Z00100001.WAV.mp3", one);               // killed before its rename
    write_file(koewav + "/001/Z00100002.WAV.mp3", one);               // a leftover beside a converted voice
    write_file(koewav + "/002/Z00200001.WAV", "three");                // put back as WAV ...
    write_file(koewav + "/002/Z00200001.WAV.mp3", "ID3stale");         // ... beside an old partial MP3
    voice("002/Z00200002.WAV", "four");
    remove(log.c_str());
    write_file(plan, "Z00200001.WAV 98\nZ00200002.WAV 97\nZ00200002.WAV 0\n");
    run_result r = run("i\nr\n", env);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> expected = {
        {"001/", ""}, {"002/", ""},
        {"001/Z00100001.WAV", "ID3FAKE:one"}, {"001/Z00100002.WAV", "ID3FAKE:two"},
        {"002/Z00200001.WAV", "three"}, {"002/Z00200002.WAV", "ID3FAKE:four"}};
    EXPECT_EQ(payload_snapshot(koewav), expected);
    EXPECT_EQ(r.out, command("002\\Z00200001.WAV") + command("002\\Z00200002.WAV"));
    EXPECT_EQ(without_prompts(r.err),
              "001\\Z00100001.WAV.mp3: 001\\Z00100001.WAVに戻します。\n"
              "001\\Z00100001.WAV: すでにMP3データです。変換しません。\n"
              "001\\Z00100002.WAV: すでにMP3データです。変換しません。\n"
              "drusel.exe: 002\\Z00200001.WAV: scmpxを起動できないか、変換に失敗しました。\n"
              "drusel.exe: 002\\Z00200002.WAV: scmpxを起動できないか、変換に失敗しました。\n");
}

// Encoders that answer success for output that is not their voice: the output is checked before it
// replaces anything, so every voice keeps its WAV, no output is left, and a later run with a sound
// encoder converts them all. The full file system is a small tmpfs the encoder fills up.
TEST_F(DruselTest, MisbehavingEncodersNeverReplaceAVoice) {
    const std::vector<std::string> names = {"001/Z00100001.WAV", "001/Z00100002.WAV", "002/Z00200001.WAV"};
    const std::string wav = make_wav(std::vector<int16_t>(22050, 1000), 22050);   // one second
    struct encoder_case {
        const char* how;
        const char* says;   // the question about each voice
    };
    const encoder_case cases[] = {
        {"cut", "完全なMP3ではありません"},     {"garbage", "完全なMP3ではありません"},
        {"stub", "完全なMP3ではありません"},    {"short", "と合いません"},
        {"crash", "scmpxを起動できないか"},     {"full", "完全なMP3ではありません"}};
    for (const char* jobs : {"1", "3"}) {
        for (const encoder_case& c : cases) {
            SCOPED_TRACE(std::string(c.how) + " at -j " + jobs);
            std::string mounted;
            if (std::string(c.how) == "full") {
                // Room for the voices and a few kilobytes more: every encoder runs out of space.
                mounted = dir / "small";
                make_dirs(mounted);
                if (system(("mount -t tmpfs -o size=1m tmpfs '" + mounted + "' 2>/dev/null").c_str()) != 0) {
                    ADD_FAILURE() << "skipped loudly: a tmpfs cannot be mounted here (not root?)";
                    continue;
                }
                koewav = mounted + "/koewav";
                make_dirs(koewav);
            }
            for (const std::string& name : names) voice(name, wav);
            struct statvfs fs;
            if (!mounted.empty() && statvfs(mounted.c_str(), &fs) == 0)
                write_file(mounted + "/fill", std::string(fs.f_bavail * fs.f_frsize - 8192, 'x'));
            remove(log.c_str());
            std::vector<std::string> args = {"-j", jobs};
            run_result r = run_program(bin_path("drusel"), args, koewav, "i\ni\ni\n",
                            {"VNAUDIO_REGISTRY=" + registry, "FAKE_ENCODER_LOG=" + log,
                             "FAKE_ENCODER_MISBEHAVE=" + std::string(c.how)});
            EXPECT_EQ(r.status, 0) << r.err;
            std::map<std::string, std::string> kept = {{"001/", ""}, {"002/", ""}};
            for (const std::string& name : names) kept[name] = wav;
            std::string changed;
            for (const auto& [name, bytes] : snapshot(koewav))
                if (!kept.count(name) || kept[name] != bytes) changed += " " + name;
            EXPECT_EQ(changed, "") << "replaced or left behind\n" << r.err;
            size_t asked = 0;
            for (size_t at = 0; (at = r.err.find(c.says, at)) != std::string::npos; ++at) ++asked;
            // On a full disk an encoder may also fail outright, or leave an empty file.
            if (std::string(c.how) == "full")
                for (size_t at = 0; (at = r.err.find("scmpxを起動できないか", at)) != std::string::npos; ++at) ++asked;
            EXPECT_EQ(asked, names.size()) << r.err;
            if (!mounted.empty()) remove((mounted + "/fill").c_str());
            r = run_program(bin_path("drusel"), args, koewav, "", {"VNAUDIO_REGISTRY=" + registry});
            EXPECT_EQ(r.status, 0) << r.err;
            for (const std::string& name : names) EXPECT_EQ(read_payload(koewav + "/" + name), "FAKEMP3:" + wav);
            if (!mounted.empty()) {
                EXPECT_EQ(system(("umount '" + mounted + "'").c_str()), 0);
                koewav = dir / "koewav";
            }
            std::filesystem::remove_all(koewav + "/001");
            std::filesystem::remove_all(koewav + "/002");
        }
    }
}

// A voice an earlier run or a failing disk left as a cut MP3 is not taken for a converted one: it is
// named, the run ends with 1, and nothing touches it.
TEST_F(DruselTest, ACutMp3InPlaceIsReportedNotPassedOver) {
    voice("001/Z00100001.WAV", make_wav(std::vector<int16_t>(22050, 1000), 22050));
    ASSERT_EQ(run().status, 0);
    const std::string whole = read_file(koewav + "/001/Z00100001.WAV");
    const std::string cut = whole.substr(0, whole.size() - 200);
    write_file(koewav + "/001/Z00100001.WAV", cut);
    remove(log.c_str());
    run_result r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "001\\Z00100001.WAV: MP3データが途中で切れています。この音声はplovenakで書き出し直してください。\n");
    EXPECT_EQ(read_file(koewav + "/001/Z00100001.WAV"), cut);
    EXPECT_TRUE(encoder_calls().empty());
}

// A folder that does not look like plovenak's koewav - another name, or WAV names of another form -
// is converted only after Yes; No and the end of input leave it untouched.
TEST_F(DruselTest, AFolderUnlikeKoewavIsAskedAbout) {
    std::string bgm = dir / "BGM";
    make_dirs(bgm + "/cds");
    write_file(bgm + "/cds/TRACK01.WAV", "music");
    write_file(bgm + "/cds/TRACK02.WAV", "more music");
    voice("001/Z00100001.WAV", "voice");
    voice("002/opening.wav", "not a voice name");
    const std::string question = "はplovenakで作成されたkoewavフォルダには見えません。\n続けると、中の2個のWAVファイルを";
    for (const char* answers : {"", "n\n", "y\n"}) {
        for (const std::string& folder : {bgm, koewav}) {
            run_result r = run_program(bin_path("drusel"), {}, folder, answers, {"VNAUDIO_REGISTRY=" + registry});
            EXPECT_NE(r.err.find(question), std::string::npos) << folder << "\n" << r.err;
            EXPECT_EQ(r.status, *answers == 'y' ? 0 : 1) << folder;
        }
        bool converted = *answers == 'y';
        EXPECT_EQ(read_payload(bgm + "/cds/TRACK01.WAV"), converted ? "FAKEMP3:music" : "music");
        EXPECT_EQ(read_payload(koewav + "/002/opening.wav"), converted ? "FAKEMP3:not a voice name" : "not a voice name");
    }
}

TEST_F(DruselTest, AVoiceSkippedForItsLengthEndsTheRunWithOne) {
    const std::string name = std::string(251, 'z') + ".WAV";   // its MP3 name takes 260 bytes
    voice("001/" + name, "long");
    voice("001/Z00100001.WAV", "one");
    run_result r = run("y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(r.err.rfind("[y]es, [n]o? ") + 13), "001\\" + name + ": パスが長すぎます。\n");
    EXPECT_EQ(read_payload(koewav + "/001/" + name), "long");
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "FAKEMP3:one");
}

// The LAME wrapper turns real speech-like WAVs into MP3s that an independent decoder reads back.
TEST_F(DruselTest, RealMp3sWithTheLameWrapper) {
    if (!have_program("lame")) GTEST_SKIP() << "lame is not installed: the real-encoder scenario is skipped";
    if (!exists(bin_path("scmpx"))) GTEST_SKIP() << "tools/scmpx was not built";
    // Two seconds of a square wave near 441 Hz at 22,050 Hz, 16-bit mono.
    const uint32_t rate = 22050, samples = rate * 2;
    std::vector<int16_t> square(samples);
    for (uint32_t i = 0; i < samples; ++i) square[i] = (i / 25) % 2 ? 8000 : -8000;
    std::string wav = make_wav(square, rate);
    voice("001/Z00100001.WAV", wav);
    voice("001/Z00100002.WAV", wav);
    use_encoder(bin_path("scmpx"));
    run_result r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    // Real MP3 data is known again: a second run encodes nothing.
    r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "001\\Z00100001.WAV: すでにMP3データです。変換しません。\n"
                     "001\\Z00100002.WAV: すでにMP3データです。変換しません。\n");
    // Names in another letter case take the wrapper's other road, through the platform's path rules.
    voice("001/Z00100003.WAV", wav);
    r = run_program(bin_path("scmpx"), {"-e", "-w", "001\\z00100003.wav", "001\\Z00100003.WAV.mp3"}, koewav);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"Z00100001.WAV", "Z00100002.WAV", "Z00100003.WAV.mp3"}) {
        std::string file = koewav + "/001/" + name;
        std::string data = read_file(file);
        ASSERT_GT(data.size(), 100u);
        EXPECT_NE(data.substr(0, 4), "RIFF") << name << " still holds WAV data";
        // Decode it back with lame itself and measure the length.
        std::string copy = dir / "check.mp3", back = dir / "check.wav";
        write_file(copy, data);
        run_result d = run_program(find_program("lame"), {"--quiet", "--decode", copy, back}, dir.path);
        ASSERT_EQ(d.status, 0) << d.err;
        std::string pcm = read_file(back);
        ASSERT_GT(pcm.size(), 44u);
        auto le = [&](size_t at, int width) {
            uint32_t v = 0;
            for (int i = width - 1; i >= 0; --i) v = v * 256 + static_cast<unsigned char>(pcm[at + i]);
            return v;
        };
        uint32_t channels = le(22, 2), rate_back = le(24, 4);
        ASSERT_GT(channels * rate_back, 0u);
        // Within a tenth of a second of 2 s, whatever padding the codec adds.
        double seconds = static_cast<double>(pcm.size() - 44) / (2.0 * channels * rate_back);
        EXPECT_NEAR(seconds, 2.0, 0.1) << name;
    }
}

}  // namespace

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// With -j N the same answers lead to the same questions, lines, exit status and files as a run with
// one encoder, an Abort included: the encoders already running for later voices are ended and what
// they wrote removed.
TEST_F(DruselTest, SeveralEncodersAtOnceEndAsOneAtATime) {
    const std::vector<std::string> names = {"001/Z00100001.WAV", "001/Z00100002.WAV", "001/Z00100003.WAV",
                                            "001/Z00100004.WAV", "002/Z00200001.WAV", "002/Z00200002.WAV",
                                            "002/Z00200003.WAV"};
    struct scenario {
        const char* what;
        const char* plan;
        const char* answers;
        int status;
        const char* aborted_at;   // the voice asked about when the run was aborted
    };
    const scenario scenarios[] = {
        {"all converted", "", "", 0, nullptr},
        {"retry", "Z00100002.WAV 1\nZ00100002.WAV 99\n", "r\nr\n", 0, nullptr},
        {"ignore", "Z00100002.WAV 1\nZ00200001.WAV 98\n", "i\ni\n", 0, nullptr},
        {"abort", "Z00100003.WAV 1\n", "a\n", 1, "001/Z00100003.WAV"},
        {"end of input", "Z00100002.WAV 1\n", "", 1, "001/Z00100002.WAV"},
    };
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        struct outcome {
            run_result r;
            std::map<std::string, std::string> files;
            int peak = 0;
        } one, three;
        for (outcome* o : {&one, &three}) {
            remove(log.c_str());
            // An encoder ended by an Abort leaves its mark: each run counts in a folder of its own.
            std::string running = dir / (std::string(s.what) + (o == &one ? " 1" : " 3"));
            make_dirs(running);
            for (const std::string& name : names) voice(name, name);
            write_file(plan, s.plan);
            std::vector<std::string> env = {"FAKE_ENCODER_MS=150", "FAKE_ENCODER_RUNNING=" + running,
                                            "VNAUDIO_REGISTRY=" + registry, "FAKE_ENCODER_LOG=" + log,
                                            "FAKE_ENCODER_PLAN=" + plan};
            std::vector<std::string> args;
            if (o == &three) args = {"-j", "3"};
            o->r = run_program(bin_path("drusel"), args, koewav, s.answers, env);
            o->files = payload_snapshot(koewav);
            for (const std::string& n : lines_of(read_file(running + "/counts"))) o->peak = std::max(o->peak, stoi(n));
        }
        EXPECT_EQ(three.r.status, s.status) << three.r.err;
        EXPECT_EQ(one.r.status, s.status) << one.r.err;
        EXPECT_EQ(without_prompts(three.r.err), without_prompts(one.r.err)) << "the questions differ";
        EXPECT_EQ(one.peak, 1);
        EXPECT_LE(three.peak, 3);
        EXPECT_EQ(three.r.out, one.r.out);
        EXPECT_EQ(three.files, one.files);
        if (!*s.plan) {
            EXPECT_EQ(three.peak, 3) << "the encoders never ran side by side";
        }
        if (s.aborted_at) {
            // Nothing from the aborted voice on is converted, whether or not its encoder had run.
            bool past = false;
            for (const std::string& name : names) {
                past |= name == s.aborted_at;
                if (past) {
                    EXPECT_EQ(three.files[name], name) << name;
                }
            }
        }
    }
}

}  // namespace

namespace {

TEST_F(DruselTest, CommandLineOtherThanJobsIsRefusedUntouched) {
    voice("001/Z00100001.WAV", "one");
    const std::vector<std::vector<std::string>> refused = {{"-j", "0"}, {"-j", "65"}, {"-j", "2x"}, {"-x"},
                                                           {"-j", "2", "3"}, {"koewav"}};
    for (const auto& args : refused) {
        run_result r = run_program(bin_path("drusel"), args, koewav, "", {"VNAUDIO_REGISTRY=" + registry});
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "drusel.exe: 使い方: drusel [-j [同時に動かすエンコーダの数 (1以上64以下)]]\n");
        EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "one");
    }
    // "-j" alone takes the machine's processors.
    run_result r = run_program(bin_path("drusel"), {"-j"}, koewav, "", {"VNAUDIO_REGISTRY=" + registry});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_payload(koewav + "/001/Z00100001.WAV"), "FAKEMP3:one");
}

}  // namespace
