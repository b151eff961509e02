// tormel run end to end on temporary game folders: both engines, engine detection, backups,
// questions answered on standard input, and roll-back under injected faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "tests/configurator_support.h"
#include "tests/support/support.h"

namespace {

const std::string SUCCESS = "tormel.exe: 成功しました。\n";
const std::string OFFER = "tormel.exe: GAMEEXE.INIは変換済みです。\n"
                          "ゲームの元のGAMEEXE.INI(GAMEEXE.org)と_inmm.iniに戻しますか?\n"
                          "今のGAMEEXE.INIと_inmm.iniはバックアップとして残します。\n[y]es, [n]o? ";
const std::string SJIS_TITLE = "\x83\x65\x83\x58\x83\x67\x83\x51\x81\x5b\x83\x80";  // テストゲーム
const std::string SJIS_SOFT = "\x83\x5c\x83\x74\x83\x67";                          // ソフト (trail byte 0x5C)
constexpr int WHOLE = 99999999;

// A CD position: minutes, seconds, frames.
struct cd_time {
    int m, s, f;
};

// The position of t at rate; every rate used here is a multiple of 75, so frames come out whole.
long long units(cd_time t, int rate) { return (t.m * 60LL + t.s) * rate + t.f * (rate / 75LL); }

std::string code(int track, cd_time t) {
    char buf[48];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d:%02d", track, t.m, t.s, t.f);
    return buf;
}

// Small deterministic generator, so a failing game can be made again.
struct lcg {
    unsigned state;
    unsigned next(unsigned n) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % n;
    }
    cd_time time(int max_minutes) { return {static_cast<int>(next(max_minutes)), static_cast<int>(next(60)), static_cast<int>(next(75))}; }
};

// A game folder with its registry store: the files before the run, and what a run must produce.
struct game_files {
    std::map<std::string, std::string> files;  // relative name -> bytes
    std::string expected_ini;
    std::string expected_table;
};

std::string settings_head(const std::string& regname) {
    return "; " + SJIS_TITLE + " GAMEEXE.INI\r\n"
           "#CAPTION = \"" + SJIS_TITLE + "\"\r\n"
           "#REGNAME = \"" + regname + "\"\r\n"
           "#SEEN_START = 0001\r\n"
           "#SEEN_MENU = 9030\r\n"
           "#WINDOW_ATTR = 000,000,000,128,000\r\n"
           "#SAVEFILETIME = 24\r\n";
}

// An AVG32 game: about forty entries over a dozen WAV files of three byte rates.
game_files avg32_game(int entries, const std::string& filler = "") {
    game_files g;
    lcg rnd{7};
    const int byte_rates[3] = {176400, 88200, 44100};
    g.files["AVG3216M.EXE"] = "MZ";
    std::string in = settings_head("AVG32TEST\\" + SJIS_SOFT), out = in;
    in += "#MUSIC_TYPE = 000\r\n#KOE_DOUBLE_PAC = 001\r\n#BGM_MODE = 0\r\n#CDDA_BGM_SETUP_NEED = 1\r\n";
    out += "#MUSIC_TYPE = 003\r\n#KOE_DOUBLE_PAC = 000\r\n#BGM_MODE = 0\r\n#CDDA_BGM_SETUP_NEED = 1\r\n";
    in += filler;
    out += filler;
    std::vector<cd_time> lengths;
    for (int file = 0; file < 12; ++file) {
        cd_time length = rnd.time(9);
        lengths.push_back(length);
        char name[32];
        snprintf(name, sizeof name, "BGM/bgm%02d.wav", file + 1);
        int rate = byte_rates[file % 3];
        int channels = rate == 44100 ? 1 : 2;
        g.files[name] = pcm_wav(static_cast<unsigned>(rate / 2 / channels), static_cast<unsigned>(channels),
                                static_cast<uint32_t>(units(length, rate)));
    }
    for (int i = 0; i < entries; ++i) {
        int track = i + 2, file = static_cast<int>(rnd.next(12));
        int rate = byte_rates[file % 3];
        cd_time start = rnd.next(3) ? cd_time{0, 0, 0} : rnd.time(2), third = rnd.time(5);
        bool whole = rnd.next(2);
        cd_time end = whole ? lengths[file] : rnd.time(9);
        char entry[200];
        snprintf(entry, sizeof entry, "#DSTRACK = %08lld - %08lld - %08lld = \"BGM%02d\"  = \"%s%02d\"\r\n",
                 units(start, rate), whole ? WHOLE : units(end, rate), units(third, rate), file + 1,
                 i % 4 ? "track" : SJIS_SOFT.c_str(), i);
        in += entry;
        char name[40];
        snprintf(name, sizeof name, "%s%02d", i % 4 ? "track" : SJIS_SOFT.c_str(), i);
        out += "#CDTRACK = " + code(track, start) + " - " + code(track, end) + " - " + code(track, third) +
               " = \"" + name + "\"\r\n";
        char table[40];
        snprintf(table, sizeof table, "BGM\\BGM%02d.wav\r\n", file + 1);
        g.expected_table += table;
        if (i % 10 == 9) {
            in += "\r\n; " + SJIS_TITLE + "\r\n";
            out += "\r\n; " + SJIS_TITLE + "\r\n";
        }
    }
    in += "#SYSCOM.011 = N : \"" + SJIS_TITLE + "\"\r\n#END";
    out += "#SYSCOM.011 = N : \"" + SJIS_TITLE + "\"\r\n#END";
    g.files["GAMEEXE.INI"] = in;
    g.expected_ini = out;
    return g;
}

// A RealLive game: NWA and WAV tracks at three sample rates, whole-track entries without files,
// and (with decoy_wavs) tracks with both an NWA and a different WAV file.
game_files reallive_game(int entries, const std::string& filler = "", bool decoy_wavs = true) {
    game_files g;
    lcg rnd{11};
    const int rates[3] = {44100, 22050, 48000};
    g.files["REALLIVE.EXE"] = "MZ";
    std::string in = settings_head("RLTEST\\" + SJIS_TITLE), out = in;
    in += "#MUSIC_TYPE = 000\r\n#BGM_MODE = 0\r\n#SYSCOM.011 = N : \"" + SJIS_SOFT + "\"\r\n"
          "#CDDA_BGM_SETUP_NEED = 1\r\n#CDDA_KOE_SETUP_NEED = 1\r\n";
    out += "#MUSIC_TYPE = 000\r\n#BGM_MODE = 1\r\n#SYSCOM.011 = U:\"" + SJIS_SOFT + "\"\r\n"
           "#CDDA_BGM_SETUP_NEED = 0\r\n#CDDA_KOE_SETUP_NEED = 0\r\n";
    in += filler;
    out += filler;
    for (int i = 0; i < entries; ++i) {
        int track = i + 2;
        char name[32], entry[200];
        snprintf(name, sizeof name, "BGM%03d", i);
        std::string line;
        std::string cd;
        if (i % 5 == 0) {
            snprintf(entry, sizeof entry, "#DSTRACK = 00000000 - 99999999 - 00000000 = \"%s\" = \"%s\"\r\n", name, name);
            line = entry;
            cd = code(track, {0, 0, 0}) + " - 00:00:00:00 - 00:00:00:00";
        } else {
            int rate = rates[i % 3];
            unsigned channels = 1 + i % 2;
            cd_time start = rnd.time(2), third = rnd.time(4), end = rnd.time(8);
            bool to_end = i % 5 == 1;
            std::string file = "BGM/bgm" + std::string(name + 3);
            if (i % 4 == 0) {
                g.files[file + ".wav"] = pcm_wav(static_cast<unsigned>(rate), channels, 4000000);
            } else {
                g.files[file + ".nwa"] = nwa_of_frames(static_cast<unsigned>(rate), channels, 1000000);
                // Beside a valid NWA the WAV is never read: its other rate would show in the codes.
                if (decoy_wavs && i % 3 == 1) g.files[file + ".wav"] = pcm_wav(11025, 1, 1000);
            }
            snprintf(entry, sizeof entry, "#DSTRACK=%lld-%lld-%lld=\"%s\"=\"%s%s\"\r\n", units(start, rate),
                     to_end ? WHOLE : units(end, rate), units(third, rate), name, SJIS_SOFT.c_str(), name);
            line = entry;
            cd = code(track, start) + " - " + (to_end ? "00:00:00:00" : code(track, end)) + " - " + code(track, third);
            cd += " = \"" + SJIS_SOFT + name + "\"";
            in += line;
            out += line + "#CDTRACK = " + cd + "\r\n";
            g.expected_table += "BGM\\" + std::string(name) + ".wav\r\n";
            continue;
        }
        in += line;
        out += line + "#CDTRACK = " + cd + " = \"" + name + "\"\r\n";
        g.expected_table += "BGM\\" + std::string(name) + ".wav\r\n";
    }
    g.files["GAMEEXE.INI"] = in;
    g.expected_ini = out;
    return g;
}

// "" when the two texts are equal, else where they part (whole outputs are too long to print).
std::string difference(const std::string& got, const std::string& want) {
    if (got == want) return "";
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    size_t from = at < 40 ? 0 : at - 40;
    return "differs at byte " + std::to_string(at) + " of " + std::to_string(got.size()) + " (want " +
           std::to_string(want.size()) + "):\n got  ..." + got.substr(from, 100) + "\n want ..." +
           want.substr(from, 100);
}

class Tormel : public ::testing::Test {
public:
    temp_dir dir;
    std::string game;

    void SetUp() override {
        game = dir / "game";
        make_dirs(game + "/BGM");
        write_registry("BGM");
    }

    void write_registry(const std::string& folder) {
        write_file(dir / "registry.reg", registry_with_folder("AVG32TEST\\" + SJIS_SOFT, folder) + "\r\n" +
                                             registry_with_folder("RLTEST\\" + SJIS_TITLE, folder).substr(10));
    }

    void lay_out(const game_files& g) {
        for (const auto& [name, bytes] : g.files) {
            if (name.find('/') != std::string::npos) make_dirs(game + "/" + name.substr(0, name.rfind('/')));
            write_file(game + "/" + name, bytes);
        }
    }

    run_result run(const std::vector<std::string>& args = {}, const std::string& answers = "",
                   std::vector<std::string> env = {}) {
        env.push_back("VNAUDIO_REGISTRY=" + (dir / "registry.reg"));
        return run_program(bin_path("tormel"), args, game, answers, env);
    }

    std::string file(const std::string& name) { return read_file(game + "/" + name); }
    std::map<std::string, std::string> folder() { return snapshot(game); }
};

TEST_F(Tormel, AVG32GameSucceeds) {
    game_files g = avg32_game(40);
    lay_out(g);
    auto before = folder();
    run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, SUCCESS);
    EXPECT_EQ(difference(file("GAMEEXE.INI"), g.expected_ini), "");
    EXPECT_EQ(difference(file("_inmm.ini"), g.expected_table), "");
    EXPECT_EQ(file("GAMEEXE.org"), g.files["GAMEEXE.INI"]);
    auto after = folder();
    EXPECT_EQ(after.size(), before.size() + 2) << "only GAMEEXE.org and _inmm.ini are new";
    for (const auto& [name, bytes] : before)
        if (name != "GAMEEXE.INI") {
            EXPECT_EQ(after[name], bytes) << name;
        }
}

TEST_F(Tormel, RealLiveGameSucceedsAndMovesAnOldTrackTableAside) {
    game_files g = reallive_game(45);
    lay_out(g);
    write_file(game + "/_inmm.ini", "old table\r\n");
    run_result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, SUCCESS);
    EXPECT_EQ(difference(file("GAMEEXE.INI"), g.expected_ini), "");
    EXPECT_EQ(difference(file("_inmm.ini"), g.expected_table), "");
    EXPECT_EQ(file("GAMEEXE.org"), g.files["GAMEEXE.INI"]);
    EXPECT_EQ(file("_inmm.org"), "old table\r\n");
}

TEST_F(Tormel, AnEntrysOwnCdTrackLineIsNotWrittenTwice) {
    const std::string head = "#REGNAME = \"RLTEST\\" + SJIS_TITLE + "\"\r\n";
    const std::string entry = "#DSTRACK = 0 - 99999999 - 0 = \"A\" = \"a\"\r\n";
    const std::string cd = "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"a\"\r\n";
    const std::string other = "#CDTRACK = 09:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"a\"\r\n";
    write_file(game + "/GAMEEXE.INI", head + entry + "; x\r\n" + entry + other);
    write_file(game + "/REALLIVE.EXE", "MZ");
    ASSERT_EQ(run().status, 0);
    EXPECT_EQ(file("GAMEEXE.INI"), head + entry + cd + "; x\r\n" + entry +
                                       "#CDTRACK = 03:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"a\"\r\n" + other)
        << "only the entry's very own line counts";
}

// A converted game run again: the question, and the game's own files back on Yes, as often as
// the player goes back and forth (the backups then hold earlier runs' files too).
TEST_F(Tormel, RunningAgainOffersTheGamesOwnFilesBack) {
    struct {
        bool reallive;
        std::string own_table;  // the game's own _inmm.ini, "" for none
    } cases[] = {{false, ""}, {true, ""}, {false, "[game]\r\ntrack=1\r\n"}, {true, "[game]\r\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.reallive ? "RealLive" : "AVG32") + (c.own_table.empty() ? "" : ", own table"));
        temp_dir fresh;
        game = fresh.path;
        game_files g = c.reallive ? reallive_game(5) : avg32_game(5);
        lay_out(g);
        if (!c.own_table.empty()) write_file(game + "/_inmm.ini", c.own_table);
        ASSERT_EQ(run().status, 0);
        auto converted = folder();
        run_result no = run({}, "no\n");
        EXPECT_EQ(no.status, 1);
        EXPECT_EQ(no.err, OFFER);
        EXPECT_TRUE(folder() == converted) << "No changed the folder";
        for (int cycle = 0; cycle < 2; ++cycle) {
            run_result yes = run({}, "yes\n");
            EXPECT_EQ(yes.status, 0);
            EXPECT_EQ(yes.err, OFFER + "tormel.exe: ゲームの元のGAMEEXE.INIと_inmm.iniに戻しました。\n");
            EXPECT_EQ(file("GAMEEXE.INI"), g.files["GAMEEXE.INI"]);
            if (c.own_table.empty())
                EXPECT_FALSE(exists(game + "/_inmm.ini"));
            else
                EXPECT_EQ(file("_inmm.ini"), c.own_table);
            EXPECT_EQ(file("GAMEEXE.org"), g.files["GAMEEXE.INI"]);
            std::string n = std::to_string(1 + 2 * cycle);
            EXPECT_EQ(difference(file("GAMEEXE.org" + n), g.expected_ini), "");
            std::string table_backup = !c.own_table.empty() ? "_inmm.org" + n : cycle ? "_inmm.org1" : "_inmm.org";
            EXPECT_EQ(difference(file(table_backup), g.expected_table), "") << table_backup;
            for (const auto& [name, bytes] : folder()) EXPECT_EQ(name.find(".new"), std::string::npos) << name;
            ASSERT_EQ(run().status, 0) << "converting again";
            EXPECT_EQ(difference(file("GAMEEXE.INI"), g.expected_ini), "");
            EXPECT_EQ(difference(file("_inmm.ini"), g.expected_table), "");
        }
    }
}

TEST_F(Tormel, MissingGameexeNamesItsBackup) {
    write_file(game + "/GAMEEXE.org", "#REGNAME = \"x\"\r\n");
    auto before = folder();
    run_result r = run({"--avg32"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tormel.exe: GAMEEXE.INIがありません。ゲームのGAMEEXE.INIはGAMEEXE.orgに残っています。\n"
                     "GAMEEXE.orgの名前をGAMEEXE.INIに戻してから実行してください。\n");
    EXPECT_TRUE(folder() == before);
}

TEST_F(Tormel, RepeatedRunsNumberTheirBackups) {
    game_files g = reallive_game(5);
    lay_out(g);
    write_file(game + "/GAMEEXE.org", "someone else's backup");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(run().status, 0) << i;
    EXPECT_EQ(file("GAMEEXE.org"), "someone else's backup");
    EXPECT_EQ(file("GAMEEXE.org1"), g.files["GAMEEXE.INI"]);
    EXPECT_EQ(difference(file("GAMEEXE.org2"), g.expected_ini), "");
    EXPECT_EQ(difference(file("GAMEEXE.org3"), g.expected_ini), "");
    EXPECT_EQ(difference(file("GAMEEXE.INI"), g.expected_ini), "");
    EXPECT_EQ(file("_inmm.org"), g.expected_table);
    EXPECT_EQ(file("_inmm.org1"), g.expected_table);
    EXPECT_EQ(file("_inmm.ini"), g.expected_table);
    EXPECT_FALSE(exists(game + "/_inmm.org2"));
    for (const auto& [name, bytes] : folder()) EXPECT_EQ(name.find(".new"), std::string::npos) << name;
}

// Which rules a run applied: AVG32 rewrites #MUSIC_TYPE, RealLive #BGM_MODE.
#define PROBE_ENTRY "#DSTRACK = 0 - 99999999 - 0 = \"P\" = \"p\"\r\n"
const char* const PROBE_INI = "#MUSIC_TYPE = 0\r\n#BGM_MODE = 0\r\n" PROBE_ENTRY;
const char* const AS_AVG32 = "#MUSIC_TYPE = 003\r\n#BGM_MODE = 0\r\n#CDTRACK = 02:00:00:00 - 02:00:00:00 - 02:00:00:00 = \"p\"\r\n";
const char* const AS_REALLIVE = "#MUSIC_TYPE = 0\r\n#BGM_MODE = 1\r\n" PROBE_ENTRY
                                "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"p\"\r\n";

TEST_F(Tormel, OptionsOutrankExecutablesAndRealLiveOutranksAVG32) {
    struct detection {
        std::vector<std::string> executables, args;
        const char* expected;
    };
    const detection cases[] = {
        {{"REALLIVE.EXE"}, {"--avg32"}, AS_AVG32},
        {{}, {"--reallive", "--avg32"}, AS_REALLIVE},
        {{}, {"--avg32", "--reallive"}, AS_AVG32},
        {{"REALLIVE.EXE", "AVG3217D.EXE"}, {}, AS_REALLIVE},
        {{"AVG3217D.EXE"}, {"x", "--AVG32", "--avg32 ", "-avg32", "--reallive2"}, AS_AVG32},
        {{"avg3216d.exe"}, {}, AS_AVG32},
        {{"Reallive.exe", "AVG3216M.EXE"}, {"--Reallive"}, AS_REALLIVE},
    };
    for (const detection& d : cases) {
        temp_dir fresh;
        game = fresh.path;
        for (const auto& exe : d.executables) write_file(game + "/" + exe, "MZ");
        write_file(game + "/GAMEEXE.INI", PROBE_INI);
        make_dirs(game + "/BGM");
        write_file(game + "/BGM/P.wav", pcm_wav(44100, 2, 0));
        run_result r = run(d.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(file("GAMEEXE.INI"), d.expected) << d.args.size() << " arguments";
    }
}

TEST_F(Tormel, UnknownEngineOrNoGameexeChangesNothing) {
    const std::string no_system = "tormel.exe: システムを特定できません。\nAVG321XX.EXEかREALLIVE.EXEのあるフォルダで実行するか、"
                                  "--avg32 または --reallive オプションをつけて実行してください。\n";
    write_file(game + "/GAMEEXE.INI", PROBE_INI);
    write_file(game + "/AVG32.EXE", "MZ");
    auto before = folder();
    run_result r = run({"--avg", "--AVG32"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, no_system);
    EXPECT_EQ(folder(), before);

    remove((game + "/GAMEEXE.INI").c_str());
    write_file(game + "/REALLIVE.EXE", "MZ");
    before = folder();
    r = run({"--reallive"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tormel.exe: GAMEEXE.INIがあるフォルダで実行してください。\n");
    EXPECT_EQ(folder(), before);
}

TEST_F(Tormel, AFailedTrackPutsEveryFileBack) {
    game_files g = reallive_game(12);
    wav_fields floating;
    floating.tag = 3;
    g.files["BGM/bgm011.nwa"] = "too short";
    g.files["BGM/bgm011.wav"] = wav_header(floating);
    lay_out(g);
    for (bool old_table : {true, false}) {
        if (old_table) write_file(game + "/_inmm.ini", "old table\r\n");
        else remove((game + "/_inmm.ini").c_str());
        auto before = folder();
        run_result r = run();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "tormel.exe: BGM\\BGM011.nwaは不正な、または未対応の形式のnwaファイルです。\n"
                         "tormel.exe: BGM\\BGM011.wavは無圧縮WAVE形式ではありません。\n");
        EXPECT_EQ(folder(), before);
    }
}

TEST_F(Tormel, AMissingTrackFileIsAskedAboutUntilAbort) {
    write_file(game + "/GAMEEXE.INI", "#REGNAME = \"AVG32TEST\\" + SJIS_SOFT + "\"\r\n"
                                      "#DSTRACK = 0 - 99999999 - 0 = \"CD\" = \"a\"\r\n"
                                      "#DSTRACK = 0 - 99999999 - 0 = \"GONE\" = \"b\"\r\n");
    write_file(game + "/BGM/CD.wav", pcm_wav(44100, 2, 0));
    write_file(game + "/_inmm.ini", "old\r\n");
    auto before = folder();
    run_result r = run({"--avg32"}, "retry\nabort\n");
    EXPECT_EQ(r.status, 1);
    const std::string question = "tormel.exe: BGM\\GONE.wavのオープンに失敗しました。\n[a]bort, [r]etry, [i]gnore? ";
    EXPECT_EQ(r.err, question + question);
    EXPECT_EQ(folder(), before);
}

TEST_F(Tormel, IgnoringMissingTracksGivesSixtySecondsAtTheCarriedRate) {
    write_file(game + "/GAMEEXE.INI", "#REGNAME = \"AVG32TEST\\" + SJIS_SOFT + "\"\r\n"
                                      "#DSTRACK = 0 - 99999999 - 0 = \"GONE\" = \"a\"\r\n"
                                      "#DSTRACK = 0 - 99999999 - 0 = \"CD\" = \"b\"\r\n"
                                      "#DSTRACK = 0 - 99999999 - 176400 = \"GONE\" = \"c\"\r\n");
    write_file(game + "/BGM/CD.wav", pcm_wav(44100, 2, 176400 * 2));
    run_result r = run({"--avg32"}, "ignore\nignore\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file("GAMEEXE.INI"), "#REGNAME = \"AVG32TEST\\" + SJIS_SOFT + "\"\r\n"
                                   "#CDTRACK = 02:00:00:00 - 02:01:00:00 - 02:00:00:00 = \"a\"\r\n"
                                   "#CDTRACK = 03:00:00:00 - 03:00:02:00 - 03:00:00:00 = \"b\"\r\n"
                                   "#CDTRACK = 04:00:00:00 - 04:01:00:00 - 04:00:01:00 = \"c\"\r\n");
    EXPECT_EQ(file("_inmm.ini"), "BGM\\GONE.wav\r\nBGM\\CD.wav\r\nBGM\\GONE.wav\r\n");
}

TEST_F(Tormel, WithoutMusicFolderValueTheTracksAreInBGM) {
    struct { std::string store, err; } cases[] = {
        {"REGEDIT4\r\n", "tormel.exe: BGMフォルダ名の取得に失敗:\nレジストリ HKEY_CURRENT_USER\\Software\\RLTEST を開けません。\n"},
        {registry_with_folder("RLTEST", ""), ""},
    };
    for (const auto& c : cases) {
        write_file(dir / "registry.reg", c.store);
        write_file(game + "/GAMEEXE.INI", "#REGNAME = \"RLTEST\"\r\n#DSTRACK = 0 - 99999999 - 0 = \"A\" = \"a\"\r\n");
        remove((game + "/_inmm.ini").c_str());
        run_result r = run({"--reallive"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err + SUCCESS);
        EXPECT_EQ(file("_inmm.ini"), "BGM\\A.wav\r\n") << "not a path from the drive's root";
    }
}

TEST_F(Tormel, AGameexeLargerThanAnyRealOneIsRefusedUntouched) {
    game_files g = avg32_game(3);
    std::string line = "; " + std::string(1000, 'x') + "\r\n";
    std::string big = g.files["GAMEEXE.INI"];
    while (big.size() <= (16u << 20) + line.size()) big += line;
    g.files["GAMEEXE.INI"] = big;
    lay_out(g);
    auto before = folder();
    run_result r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tormel.exe: GAMEEXE.INIが16MiBを超えていて、設定ファイルとは思えません。変更はしていません。\n"
                     "GAMEEXE.INIをゲームの元のファイルに戻してから実行してください。\n");
    EXPECT_TRUE(folder() == before);
}

// Going back under faults: every failed step leaves the converted game as it was.
TEST_F(Tormel, TheWayBackUnderFaultsIsWholeOrNothing) {
    // A decoy WAV would rightly be read when opening its NWA fails; the run then converts again.
    game_files g = reallive_game(5, "", false);
    const std::string own_table = "[game]\r\n";
    const std::string log = dir / "fault.log";
    long runs = 0;
    for (long n = 1; n < 1000; ++n) {
        temp_dir fresh;
        game = fresh.path;
        lay_out(g);
        write_file(game + "/_inmm.ini", own_table);
        ASSERT_EQ(run().status, 0);
        auto before = folder();
        remove(log.c_str());
        run_result r = run({}, "yes\n", {"VNAUDIO_FAULT=" + std::to_string(n), "VNAUDIO_FAULT_LOG=" + log});
        bool fired = read_file(log).find("fired=1") != std::string::npos;
        SCOPED_TRACE("call " + std::to_string(n) + ": " + r.err);
        ++runs;
        if (r.status == 0) {
            EXPECT_EQ(file("GAMEEXE.INI"), g.files["GAMEEXE.INI"]);
            EXPECT_EQ(file("_inmm.ini"), own_table);
        } else {
            EXPECT_TRUE(folder() == before) << "the folder changed";
            EXPECT_TRUE(fired) << "failed without a fault";
        }
        if (!fired || testing::Test::HasFailure()) break;
    }
    EXPECT_GT(runs, 10);
}

// Two runs in one game: the second says the first is busy there and touches nothing; the first,
// held at a question meanwhile, then finishes.
TEST_F(Tormel, ASecondRunAtOnceSaysTheFirstIsBusy) {
    write_file(game + "/GAMEEXE.INI", "#DSTRACK = 0 - 99999999 - 0 = \"NONE\" = \"n\"\r\n");
    const std::string first_err = dir / "first.err";
    int answers[2];
    ASSERT_EQ(pipe(answers), 0);
    pid_t first = fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        dup2(answers[0], 0);
        close(answers[1]);
        int err = open(first_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        if (chdir(game.c_str()) != 0) _exit(126);
        setenv("VNAUDIO_REGISTRY", (dir / "registry.reg").c_str(), 1);
        std::string program = bin_path("tormel");
        execl(program.c_str(), program.c_str(), "--avg32", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(answers[0]);
    // The first run asks about the missing track with the folder held.
    for (int i = 0; i < 2000 && read_file(first_err).find("[a]bort") == std::string::npos; ++i) usleep(10000);
    ASSERT_NE(read_file(first_err).find("[a]bort"), std::string::npos) << "the first run never asked";

    auto before = folder();
    run_result second = run({"--avg32"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "tormel.exe: このフォルダでは、ほかのtormelが実行中です。\n"
                          "そちらが終わってから、もう一度実行してください。\n");
    EXPECT_TRUE(folder() == before);

    ASSERT_EQ(write(answers[1], "ignore\n", 7), 7);
    close(answers[1]);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(first_err);
    EXPECT_NE(file("GAMEEXE.INI").find("#CDTRACK = 02:00:00:00 - 02:01:00:00"), std::string::npos);
    EXPECT_FALSE(exists(game + "/tormel.lock"));
    EXPECT_EQ(run({"--avg32"}, "no\n").err, OFFER) << "the folder is free again";
}

// Every file and registry call of a run made to fail in turn: afterwards the folder is as it was,
// or the run succeeded with exactly the output of a run without faults.
bool is_read_only(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

// read_only: the game's files as a copy from a CD has them, which a failed run leaves so.
void sweep_faults(Tormel* t, const game_files& g, const std::vector<std::string>& args, const char* kind,
                  bool read_only = false) {
    const std::string log = t->dir / "fault.log";
    long runs = 0;
    for (long n = 1; n < 100000; ++n) {
        temp_dir fresh;
        t->game = fresh.path;
        t->lay_out(g);
        write_file(t->game + "/_inmm.ini", "old table\r\n");
        const std::string kept[] = {t->game + "/GAMEEXE.INI", t->game + "/_inmm.ini"};
        for (const std::string& path : kept)
            if (read_only) chmod(path.c_str(), 0444);
        auto before = t->folder();
        remove(log.c_str());
        run_result r = t->run(args, "", {"VNAUDIO_FAULT=" + std::to_string(n) + kind, "VNAUDIO_FAULT_LOG=" + log});
        std::string record = read_file(log);
        ASSERT_NE(record, "") << "the run left no fault log";
        bool fired = record.find("fired=1") != std::string::npos;
        SCOPED_TRACE("call " + std::to_string(n) + kind + ": " + r.err);
        auto after = t->folder();
        if (r.status == 0) {
            EXPECT_EQ(difference(after["GAMEEXE.INI"], g.expected_ini), "");
            EXPECT_EQ(difference(after["_inmm.ini"], g.expected_table), "");
            // The originals lie under backup names, whichever the run found free.
            bool game_kept = false, table_kept = false;
            for (const auto& [name, bytes] : after) {
                game_kept |= name.rfind("GAMEEXE.org", 0) == 0 && bytes == g.files.at("GAMEEXE.INI");
                table_kept |= name.rfind("_inmm.org", 0) == 0 && bytes == "old table\r\n";
            }
            EXPECT_TRUE(game_kept && table_kept);
            EXPECT_NE(r.err.find(SUCCESS), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(after == before) << "the folder changed";
            EXPECT_TRUE(fired) << "failed without a fault";
            for (const std::string& path : kept) EXPECT_TRUE(!read_only || is_read_only(path)) << path;
        }
        ++runs;
        if (!fired) break;
        if (testing::Test::HasFailure()) break;
    }
    EXPECT_GT(runs, 10);
}

// Enough lines that every stream is filled and written more than once.
std::string filler_lines() {
    std::string filler;
    for (int i = 0; i < 3000; ++i) filler += "; " + SJIS_TITLE + " " + std::to_string(i) + " padding padding padding\r\n";
    return filler;
}

TEST_F(Tormel, RollBackUnderFaultsAVG32) {
    game_files g = avg32_game(30, filler_lines());
    for (const char* kind : {"", ":short", ":full"}) sweep_faults(this, g, {"--avg32"}, kind);
}

TEST_F(Tormel, RollBackUnderFaultsRealLive) {
    // A decoy WAV would rightly be read when opening its NWA fails, and give other time codes.
    game_files g = reallive_game(30, filler_lines(), false);
    for (const char* kind : {"", ":short", ":full"}) sweep_faults(this, g, {}, kind);
}

// A game copied from a CD: read-only files are replaced all the same.
TEST_F(Tormel, RollBackUnderFaultsWithReadOnlyGameFiles) {
    sweep_faults(this, avg32_game(5), {"--avg32"}, "", true);
    sweep_faults(this, reallive_game(5, "", false), {}, "", true);
}

}  // namespace
