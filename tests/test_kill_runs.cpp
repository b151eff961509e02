// tormel and plovenak killed outright (SIGKILL, as by a crash or a power cut) at every write,
// rename and removal of a run, through strace's system call tampering: first at the 1st call of a
// kind, then at the 2nd, and so on until a run gets through. After each kill the folder must hold
// no part taken for a whole file, and a plain re-run must finish the job or stop with the game's
// own settings recoverable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/configurator_support.h"
#include "tests/unpacker_support.h"
#include "tools/koepac/koepac_writer.h"

namespace {

const int KILLED = 128 + 9;

// strace counts the calls of each system call apart, whatever set it is given: one system call at
// a time, a kill lands on every call.
const char* const CALL_KINDS[] = {"write", "pwrite64", "rename", "renameat", "renameat2", "unlink", "unlinkat", "rmdir"};

// Runs program under strace with the nth call of kinds killing it.
run_result run_killed_at(const std::string& kinds, int nth, const std::string& program,
                         const std::vector<std::string>& args, const std::string& cwd,
                         const std::vector<std::string>& env) {
    std::vector<std::string> all = {"-f", "-qq", "-o", "/dev/null", "-e",
                                    "inject=" + kinds + ":signal=SIGKILL:when=" + std::to_string(nth), program};
    all.insert(all.end(), args.begin(), args.end());
    // A sanitized build's leak check cannot work under ptrace and would end every run with 1.
    std::vector<std::string> traced_env = env;
    const char* asan = getenv("ASAN_OPTIONS");
    traced_env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") + "detect_leaks=0");
    return run_program(find_program("strace"), all, cwd, "", traced_env);
}

// Kills a fresh copy of a game at call 1, 2, ... of each kind; check looks at the folder after
// each kill. Answers the number of kills.
template <typename Setup, typename Run, typename Check>
int kill_everywhere(const char* program, Setup setup, Run run, Check check) {
    int kills = 0;
    for (const char* kinds : CALL_KINDS) {
        int before = kills;
        for (int nth = 1;; ++nth) {
            if (nth > 2000) {
                ADD_FAILURE() << "the run never got through";
                break;
            }
            SCOPED_TRACE(std::string("killed at ") + kinds + " call " + std::to_string(nth));
            auto game = setup();
            run_result r = run(*game, kinds, nth);
            if (r.status != KILLED) {
                EXPECT_EQ(r.status, 0) << "a run that got through failed:\n" << r.err;
                break;
            }
            ++kills;
            check(*game);
            if (testing::Test::HasFailure()) return kills;
        }
        printf("%s killed at %d calls of %s\n", program, kills - before, kinds);
    }
    return kills;
}

#define SKIP_WITHOUT_STRACE()                                                                                  \
    if (find_program("strace").empty())                                                                        \
        GTEST_SKIP() << "*** strace is not installed: the kill tests did NOT run. Install strace to run them. ***"

// ---- tormel ----

struct tormel_game {
    temp_dir dir;
    std::string game;
    std::string original, converted, table, old_table;
    std::string engine;
    std::map<std::string, std::string> folder() const { return snapshot(game); }
};

std::unique_ptr<tormel_game> make_tormel_game(bool reallive) {
    auto g = std::make_unique<tormel_game>();
    g->game = g->dir / "game";
    make_dirs(g->game + "/BGM");
    write_file(g->dir / "registry.reg", registry_with_folder("KillTest", "BGM"));
    write_file(g->game + "/BGM/a.wav", pcm_wav(44100, 2, 176400 * 60));
    write_file(g->game + "/BGM/b.wav", pcm_wav(22050, 1, 44100 * 30));
    std::string head = "#REGNAME = \"KillTest\"\r\n#MUSIC_TYPE = 000\r\n#BGM_MODE = 0\r\n";
    std::string a = "#DSTRACK = 0 - 99999999 - 0 = \"a\" = \"A\"\r\n";
    std::string b = "#DSTRACK = 0 - 44100 - 0 = \"b\" = \"B\"\r\n";
    g->original = head + a + "; between\r\n" + b;
    if (reallive) {
        g->engine = "--reallive";
        g->converted = "#REGNAME = \"KillTest\"\r\n#MUSIC_TYPE = 000\r\n#BGM_MODE = 1\r\n" + a +
                       "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"A\"\r\n; between\r\n" + b +
                       "#CDTRACK = 03:00:00:00 - 03:00:02:00 - 03:00:00:00 = \"B\"\r\n";
    } else {
        g->engine = "--avg32";
        g->converted = "#REGNAME = \"KillTest\"\r\n#MUSIC_TYPE = 003\r\n#BGM_MODE = 0\r\n"
                       "#CDTRACK = 02:00:00:00 - 02:01:00:00 - 02:00:00:00 = \"A\"\r\n; between\r\n"
                       "#CDTRACK = 03:00:00:00 - 03:00:01:00 - 03:00:00:00 = \"B\"\r\n";
        // An earlier track table, to be kept as a backup.
        g->old_table = "BGM\\old.wav\r\n";
        write_file(g->game + "/_inmm.ini", g->old_table);
    }
    g->table = "BGM\\a.wav\r\nBGM\\b.wav\r\n";
    write_file(g->game + "/GAMEEXE.INI", g->original);
    return g;
}

run_result run_tormel(const tormel_game& g, const std::string& kinds = "", int nth = 0) {
    std::vector<std::string> env = {"VNAUDIO_REGISTRY=" + (g.dir / "registry.reg")};
    if (kinds.empty()) return run_program(bin_path("tormel"), {g.engine}, g.game, "", env);
    return run_killed_at(kinds, nth, bin_path("tormel"), {g.engine}, g.game, env);
}

// Every file of the folder is one the user may take as whole: the game's files as they were or as
// the run makes them, backups holding what they back up, and work files by their names only.
void check_tormel_folder(const tormel_game& g, bool after_rerun) {
    auto folder = g.folder();
    ASSERT_TRUE(folder.count("GAMEEXE.INI")) << "GAMEEXE.INI is gone";
    const std::string& ini = folder.at("GAMEEXE.INI");
    EXPECT_TRUE(ini == g.original || ini == g.converted) << "GAMEEXE.INI is neither the game's nor the new one:\n" << ini;
    bool converted = ini == g.converted;
    bool game_backup = false;
    for (const auto& [name, bytes] : folder) {
        if (name.rfind("GAMEEXE.org", 0) == 0 && name.find(".new") == std::string::npos) {
            // A re-run of a finished RealLive run backs up the converted file, as every run does.
            EXPECT_TRUE(bytes == g.original || (after_rerun && name != "GAMEEXE.org" && bytes == g.converted))
                << name << " does not hold the game's GAMEEXE.INI";
            game_backup |= bytes == g.original;
        }
        if (name.rfind("_inmm.org", 0) == 0 && name.find(".new") == std::string::npos) {
            // A re-run after a kill between the track table and GAMEEXE.INI keeps the new table.
            EXPECT_TRUE(bytes == g.old_table || (after_rerun && bytes == g.table)) << name << ":\n" << bytes;
        }
    }
    if (converted) {
        EXPECT_TRUE(game_backup) << "GAMEEXE.INI converted with no backup of the game's";
        EXPECT_EQ(folder["_inmm.ini"], g.table) << "GAMEEXE.INI converted without its track table";
    } else if (folder.count("_inmm.ini")) {
        EXPECT_TRUE(folder["_inmm.ini"] == g.table || folder["_inmm.ini"] == g.old_table) << folder["_inmm.ini"];
    }
    for (const auto& [name, bytes] : folder)
        EXPECT_TRUE(!after_rerun || name.find(".new") == std::string::npos) << name << " left after a whole run";
}

const char* engine_name(bool reallive) { return reallive ? "RealLive" : "AVG32"; }

void kill_tormel(bool reallive) {
    int kills = kill_everywhere(engine_name(reallive), [&] { return make_tormel_game(reallive); }, run_tormel,
                                [&](tormel_game& g) {
                                    check_tormel_folder(g, false);
                                    if (testing::Test::HasFailure()) return;
                                    run_result again = run_tormel(g);
                                    SCOPED_TRACE("the re-run: " + again.err);
                                    if (again.status != 0) {
                                        // Converted already: the way back is offered, and No (no answer) changes nothing.
                                        EXPECT_NE(again.err.find("GAMEEXE.INIは変換済みです。"), std::string::npos);
                                    }
                                    check_tormel_folder(g, true);
                                    EXPECT_EQ(read_file(g.game + "/GAMEEXE.INI"), g.converted);
                                });
    EXPECT_GT(kills, 5) << "suspiciously few kill points";
}

TEST(KillRuns, TormelBothEngines) {
    SKIP_WITHOUT_STRACE();
    kill_tormel(false);
    kill_tormel(true);
}

// ---- plovenak ----

const char VOICE_KEY[] = "Vendor\\Kill";
const std::string RESTORE = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Kill]\r\n\"KOE_FOLDER\"=\"voice\"\r\n";

koe_voice_data voice(uint16_t id, size_t samples) {
    std::vector<uint8_t> codes(samples);
    for (size_t k = 0; k < samples; ++k) codes[k] = static_cast<uint8_t>(k * 7 + id);
    koe_voice_data v;
    std::string error;
    EXPECT_TRUE(pack_blocks(id, {{KOE_BLOCK_RAW, codes, false}}, &v, &error)) << error;
    return v;
}

struct voice_game {
    game_setup s;
    std::map<std::string, std::string> archives, complete;
};

std::unique_ptr<voice_game> make_voice_game() {
    auto g = std::make_unique<voice_game>();
    setup_game(g->s, VOICE_KEY, "voice");
    make_dirs(g->s.game + "/voice");
    g->archives["Z001.KOE"] = build_koepac({voice(1, 1024), voice(2, 1024), voice(3, 1024)}, 0);
    g->archives["Z002.KOE"] = build_koepac({voice(9, 1024), voice(10, 1024)}, 0);
    for (const auto& [name, bytes] : g->archives) {
        write_file(g->s.game + "/voice/" + name, bytes);
        std::vector<reference_voice> voices;
        uint32_t rate = 0;
        EXPECT_TRUE(reference_unpack(bytes, &voices, &rate));
        std::string code = name.substr(1, 3);
        g->complete[code + "/"] = "";
        for (const reference_voice& v : voices) {
            char file[64];
            snprintf(file, sizeof file, "%s/Z%s%05u.WAV", code.c_str(), code.c_str(), unsigned{v.id});
            g->complete[file] = make_wav(v.samples, rate);
        }
    }
    return g;
}

run_result run_voice_game(const voice_game& g, const std::string& kinds = "", int nth = 0, const std::string& input = "") {
    if (kinds.empty()) return run_plovenak(g.s, input);
    return run_killed_at(kinds, nth, bin_path("plovenak"), {}, g.s.game, {"VNAUDIO_REGISTRY=" + g.s.registry});
}

// KOE_FOLDER names the game's folder, or koewav with the restore file whole beside it; every WAV
// is a whole voice; the archives are untouched.
void check_voice_folder(const voice_game& g) {
    std::string value = registry_value(g.s.registry, VOICE_KEY, "KOE_FOLDER");
    EXPECT_TRUE(value == "voice" || value == "koewav") << value;
    bool restore = exists(g.s.game + "/koe_restore.reg");
    if (value == "koewav") {
        EXPECT_TRUE(restore) << "switched with no record of the old value";
    } else {
        EXPECT_FALSE(exists(g.s.game + "/koewav"));
    }
    if (restore) {
        EXPECT_EQ(read_file(g.s.game + "/koe_restore.reg"), RESTORE);
    }
    for (const auto& [name, bytes] : g.archives) EXPECT_EQ(read_file(g.s.game + "/voice/" + name), bytes);
    for (const auto& [name, bytes] : voice_tree(g.s.game + "/koewav")) {
        // The unpacker's work folder and the part of the voice being written when the run was cut off.
        bool work = name.rfind("~unpacking/", 0) == 0;
        if (work && (name == "~unpacking/" || name.find(".part") != std::string::npos)) continue;
        auto it = g.complete.find(name);
        ASSERT_NE(it, g.complete.end()) << "unexpected " << name;
        EXPECT_TRUE(bytes == it->second) << name << " is not the whole voice";
    }
}

TEST(KillRuns, Plovenak) {
    SKIP_WITHOUT_STRACE();
    int kills = kill_everywhere(
        "plovenak", make_voice_game,
        [](const voice_game& g, const std::string& kinds, int nth) { return run_voice_game(g, kinds, nth); },
        [](voice_game& g) {
        check_voice_folder(g);
        if (testing::Test::HasFailure()) return;
        bool switched = registry_value(g.s.registry, VOICE_KEY, "KOE_FOLDER") == "koewav";
        // Switched: the second run offers to finish the job, a Yes writes what is missing.
        run_result again = run_voice_game(g, "", 0, "y\n");
        SCOPED_TRACE("the re-run: " + again.err);
        bool restored = again.err.find("koewavには音声が全部") != std::string::npos;
        if (!restored) check_voice_folder(g);
        EXPECT_EQ(again.status, 0);
        EXPECT_TRUE(snapshot(g.s.game + "/koewav") == g.complete) << "not the tree of a run never cut off";
        if (!switched) return;
        EXPECT_EQ(read_file(g.s.game + "/koe_restore.reg"), RESTORE);
        // Cut off after its last voice, the first run had finished: the Yes put the folder back.
        if (restored) {
            EXPECT_EQ(registry_value(g.s.registry, VOICE_KEY, "KOE_FOLDER"), "voice");
            return;
        }
        EXPECT_NE(again.err.find("残りの"), std::string::npos);
        // The way back, once finished.
        run_result last = run_voice_game(g, "", 0, "y\n");
        EXPECT_EQ(last.status, 0) << last.err;
        EXPECT_EQ(registry_value(g.s.registry, VOICE_KEY, "KOE_FOLDER"), "voice");
    });
    EXPECT_GT(kills, 10) << "suspiciously few kill points";
}

}  // namespace
