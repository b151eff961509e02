// GAMEEXE.INI rewriting: the settings rules of both engines, the track entries and the track
// table, run over the platform's text streams as the configurator opens them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "configurator/engine.h"
#include "configurator/gameexe.h"
#include "configurator/track_timing.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "tests/configurator_support.h"
#include "tests/support/support.h"

namespace {

const std::string REGNAME_LINE = "#REGNAME = \"VNAUDIO_TEST\\GAME\"\r\n";

struct rewrite_outcome {
    int result;
    std::string ini;
    std::string table;
    std::string boxes;
};

class Rewrite : public ::testing::Test {
protected:
    temp_dir dir;
    std::string music;  // the BGM_FOLDER value: an absolute path, so the tests need no chdir

    void SetUp() override {
        music = dir / "bgm";
        make_dirs(music);
        write_file(dir / "registry.reg", registry_with_folder("VNAUDIO_TEST\\GAME", music));
        setenv("VNAUDIO_REGISTRY", (dir / "registry.reg").c_str(), 1);
        last_rate = START_RATE;
    }
    void TearDown() override { unsetenv("VNAUDIO_REGISTRY"); }

    void music_file(const std::string& name, const std::string& bytes) { write_file(music + "/" + name, bytes); }

    // The track table line of a track file name.
    std::string table_line(const std::string& name) { return music + "\\" + name + ".wav\r\n"; }

    // fault_call: the call of the rewriting (file or registry, from 1) that is made to fail.
    rewrite_outcome rewrite(const std::string& input, int system, long fault_call = 0) {
        write_file(dir / "in.ini", input);
        FILE* in = open_file((dir / "in.ini").c_str(), "rt");
        FILE* out = open_file((dir / "out.ini").c_str(), "wt");
        FILE* table = open_file((dir / "table.ini").c_str(), "wt");
        EXPECT_TRUE(in && out && table);
        rewrite_outcome r;
        testing::internal::CaptureStderr();
        fault_arm(fault_call, FAULT_FAIL);
        r.result = rewrite_gameexe(in, out, table, system);
        fault_arm(0, FAULT_FAIL);
        r.boxes = testing::internal::GetCapturedStderr();
        fclose(in);
        fclose(out);
        fclose(table);
        r.ini = read_file(dir / "out.ini");
        r.table = read_file(dir / "table.ini");
        return r;
    }

    // For inputs in which no rule fits: the output must be the input, byte for byte.
    void expect_unchanged(const std::string& body, int system) {
        rewrite_outcome r = rewrite(REGNAME_LINE + body, system);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.ini, REGNAME_LINE + body);
        EXPECT_EQ(r.table, "");
    }
};

TEST_F(Rewrite, AVG32SettingsRules) {
    rewrite_outcome r = rewrite(REGNAME_LINE +
                                    "#MUSIC_TYPE = 001\r\n"
                                    "#KOE_DOUBLE_PAC=7 ; doubled\r\n"
                                    "#MUSIC_TYPE   =   -2\r\n"
                                    "#BGM_MODE = 0\r\n"
                                    "#SYSCOM.011 = N : \"menu\"\r\n"
                                    "#CDDA_BGM_SETUP_NEED = 1\r\n"
                                    " #MUSIC_TYPE = 001\r\n"
                                    "#MUSIC_TYPE = \r\n",
                                AVG32);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, REGNAME_LINE +
                         "#MUSIC_TYPE = 003\r\n"
                         "#KOE_DOUBLE_PAC = 000\r\n"
                         "#MUSIC_TYPE = 003\r\n"
                         "#BGM_MODE = 0\r\n"
                         "#SYSCOM.011 = N : \"menu\"\r\n"
                         "#CDDA_BGM_SETUP_NEED = 1\r\n"
                         " #MUSIC_TYPE = 001\r\n"
                         "#MUSIC_TYPE = \r\n");
    EXPECT_EQ(r.boxes, "");
}

TEST_F(Rewrite, RealLiveSettingsRules) {
    rewrite_outcome r = rewrite(REGNAME_LINE +
                                    "#BGM_MODE = 0\r\n"
                                    "#BGM_MODE=2\r\n"
                                    "#BGM_MODE  =  0 // file\r\n"
                                    "#SYSCOM.011 = N : \"\x83\x81\x83\x6a\x83\x85\x81\x5b\"\r\n"
                                    "#SYSCOM.011=N:\"x\"\r\n"
                                    "#SYSCOM.011 = U : \"kept\"\r\n"
                                    "#SYSCOM.011 = N : \"\"\r\n"
                                    "#CDDA_BGM_SETUP_NEED = 1\r\n"
                                    "#CDDA_KOE_SETUP_NEED=000 tail\r\n"
                                    "#CDDA_SE_SETUP_NEED = 1\r\n"
                                    "#CDDA_VOICE_SETUP_NEED = 1\r\n"
                                    "#MUSIC_TYPE = 001\r\n"
                                    "#KOE_DOUBLE_PAC = 1\r\n"
                                    "\t#BGM_MODE = 0\r\n",
                                REALLIVE);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, REGNAME_LINE +
                         "#BGM_MODE = 1\r\n"
                         "#BGM_MODE = 1\r\n"
                         "#BGM_MODE = 1\r\n"
                         "#SYSCOM.011 = U:\"\x83\x81\x83\x6a\x83\x85\x81\x5b\"\r\n"
                         "#SYSCOM.011 = U:\"x\"\r\n"
                         "#SYSCOM.011 = U : \"kept\"\r\n"
                         "#SYSCOM.011 = N : \"\"\r\n"
                         "#CDDA_BGM_SETUP_NEED = 0\r\n"
                         "#CDDA_KOE_SETUP_NEED = 0\r\n"
                         "#CDDA_SE_SETUP_NEED = 1\r\n"
                         "#CDDA_VOICE_SETUP_NEED = 1\r\n"
                         "#MUSIC_TYPE = 001\r\n"
                         "#KOE_DOUBLE_PAC = 1\r\n"
                         "\t#BGM_MODE = 0\r\n");
}

TEST_F(Rewrite, SyscomTextWithoutClosingQuoteRunsToTheLineEnd) {
    rewrite_outcome r = rewrite(REGNAME_LINE + "#SYSCOM.011 = N : \"open\r\nnext\r\n", REALLIVE);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#SYSCOM.011 = U:\"open\r\n\"\r\nnext\r\n");
}

TEST_F(Rewrite, SyscomTextOfMoreThan255BytesIsCopiedUnchanged) {
    std::string fits = "#SYSCOM.011 = N : \"" + std::string(255, 't') + "\"\r\n";
    rewrite_outcome r = rewrite(REGNAME_LINE + fits, REALLIVE);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#SYSCOM.011 = U:\"" + std::string(255, 't') + "\"\r\n");
    expect_unchanged("#SYSCOM.011 = N : \"" + std::string(256, 't') + "\"\r\n", REALLIVE);
}

TEST_F(Rewrite, LinesNoRuleFitsPassByteForByte) {
    std::string body = "; comment\r\n"
                       "\r\n"
                       "#SEEN_START = 0001\r\n"
                       "#CAPTION = \"\x83\x65\x83\x58\x83\x67\"\r\n"
                       "#DSTRACK = 0 - 1 - 2 = \"only_one\"\r\n"
                       "#DSTRACK = 0 - 99999999 - 0 = \"\" = \"empty\"\r\n"
                       "#DSTRACK = x - 99999999 - 0 = \"f\" = \"n\"\r\n"
                       "#DSTRACK = 99999999999 - 99999999 - 0 = \"f\" = \"n\"\r\n"
                       "#DSTRACK = 0 - 99999999 - 0 = \"" + std::string(64, 'f') + "\" = \"n\"\r\n"
                       "#DSTRACK = 0 - 99999999 - 0 = \"f\" = \"" + std::string(64, 'n') + "\"\r\n"
                       "  #DSTRACK = 0 - 99999999 - 0 = \"f\" = \"n\"\r\n"
                       "lone\rcarriage return\r\n";
    body += std::string("nul\0byte\r\n", 10);
    body += "\xff\xfe high bytes\r\n";
    expect_unchanged(body, AVG32);
    expect_unchanged(body, REALLIVE);
}

TEST_F(Rewrite, ALineLongerThanTheBufferPassesWhole) {
    std::string body = "#CAPTION = \"" + std::string(3000, 'x') + "\"\r\n#NEXT = 1\r\n";
    expect_unchanged(body, REALLIVE);
}

TEST_F(Rewrite, LastLineWithoutLineEndStaysWithout) {
    expect_unchanged("#SEEN_START = 0001", AVG32);
    rewrite_outcome r = rewrite(REGNAME_LINE + "#MUSIC_TYPE = 1", AVG32);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#MUSIC_TYPE = 003\r\n");
}

TEST_F(Rewrite, TextEndsAtAnEndOfFileByte) {
    rewrite_outcome r = rewrite(REGNAME_LINE + "#A = 1\r\n\x1a#B = 2\r\n", AVG32);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#A = 1\r\n");
}

TEST_F(Rewrite, AVG32EntriesBecomeCDTrackLinesInTheirPlaces) {
    music_file("bgm01.wav", pcm_wav(44100, 2, 10584000));
    music_file("bgm02.wav", pcm_wav(22050, 1, 0));
    music_file("bgm02.nwa", "never looked at");
    rewrite_outcome r = rewrite(REGNAME_LINE +
                                    "#DSTRACK = 00000000 - 99999999 - 00000000 = \"bgm01\" = \"first\"\r\n"
                                    "#MUSIC_TYPE = 0\r\n"
                                    "#DSTRACK=176400-352800-264600=\"bgm01\"=\"again\" tail\r\n"
                                    "#DSTRACK = 0 - 99999999 - 0 = \"bgm02\" = \"\x8b\xc8\"\r\n",
                                AVG32);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, REGNAME_LINE +
                         "#CDTRACK = 02:00:00:00 - 02:01:00:00 - 02:00:00:00 = \"first\"\r\n"
                         "#MUSIC_TYPE = 003\r\n"
                         "#CDTRACK = 03:00:01:00 - 03:00:02:00 - 03:00:01:37 = \"again\"\r\n"
                         "#CDTRACK = 04:00:00:00 - 04:00:00:00 - 04:00:00:00 = \"\x8b\xc8\"\r\n");
    EXPECT_EQ(r.table, table_line("bgm01") + table_line("bgm01") + table_line("bgm02"));
    EXPECT_EQ(r.boxes, "");
}

TEST_F(Rewrite, TrackNumbersCountOnlyEntriesThatFit) {
    std::string input = REGNAME_LINE, expected = REGNAME_LINE, table;
    music_file("t.wav", pcm_wav(44100, 2, 0));
    for (int i = 0; i < 10; ++i) {
        input += "#DSTRACK = 0 - 99999999 - 0 = \"\" = \"skipped\"\r\n";
        input += "#DSTRACK = 0 - 88200 - 0 = \"t\" = \"n\"\r\n";
        expected += "#DSTRACK = 0 - 99999999 - 0 = \"\" = \"skipped\"\r\n";
        char line[80];
        snprintf(line, sizeof line, "#CDTRACK = %02d:00:00:00 - %02d:00:00:37 - %02d:00:00:00 = \"n\"\r\n", i + 2,
                 i + 2, i + 2);
        expected += line;
        table += table_line("t");
    }
    rewrite_outcome r = rewrite(input, AVG32);
    EXPECT_EQ(r.ini, expected);
    EXPECT_NE(r.ini.find("#CDTRACK = 11:"), std::string::npos) << "the tenth entry is track 11";
    EXPECT_EQ(r.table, table);
}

TEST_F(Rewrite, RealLiveEntriesKeepTheirLineAndGainACDTrackLine) {
    music_file("intro.nwa", nwa_of_frames(44100, 2, 441000));
    music_file("loop.wav", pcm_wav(48000, 2, 48000 * 4 * 90));
    rewrite_outcome r = rewrite(REGNAME_LINE +
                                    "#DSTRACK = 00000000 - 99999999 - 00000000 = \"missing\" = \"WHOLE\"\r\n"
                                    "#DSTRACK = 00044100 - 99999999 - 00088200 = \"intro\" = \"INTRO\"\r\n"
                                    "#DSTRACK = 0 - 2880000 - 1440000 = \"loop\" = \"LOOP\"\r\n",
                                REALLIVE);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, REGNAME_LINE +
                         "#DSTRACK = 00000000 - 99999999 - 00000000 = \"missing\" = \"WHOLE\"\r\n"
                         "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"WHOLE\"\r\n"
                         "#DSTRACK = 00044100 - 99999999 - 00088200 = \"intro\" = \"INTRO\"\r\n"
                         "#CDTRACK = 03:00:01:00 - 00:00:00:00 - 03:00:02:00 = \"INTRO\"\r\n"
                         "#DSTRACK = 0 - 2880000 - 1440000 = \"loop\" = \"LOOP\"\r\n"
                         "#CDTRACK = 04:00:00:00 - 04:01:00:00 - 04:00:30:00 = \"LOOP\"\r\n");
    EXPECT_EQ(r.table, table_line("missing") + table_line("intro") + table_line("loop"));
    EXPECT_EQ(r.boxes, "") << "the whole-track entry looks for no file";
}

TEST_F(Rewrite, ATrackNameWithoutClosingQuoteRunsToTheLineEnd) {
    rewrite_outcome r = rewrite(REGNAME_LINE + "#DSTRACK = 0 - 99999999 - 0 = \"f\" = \"open\r\n", REALLIVE);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#DSTRACK = 0 - 99999999 - 0 = \"f\" = \"open\r\n"
                                    "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"open\r\n\"\r\n");
}

TEST_F(Rewrite, ARealLiveEntryOnTheLastLineGetsItsOwnLineEnd) {
    rewrite_outcome r = rewrite(REGNAME_LINE + "#DSTRACK = 0 - 99999999 - 0 = \"f\" = \"n\"", REALLIVE);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#DSTRACK = 0 - 99999999 - 0 = \"f\" = \"n\"\r\n"
                                    "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"n\"\r\n");
}

TEST_F(Rewrite, AHeaderThatIsRefusedStopsTheRewritingAtOnce) {
    wav_fields floating;
    floating.tag = 3;
    music_file("bad.wav", wav_header(floating));
    music_file("good.wav", pcm_wav(44100, 2, 0));
    rewrite_outcome r = rewrite(REGNAME_LINE +
                                    "#DSTRACK = 0 - 99999999 - 0 = \"good\" = \"a\"\r\n"
                                    "#DSTRACK = 0 - 99999999 - 0 = \"bad\" = \"b\"\r\n"
                                    "#AFTER = 1\r\n",
                                AVG32);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.table, table_line("good"));
    EXPECT_EQ(r.ini.find("#AFTER"), std::string::npos);
    EXPECT_NE(r.boxes.find(music + "\\bad.wavは無圧縮WAVE形式ではありません。"), std::string::npos) << r.boxes;
}

TEST_F(Rewrite, ATrackPathTooLongForItsBufferIsReportedAndStops) {
    // 63 characters of file name fit the line's field, but not with this folder in 255 bytes.
    std::string deep = music + "/" + std::string(200, 'd');
    make_dirs(deep);
    write_file(dir / "registry.reg", registry_with_folder("VNAUDIO_TEST\\GAME", deep));
    std::string name(63, 'f');
    rewrite_outcome r = rewrite(REGNAME_LINE + "#DSTRACK = 0 - 1 - 0 = \"" + name + "\" = \"n\"\r\n", REALLIVE);
    EXPECT_EQ(r.result, 0);
    EXPECT_NE(r.boxes.find("はパスが長すぎます。"), std::string::npos) << r.boxes;
    EXPECT_EQ(r.table, "");
}

TEST_F(Rewrite, WithoutAMusicFolderTracksLieInBGM) {
    rewrite_outcome r = rewrite("#BGM_MODE = 0\r\n#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"n\"\r\n", REALLIVE);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, "#BGM_MODE = 1\r\n#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"n\"\r\n"
                     "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"n\"\r\n");
    EXPECT_EQ(r.table, "BGM\\a.wav\r\n");
    EXPECT_NE(r.boxes.find("BGMフォルダ名の取得に失敗:\nGAMEEXE.INIに項目#REGNAMEが見つかりません。"),
              std::string::npos)
        << r.boxes;
}

TEST_F(Rewrite, LinesBeforeALateRegnameLineAreRewrittenToo) {
    rewrite_outcome r = rewrite("#BGM_MODE = 0\r\n#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"n\"\r\n" + REGNAME_LINE,
                                REALLIVE);
    EXPECT_EQ(r.ini, "#BGM_MODE = 1\r\n#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"n\"\r\n"
                     "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"n\"\r\n" + REGNAME_LINE);
    EXPECT_EQ(r.table, table_line("a"));
}

TEST_F(Rewrite, WithoutEntriesTheTrackTableStaysEmpty) {
    rewrite_outcome r = rewrite(REGNAME_LINE + "#CDTRACK = 02:00:00:00 - 02:01:00:00 - 02:00:00:00 = \"x\"\r\n",
                                AVG32);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.table, "");
    EXPECT_EQ(r.ini, REGNAME_LINE + "#CDTRACK = 02:00:00:00 - 02:01:00:00 - 02:00:00:00 = \"x\"\r\n");
}

TEST_F(Rewrite, AReadErrorWhileLookingForTheFolderCostsOnlyTheFolder) {
    // The first call is the lookup's first read: it fails, the folder is "BGM", and the second pass
    // over the file must still read it whole.
    std::string body = REGNAME_LINE + "#BGM_MODE = 0\r\n#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"n\"\r\n";
    rewrite_outcome r = rewrite(body, REALLIVE, 1);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ini, REGNAME_LINE + "#BGM_MODE = 1\r\n#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"n\"\r\n"
                                    "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"n\"\r\n");
    EXPECT_EQ(r.table, "BGM\\a.wav\r\n");
    EXPECT_NE(r.boxes.find("GAMEEXE.INIに項目#REGNAMEが見つかりません。"), std::string::npos) << r.boxes;
}

TEST_F(Rewrite, AFailedReadOrWriteInTheCopyStopsTheRunInsteadOfCuttingTheFile) {
    std::string body = REGNAME_LINE;
    while (body.size() < 400000) body += "; a long file, read and written in several pieces\r\n";
    int reads = 0, writes = 0;
    for (long call = 2; call < 30; ++call) {
        rewrite_outcome r = rewrite(body, AVG32, call);
        if (r.result == 1) {
            EXPECT_EQ(r.ini.size(), body.size()) << "call " << call;
            continue;
        }
        bool read = r.boxes.find("オリジナルのGAMEEXE.INIの読み込みに失敗しました: ") != std::string::npos;
        bool write = r.boxes.find("GAMEEXE.INIの書き込みに失敗しました: ") != std::string::npos;
        EXPECT_TRUE(read != write) << r.boxes;
        reads += read;
        writes += write;
    }
    EXPECT_GT(reads, 0);
    EXPECT_GT(writes, 0);
}

}  // namespace
