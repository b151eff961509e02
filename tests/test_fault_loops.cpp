// Whole runs of tormel, plovenak and drusel on realistic folders, with the 1st, 2nd, 3rd ... file
// or registry call failing in turn (also as a short write and as a full disk) until a run meets no
// fault. After every run the folder must tell a consistent story: nothing the user had is lost or
// half-written, and the exit status and the messages agree with what happened.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/configurator_support.h"
#include "tests/unpacker_support.h"
#include "tools/koepac/koepac_writer.h"

namespace {

const char* const KINDS[] = {"", ":short", ":full"};

// Runs run_once with VNAUDIO_FAULT = 1, 2, ... followed by kind until a run meets no fault (the
// fault log says so); run_once answers whether its run met its fault. Answers the number of runs
// that did: the fault points of the scenario.
int sweep(const std::string& kind, const std::function<bool(const std::string& fault)>& run_once) {
    int points = 0;
    for (int n = 1;; ++n) {
        if (n > 5000) {
            ADD_FAILURE() << "the fault never stopped firing";
            break;
        }
        std::string fault = std::to_string(n) + kind;
        SCOPED_TRACE("VNAUDIO_FAULT=" + fault);
        bool fired = run_once(fault);
        if (testing::Test::HasFatalFailure()) break;
        if (!fired) break;
        ++points;
        // One broken run explains itself; the rest would repeat it.
        if (testing::Test::HasFailure()) break;
    }
    return points;
}

void report_points(const std::string& program, int points) {
    testing::Test::RecordProperty(program + "_fault_points", points);
    printf("fault points exercised for %s: %d\n", program.c_str(), points);
}

bool fault_fired(const std::string& log) {
    std::string record = read_file(log);
    EXPECT_NE(record, "") << "the run left no fault log";
    return record.find("fired=1") != std::string::npos;
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::string with_crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// ---- tormel ----

// A RealLive game that meets most of the rewriting's paths in one run: an NWA track, a WAV
// track, a broken NWA with a good WAV beside it, a missing track the user skips, a whole-track
// entry without a file, settings lines, and enough other lines that every stream is written more
// than once. GAMEEXE.org and _inmm.org are there already; _inmm.ini is not.
struct tormel_game {
    std::map<std::string, std::string> files;
    std::string registry;
    std::string expected_ini, expected_table, expected_err;   // with the music folder "bgm"
    std::string fallback_ini, fallback_table, fallback_err;   // after a failed folder lookup: "BGM"
};

const std::string SJIS_SAVE = "\x83\x5A\x81\x5B\x83\x75";   // CP932 text with a 0x5C trail byte
const std::string BGM_FAILED = "tormel.exe: BGMフォルダ名の取得に失敗:\n";
const std::string SUCCESS = "tormel.exe: 成功しました。\n";

tormel_game make_tormel_game() {
    tormel_game g;
    std::string head = "; music settings\n#REGNAME = \"Vendor\\RL\"\n#SYSCOM.011 = N : \"" + SJIS_SAVE +
                       "\"\n#BGM_MODE = 0\n#CDDA_BGM_SETUP_NEED = 1\n";
    std::string filler;
    for (int i = 0; i < 2500; ++i) filler += "#SCENE." + std::to_string(i) + " = \"" + SJIS_SAVE + "\" ; filler\n";
    std::string entries =
        "#DSTRACK = 0 - 99999999 - 44100 = \"a\" = \"A\"\n"
        "#DSTRACK = 22050 - 44100 - 0 = \"b\" = \"B\"\n"
        "#DSTRACK = 48000 - 96000 - 24000 = \"c\" = \"C\"\n"
        "#DSTRACK = 96000 - 144000 - 0 = \"d\" = \"D\"\n"
        "#DSTRACK = 0 - 99999999 - 0 = \"w\" = \"W\"\n";
    g.files["GAMEEXE.INI"] = with_crlf(head + filler + entries + "#END\n");
    g.files["GAMEEXE.org"] = "an older backup\r\n";
    g.files["_inmm.org"] = "an older track table\r\n";
    g.files["REALLIVE.EXE"] = "MZ";
    g.files["BGM/a.nwa"] = nwa_of_frames(44100, 2, 44100 * 90);
    g.files["BGM/b.wav"] = pcm_wav(22050, 1, 22050 * 2 * 30);
    nwa_fields broken = valid_nwa(2, 44100, 4, 512, 100);
    broken.data_size += 2;
    g.files["BGM/c.nwa"] = nwa_header(broken);
    g.files["BGM/c.wav"] = pcm_wav(48000, 2, 48000 * 4 * 10);
    g.registry = registry_with_folder("Vendor\\RL", "bgm");

    // d is skipped: 60 seconds at the rate carried from c, 48000.
    std::string new_head = "; music settings\n#REGNAME = \"Vendor\\RL\"\n#SYSCOM.011 = U:\"" + SJIS_SAVE +
                           "\"\n#BGM_MODE = 1\n#CDDA_BGM_SETUP_NEED = 0\n";
    std::string cd =
        "#DSTRACK = 0 - 99999999 - 44100 = \"a\" = \"A\"\n"
        "#CDTRACK = 02:00:00:00 - 00:00:00:00 - 02:00:01:00 = \"A\"\n"
        "#DSTRACK = 22050 - 44100 - 0 = \"b\" = \"B\"\n"
        "#CDTRACK = 03:00:01:00 - 03:00:02:00 - 03:00:00:00 = \"B\"\n"
        "#DSTRACK = 48000 - 96000 - 24000 = \"c\" = \"C\"\n"
        "#CDTRACK = 04:00:01:00 - 04:00:02:00 - 04:00:00:37 = \"C\"\n"
        "#DSTRACK = 96000 - 144000 - 0 = \"d\" = \"D\"\n"
        "#CDTRACK = 05:00:02:00 - 05:00:03:00 - 05:00:00:00 = \"D\"\n"
        "#DSTRACK = 0 - 99999999 - 0 = \"w\" = \"W\"\n"
        "#CDTRACK = 06:00:00:00 - 00:00:00:00 - 00:00:00:00 = \"W\"\n";
    g.expected_ini = g.fallback_ini = with_crlf(new_head + filler + cd + "#END\n");
    for (const char* folder : {"bgm", "BGM"}) {
        std::string table, err;
        for (const char* name : {"a", "b", "c", "d", "w"}) table += std::string(folder) + "\\" + name + ".wav\r\n";
        err = std::string("tormel.exe: ") + folder + "\\c.nwaは不正な、または未対応の形式のnwaファイルです。\n" +
              "tormel.exe: " + folder + "\\d.wavのオープンに失敗しました。\n[a]bort, [r]etry, [i]gnore? " + SUCCESS;
        (std::string(folder) == "bgm" ? g.expected_table : g.fallback_table) = table;
        (std::string(folder) == "bgm" ? g.expected_err : g.fallback_err) = err;
    }
    return g;
}

struct tormel_run {
    run_result r;
    bool fired;
    std::map<std::string, std::string> before, after;
};

tormel_run run_tormel_with(const tormel_game& g, const std::string& fault) {
    temp_dir dir;
    std::string game = dir / "game";
    for (const auto& [name, bytes] : g.files) {
        make_dirs((game + "/" + name).substr(0, (game + "/" + name).rfind('/')));
        write_file(game + "/" + name, bytes);
    }
    write_file(dir / "registry.reg", g.registry);
    tormel_run run;
    run.before = snapshot(game);
    std::vector<std::string> env = {"VNAUDIO_REGISTRY=" + (dir / "registry.reg")};
    if (!fault.empty()) env.insert(env.end(), {"VNAUDIO_FAULT=" + fault, "VNAUDIO_FAULT_LOG=" + (dir / "fault.log")});
    // One Ignore, for the missing track: a question that a fault adds uses it up, and the missing
    // track's question then meets the end of the input, which is Abort.
    run.r = run_program(bin_path("tormel"), {}, game, "i\n", env);
    run.fired = !fault.empty() && fault_fired(dir / "fault.log");
    run.after = snapshot(game);
    return run;
}

// What a successful run must have left: the new files, and every old file under its old name or
// (GAMEEXE.INI only) under a new backup name.
void check_tormel_success(const tormel_game& g, const tormel_run& run) {
    bool fallback = run.r.err.rfind(BGM_FAILED, 0) == 0;
    std::string err = run.r.err;
    if (fallback) {
        // The lookup's message: its prefix line and one line naming the cause.
        size_t second = err.find('\n', BGM_FAILED.size());
        ASSERT_NE(second, std::string::npos);
        err = err.substr(second + 1);
    }
    // A failed open of the broken NWA file passes in silence to its WAV file, as a missing one does.
    std::string expected_err = fallback ? g.fallback_err : g.expected_err;
    std::string without_nwa = expected_err.substr(expected_err.find('\n') + 1);
    EXPECT_TRUE(err == expected_err || err == without_nwa) << err;
    EXPECT_EQ(run.after.at("GAMEEXE.INI"), fallback ? g.fallback_ini : g.expected_ini);
    ASSERT_TRUE(run.after.count("_inmm.ini"));
    EXPECT_EQ(run.after.at("_inmm.ini"), fallback ? g.fallback_table : g.expected_table);
    int new_backups = 0;
    for (const auto& [name, bytes] : run.after) {
        if (name == "GAMEEXE.INI" || name == "_inmm.ini") continue;
        // Left, empty, when removing it failed; the next run takes it as it is.
        if (name == "tormel.lock" && bytes.empty()) continue;
        auto old = run.before.find(name);
        if (old != run.before.end()) {
            EXPECT_EQ(bytes, old->second) << name << " changed";
        } else {
            EXPECT_EQ(name.rfind("GAMEEXE.org", 0), 0u) << "unexpected " << name;
            EXPECT_EQ(bytes, g.files.at("GAMEEXE.INI")) << name << " is not the game's GAMEEXE.INI";
            ++new_backups;
        }
    }
    EXPECT_EQ(new_backups, 1);
}

TEST(FaultLoops, TormelLeavesTheGameAsItWasOrFinishesTheWholeRun) {
    if (!exists(bin_path("tormel"))) GTEST_SKIP() << "tormel was not built";
    tormel_game g = make_tormel_game();
    {
        SCOPED_TRACE("without a fault");
        tormel_run clean = run_tormel_with(g, "");
        ASSERT_EQ(clean.r.status, 0) << clean.r.err;
        check_tormel_success(g, clean);
        EXPECT_EQ(clean.after.at("GAMEEXE.org1"), g.files.at("GAMEEXE.INI"));
    }
    int points = 0, fallbacks = 0;
    for (const char* kind : KINDS) {
        points += sweep(kind, [&](const std::string& fault) {
            tormel_run run = run_tormel_with(g, fault);
            EXPECT_TRUE(run.r.status == 0 || run.r.status == 1) << "status " << run.r.status << "\n" << run.r.err;
            if (run.r.status == 0) {
                check_tormel_success(g, run);
                fallbacks += run.r.err.rfind(BGM_FAILED, 0) == 0;
            } else {
                EXPECT_TRUE(run.fired) << "failed without a fault:\n" << run.r.err;
                EXPECT_TRUE(run.after == run.before) << "the game folder changed\n" << run.r.err;
                EXPECT_EQ(run.r.err.find("成功しました"), std::string::npos) << run.r.err;
                // The failure is named: by a message of its own, or by the question about the
                // missing track meeting the end of the answers (a fault took its Ignore).
                std::string rest = run.r.err;
                for (const std::string& normal :
                     {std::string("tormel.exe: bgm\\c.nwaは不正な、または未対応の形式のnwaファイルです。\n"),
                      std::string("tormel.exe: BGM\\c.nwaは不正な、または未対応の形式のnwaファイルです。\n")})
                    if (size_t at = rest.find(normal); at != std::string::npos) rest.erase(at, normal.size());
                int questions = count_of(rest, "[a]bort, [r]etry, [i]gnore? ");
                int messages = count_of(rest, "tormel.exe: ") - count_of(rest, BGM_FAILED);
                EXPECT_TRUE(questions >= 2 || messages > questions) << "no message says what failed:\n" << run.r.err;
            }
            return run.fired;
        });
    }
    EXPECT_GT(points, 60) << "suspiciously few calls for a run";
    EXPECT_GT(fallbacks, 0) << "no run met a failing music folder lookup";
    report_points("tormel", points);
}

// ---- plovenak ----

koe_voice_data voice_of(uint16_t id, const std::vector<koe_block>& blocks) {
    koe_voice_data v;
    std::string error;
    EXPECT_TRUE(pack_blocks(id, blocks, &v, &error)) << error;
    return v;
}

// Four archives in an absolute voice folder spelled in another case: voices of every block kind,
// an empty voice, an archive without voices, a voice longer than the decoder's output buffer and
// an archive whose code has a lower-case letter. An earlier koe_restore.reg is to be replaced.
struct plovenak_game {
    std::map<std::string, std::string> archives;   // file name -> bytes
    std::map<std::string, std::string> complete;   // the koewav tree of a good run
};

void add_expected(plovenak_game& g, const std::string& archive, const std::string& code) {
    std::vector<reference_voice> voices;
    uint32_t rate = 0;
    ASSERT_TRUE(reference_unpack(archive, &voices, &rate));
    g.complete[code + "/"] = "";
    for (const reference_voice& v : voices) {
        char name[64];
        snprintf(name, sizeof name, "%s/Z%s%05u.WAV", code.c_str(), code.c_str(), unsigned{v.id});
        g.complete[name] = make_wav(v.samples, rate);
    }
}

plovenak_game make_plovenak_game() {
    plovenak_game g;
    std::vector<uint8_t> ramp, jumps, noise(1024);
    for (int k = 0; k < 300; ++k) ramp.push_back(static_cast<uint8_t>(120 + k % 20));
    for (int k = 0; k < 50; ++k) jumps.push_back(static_cast<uint8_t>(k * 83));
    for (size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<uint8_t>(k * 31 + 7);
    g.archives["Z001.KOE"] = build_koepac({voice_of(1, {{KOE_BLOCK_CODED, ramp, false}, {KOE_BLOCK_SILENT, {}, false}}),
                                           voice_of(2, {{KOE_BLOCK_RAW, noise, false}}),
                                           voice_of(3, {}),
                                           voice_of(40000, {{KOE_BLOCK_CODED, jumps, true}})},
                                          16000);
    g.archives["Z002.KOE"] = build_koepac({}, 0);
    g.archives["Z003.KOE"] = build_koepac({voice_of(7, std::vector<koe_block>(600, {KOE_BLOCK_RAW, noise, false}))}, 0);
    g.archives["z0a1.koe"] = build_koepac({voice_of(5, {{KOE_BLOCK_CODED, jumps, false}})}, 22050);
    add_expected(g, g.archives["Z001.KOE"], "001");
    add_expected(g, g.archives["Z002.KOE"], "002");
    add_expected(g, g.archives["Z003.KOE"], "003");
    add_expected(g, g.archives["z0a1.koe"], "0a1");
    return g;
}

const char VOICE_KEY[] = "Vendor\\Voices";
const std::string OLD_RESTORE = "REGEDIT4\r\n; kept from an earlier run\r\n";

std::string windows_path(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

TEST(FaultLoops, PlovenakKeepsTheArchivesAndWritesOnlyWholeVoices) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    plovenak_game g = make_plovenak_game();
    ASSERT_FALSE(testing::Test::HasFailure());

    auto run_once = [&](const std::string& fault, bool* fired) {
        game_setup s;
        // Stored in upper case, made in lower case: the path rules must find it either way.
        std::string old_folder = windows_path(s.root / "game/KOE");
        setup_game(s, VOICE_KEY, old_folder);
        make_dirs(s.game + "/koe");
        for (const auto& [name, bytes] : g.archives) write_file(s.game + "/koe/" + name, bytes);
        write_file(s.game + "/koe_restore.reg", OLD_RESTORE);
        auto voices_before = snapshot(s.game + "/koe");
        std::vector<std::string> env;
        if (!fault.empty()) env = {"VNAUDIO_FAULT=" + fault, "VNAUDIO_FAULT_LOG=" + (s.root / "fault.log")};
        run_result r = run_plovenak(s, "y\n", env);
        *fired = !fault.empty() && fault_fired(s.root / "fault.log");

        EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << "\n" << r.err;
        EXPECT_TRUE(snapshot(s.game + "/koe") == voices_before) << "the archives were touched";
        std::string value = registry_value(s.registry, VOICE_KEY, "KOE_FOLDER");
        EXPECT_TRUE(value == old_folder || value == "koewav") << value;
        bool restore_exists = exists(s.game + "/koe_restore.reg");
        std::string restore = read_file(s.game + "/koe_restore.reg");
        std::string doubled;
        for (char c : old_folder) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
        const std::string new_restore = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Voices]\r\n\"KOE_FOLDER\"=\"" +
                                        doubled + "\"\r\n";
        // The restore file is replaced whole, and before the registry forgets the old value.
        if (value == old_folder) {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(restore == new_restore || restore == OLD_RESTORE) << "a cut-off restore file: " << restore;
            EXPECT_FALSE(exists(s.game + "/koewav"));
        } else {
            EXPECT_EQ(restore, new_restore) << "switched without recording the old value";
        }
        EXPECT_TRUE(restore_exists);
        EXPECT_FALSE(exists(s.game + "/koe_restore.reg.new")) << "the restore file's work file was left";

        auto tree = voice_tree(s.game + "/koewav");
        for (const auto& [name, bytes] : tree) {
            auto it = g.complete.find(name);
            EXPECT_NE(it, g.complete.end()) << "unexpected " << name;
            if (it != g.complete.end()) {
                EXPECT_TRUE(bytes == it->second) << name << " is not the whole voice";
            }
        }
        if (r.status == 0) {
            EXPECT_TRUE(tree == g.complete) << "success claimed with voices missing\n" << r.err;
        } else {
            std::string rest = r.err;
            int questions = count_of(rest, "上書きしますか？");
            EXPECT_GT(count_of(rest, "plovenak.exe: "), questions) << "exit 1 without a message:\n" << r.err;
        }
        return r;
    };

    bool fired = false;
    run_result clean = run_once("", &fired);
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(count_of(clean.out, " -> "), 6) << clean.out;

    int points = 0;
    for (const char* kind : KINDS)
        points += sweep(kind, [&](const std::string& fault) {
            bool hit = false;
            run_once(fault, &hit);
            return hit;
        });
    EXPECT_GT(points, 100) << "suspiciously few calls for a run";
    report_points("plovenak", points);
}

// ---- drusel ----

// A koewav tree: three voice folders (one named with a letter), a folder without WAVs, a dot
// folder and a plain file that must be passed over, and an encoder that writes "MP3:" and the
// WAV's bytes.
struct drusel_tree {
    std::map<std::string, std::string> voices;   // path below koewav -> WAV bytes
};

drusel_tree make_drusel_tree() {
    drusel_tree t;
    const char* names[] = {"001/Z00100001.WAV", "001/Z00100002.WAV", "001/Z00100003.WAV",
                           "002/Z00200010.WAV", "002/Z00200011.WAV", "0a1/Z0a100005.WAV"};
    int k = 0;
    for (const char* name : names) t.voices[name] = make_wav(std::vector<int16_t>(50 + 10 * k, static_cast<int16_t>(k * 100)), 22050), ++k;
    return t;
}

// The stand-in encoder, built beside the programs; see tests/helpers/plain_encoder.cpp.
std::string encoder_registry() {
    return "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\r\n\"SMX_Path\"=\"" +
           bin_path("plain_encoder") + "\"\r\n";
}

TEST(FaultLoops, DruselNeverLosesAVoice) {
    if (!exists(bin_path("drusel"))) GTEST_SKIP() << "drusel was not built";
    drusel_tree t = make_drusel_tree();
    std::string retry_all, ignore_all;
    for (int k = 0; k < 20; ++k) retry_all += "r\n", ignore_all += "i\n";

    // answers: the user's answers to every question of the run.
    auto run_once = [&](const std::string& fault, const std::string& answers, bool* fired) {
        temp_dir dir;
        std::string koewav = dir / "koewav";
        for (const auto& [name, bytes] : t.voices) {
            make_dirs(koewav + "/" + name.substr(0, 3));
            write_file(koewav + "/" + name, bytes);
        }
        make_dirs(koewav + "/003");
        make_dirs(koewav + "/.ab");
        write_file(koewav + "/.ab/Z00000001.WAV", "not a voice");
        write_file(koewav + "/abc", "a file");
        write_file(dir / "registry.reg", encoder_registry());
        std::vector<std::string> env = {"VNAUDIO_REGISTRY=" + (dir / "registry.reg")};
        if (!fault.empty()) env.insert(env.end(), {"VNAUDIO_FAULT=" + fault, "VNAUDIO_FAULT_LOG=" + (dir / "fault.log")});
        run_result r = run_program(bin_path("drusel"), {}, koewav, answers, env);
        *fired = !fault.empty() && fault_fired(dir / "fault.log");

        EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << "\n" << r.err;
        auto after = payload_snapshot(koewav);
        int converted = 0;
        for (const auto& [name, wav] : t.voices) {
            const std::string mp3 = "MP3:" + wav;
            auto under_wav = after.find(name), under_mp3 = after.find(name + ".mp3");
            bool as_wav = under_wav != after.end();
            bool as_mp3 = under_mp3 != after.end();
            EXPECT_TRUE(as_wav || as_mp3) << name << " is gone under both names\n" << r.err;
            if (as_wav) {
                EXPECT_TRUE(under_wav->second == wav || under_wav->second == mp3) << name << " holds neither";
            }
            if (as_mp3) {
                EXPECT_TRUE(under_mp3->second == mp3) << name << ".mp3 is not the whole MP3";
            }
            converted += as_wav && under_wav->second == mp3;
            after.erase(name);
            after.erase(name + ".mp3");
        }
        std::map<std::string, std::string> rest = {{"001/", ""}, {"002/", ""}, {"003/", ""}, {"0a1/", ""},
                                                   {".ab/", ""}, {".ab/Z00000001.WAV", "not a voice"}, {"abc", "a file"}};
        EXPECT_TRUE(after == rest) << "the tree holds other files";
        if (r.status == 0 && answers == retry_all) {
            EXPECT_EQ(converted, static_cast<int>(t.voices.size())) << "success claimed with voices left\n" << r.err;
        }
        return r;
    };

    bool fired = false;
    run_result clean = run_once("", "", &fired);
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.err, "003: wavファイルがありません。\n");

    int points = 0;
    for (const char* kind : KINDS)
        points += sweep(kind, [&](const std::string& fault) {
            bool hit = false;
            run_once(fault, "", &hit);
            return hit;
        });
    for (const std::string* answers : {&retry_all, &ignore_all})
        points += sweep("", [&](const std::string& fault) {
            bool hit = false;
            run_once(fault, *answers, &hit);
            return hit;
        });
    EXPECT_GT(points, 60) << "suspiciously few calls for a run";
    report_points("drusel", points);
}

// A search that broke off used to pass for its end: the voices after it stayed WAV files and the
// run still ended with 0, or a folder whose search failed was taken for one without WAV files.
TEST(FaultLoops, DruselEndsWithOneWhenASearchBreaksOff) {
    if (!exists(bin_path("drusel"))) GTEST_SKIP() << "drusel was not built";
    int top_level = 0, folder = 0;
    for (int n = 1;; ++n) {
        ASSERT_LT(n, 200);
        temp_dir dir;
        make_dirs(dir / "koewav/001");
        make_dirs(dir / "koewav/002");
        write_file(dir / "koewav/001/Z00100001.WAV", "one");
        write_file(dir / "koewav/002/Z00200001.WAV", "two");
        write_file(dir / "registry.reg", encoder_registry());
        run_result r = run_program(bin_path("drusel"), {}, dir / "koewav", "",
                                   {"VNAUDIO_REGISTRY=" + (dir / "registry.reg"), "VNAUDIO_FAULT=" + std::to_string(n),
                                    "VNAUDIO_FAULT_LOG=" + (dir / "fault.log")});
        if (!fault_fired(dir / "fault.log")) break;
        if (r.err.find("drusel.exe: 音声フォルダを検索できません: ") != std::string::npos) {
            ++top_level;
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_EQ(r.err.find("plovenakで作成された"), std::string::npos) << "blames the folder:\n" << r.err;
        }
        if (r.err.find("drusel.exe: フォルダ 00") != std::string::npos) {
            ++folder;
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_NE(r.err.find("を検索できません: "), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("wavファイルがありません"), std::string::npos) << "a failed search is no empty folder";
        }
    }
    EXPECT_GE(top_level, 2) << "the first search and a later step of the voice folders";
    EXPECT_GE(folder, 4) << "the first search and a later step in each of the two folders";
}

}  // namespace
