// plovenak on damaged archives and failing calls: truncated and corrupted archives, and a run
// with each file or registry call made to fail in turn. Whatever happens, the run ends in a clear
// message or a correct result, and every WAV file left behind is complete.
#include <gtest/gtest.h>

#include <random>

#include "tests/unpacker_support.h"
#include "tools/koepac/koepac_writer.h"

namespace {

const char REGNAME[] = "Vendor\\Game";

koe_voice_data voice_of(uint16_t id, const std::vector<koe_block>& blocks) {
    koe_voice_data v;
    std::string error;
    EXPECT_TRUE(pack_blocks(id, blocks, &v, &error)) << error;
    return v;
}

// A small archive that still has every block kind, escapes and a wrap of the accumulator.
std::string small_archive() {
    std::vector<uint8_t> ramp, jumps;
    for (int k = 0; k < 60; ++k) ramp.push_back(static_cast<uint8_t>(250 + k));
    for (int k = 0; k < 30; ++k) jumps.push_back(static_cast<uint8_t>(k * 83));
    return build_koepac({voice_of(1, {{KOE_BLOCK_CODED, ramp, false}, {KOE_BLOCK_SILENT, {}, false}}),
                         voice_of(2, {{KOE_BLOCK_CODED, jumps, false}}),
                         voice_of(3, {})},
                        8000);
}

std::map<std::string, std::string> expected_tree(const std::string& archive, const std::string& code) {
    std::map<std::string, std::string> tree;
    std::vector<reference_voice> voices;
    uint32_t rate = 0;
    if (reference_unpack(archive, &voices, &rate)) add_expected_tree(tree, voices, rate, code);
    return tree;
}

// Runs plovenak on one archive Z001.KOE and checks the outcome against the literal decoder: an
// archive with an impossible index is named in a message before anything changes; a readable one
// unpacks exactly, its voices whose blocks run past the end passed over with a notice and exit 1.
void check_damaged(const std::string& archive, const std::string& what) {
    SCOPED_TRACE(what);
    game_setup g;
    setup_game(g, REGNAME, "voice");
    make_dirs(g.game + "/voice");
    write_file(g.game + "/voice/Z001.KOE", archive);
    run_result r = run_plovenak(g);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "crashed: status " << r.status << "\n" << r.err;

    std::vector<reference_voice> voices;
    uint32_t rate;
    bool magic = archive.size() >= 7 && archive.compare(0, 7, std::string("KOEPAC\0", 7)) == 0;
    if (!magic || !reference_unpack(archive, &voices, &rate)) {
        EXPECT_EQ(r.status, 1);
        if (!magic)
            EXPECT_EQ(r.err, "plovenak.exe: voice\\Z001.KOEはKOE形式ではないようです。\n何も変更していません。\n");
        else
            EXPECT_EQ(r.err.rfind("plovenak.exe: voice\\Z001.KOEは壊れています。", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("何も変更していません。\n"), std::string::npos) << r.err;
        EXPECT_FALSE(exists(g.game + "/koewav")) << "a refused archive must leave the game untouched";
        EXPECT_EQ(registry_value(g.registry, REGNAME, "KOE_FOLDER"), "voice");
        return;
    }
    size_t broken = 0;
    for (const reference_voice& v : voices) broken += v.broken;
    EXPECT_EQ(r.status, broken ? 1 : 0) << r.err;
    EXPECT_EQ(r.err.find("この音声は飛ばします。") != std::string::npos, broken != 0) << r.err;
    EXPECT_EQ(snapshot(g.game + "/koewav"), expected_tree(archive, "001"));
}

TEST(UnpackerDamage, TruncatedAtEveryByte) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    std::string archive = small_archive();
    ASSERT_LT(archive.size(), 400u);
    for (size_t length = 0; length < archive.size(); ++length)
        check_damaged(archive.substr(0, length), "truncated to " + std::to_string(length));
    check_damaged(archive, "whole");
}

TEST(UnpackerDamage, RandomlyCorrupted) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    std::string archive = small_archive();
    std::mt19937 rng(2024);
    for (int round = 0; round < 300; ++round) {
        std::string bad = archive;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < flips; ++k) {
            // Header and index more often than the data: they decide what is read.
            size_t at = (rng() % 2) ? rng() % 64 : rng() % bad.size();
            bad[at] = static_cast<char>(rng());
        }
        if (round % 10 == 0) bad[16 + rng() % 4] = static_cast<char>(0x80 | rng());   // absurd count
        check_damaged(bad, "round " + std::to_string(round));
    }
}

// One voice outside the file among good ones: nothing is written, nothing switched.
TEST(UnpackerDamage, VoiceOutsideTheFileIsNamed) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    std::string archive = small_archive();
    // Voice 2's offset beyond the end.
    archive[32 + 8 + 4] = '\x00';
    archive[32 + 8 + 5] = '\x00';
    archive[32 + 8 + 6] = '\x01';
    game_setup g;
    setup_game(g, REGNAME, "voice");
    make_dirs(g.game + "/voice");
    write_file(g.game + "/voice/Z001.KOE", archive);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plovenak.exe: voice\\Z001.KOEは壊れています。音声00002のデータがファイルに収まりません。\n"
                     "何も変更していません。\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(g.game + "/koewav"));
}

// ---- Failing calls ----

struct fault_game {
    std::string a1, a2;
    std::map<std::string, std::string> complete;   // the koewav tree of a good run
};

fault_game make_fault_game() {
    fault_game f;
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(1024);
    for (auto& c : noise) c = static_cast<uint8_t>(rng());
    // 600 raw blocks: more than one buffer of output, so the header is written after a seek.
    std::vector<koe_block> long_voice(600, koe_block{KOE_BLOCK_RAW, noise, false});
    f.a1 = small_archive();
    f.a2 = build_koepac({voice_of(9, long_voice), voice_of(10, {{KOE_BLOCK_CODED, {1, 2, 3, 4}, false}})}, 0);
    f.complete = expected_tree(f.a1, "001");
    std::map<std::string, std::string> second = expected_tree(f.a2, "002");
    f.complete.insert(second.begin(), second.end());
    return f;
}

struct fault_run {
    run_result result;
    bool fired;
    std::string registry_value, restore;
    bool restore_exists;
    std::map<std::string, std::string> tree;
    bool koewav_exists;
    bool work_file_left;
};

fault_run run_with_fault(const fault_game& f, const std::string& fault) {
    game_setup g;
    setup_game(g, REGNAME, "voice");
    make_dirs(g.game + "/voice");
    write_file(g.game + "/voice/Z001.KOE", f.a1);
    write_file(g.game + "/voice/Z002.KOE", f.a2);
    std::string log = g.root / "fault.log";
    fault_run run;
    run.result = run_plovenak(g, "", {"VNAUDIO_FAULT=" + fault, "VNAUDIO_FAULT_LOG=" + log});
    run.fired = read_file(log).find("fired=1") != std::string::npos;
    run.registry_value = registry_value(g.registry, REGNAME, "KOE_FOLDER");
    run.restore_exists = exists(g.game + "/koe_restore.reg");
    run.restore = read_file(g.game + "/koe_restore.reg");
    run.koewav_exists = exists(g.game + "/koewav");
    run.work_file_left = exists(g.game + "/koe_restore.reg.new");
    run.tree = voice_tree(g.game + "/koewav");
    return run;
}

TEST(UnpackerFaults, EveryFailingCallEndsInAMessageAndLeavesOnlyCompleteFiles) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    fault_game f = make_fault_game();
    const std::string restore =
        "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Game]\r\n\"KOE_FOLDER\"=\"voice\"\r\n";
    int switch_refused = 0, write_failed = 0, read_failed = 0, create_failed = 0;
    for (std::string kind : {"", ":short", ":full"}) {
        int n = 1;
        for (;; ++n) {
            ASSERT_LT(n, 2000) << "the fault never stopped firing";
            std::string fault = std::to_string(n) + kind;
            SCOPED_TRACE("VNAUDIO_FAULT=" + fault);
            fault_run run = run_with_fault(f, fault);
            const run_result& r = run.result;
            ASSERT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << "\n" << r.err;
            if (!run.fired) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(run.tree, f.complete);
                break;
            }
            if (r.status == 1) {
                EXPECT_NE(r.err.find("plovenak.exe: "), std::string::npos) << "no message";
            }

            // The registry holds the old value or the new one, the new one only once the
            // restore file is whole on the disk, and the old one until anything has been made.
            ASSERT_TRUE(run.registry_value == "voice" || run.registry_value == "koewav") << run.registry_value;
            if (run.registry_value == "voice") {
                EXPECT_EQ(r.status, 1);
                EXPECT_FALSE(run.koewav_exists);
            } else {
                EXPECT_TRUE(run.restore_exists) << "switched with no record of the old value";
            }
            if (run.restore_exists) {
                EXPECT_EQ(run.restore, restore);
            }
            EXPECT_FALSE(run.work_file_left) << "the restore file's work file was left";

            // Whatever is in koewav is a complete voice of the good run.
            for (const auto& [name, bytes] : run.tree) {
                auto it = f.complete.find(name);
                ASSERT_NE(it, f.complete.end()) << "unexpected " << name;
                EXPECT_EQ(bytes, it->second) << name << " is not complete";
            }
            if (r.status == 0) {
                EXPECT_EQ(run.tree, f.complete) << "success claimed with voices missing\n" << r.err;
            }
            // A run that stops after the switch counts what it left for the player.
            if (r.status == 1 && run.registry_value == "koewav") {
                size_t voices = 0;
                for (const auto& entry : run.tree) voices += entry.first.find(".WAV") != std::string::npos;
                EXPECT_NE(r.err.find("展開を途中で止めました。音声5個のうち" + std::to_string(voices) + "個を書き出してあります。"),
                          std::string::npos) << r.err;
            }

            switch_refused += r.err.find("KOE_FOLDER を書き換えられません。") != std::string::npos;
            write_failed += r.err.find("の書き込みに失敗しました: ") != std::string::npos;
            read_failed += r.err.find("の読み込みに失敗しました: ") != std::string::npos;
            create_failed += r.err.find(".WAVを作成できません。") != std::string::npos;
        }
        EXPECT_GT(n, 20) << "suspiciously few calls for a run" << kind;
    }
    EXPECT_GT(switch_refused, 0) << "no run met a failing KOE_FOLDER write";
    EXPECT_GT(write_failed, 0) << "no run met a failing WAV write";
    EXPECT_GT(read_failed, 0) << "no run met a failing archive read";
    EXPECT_GT(create_failed, 0) << "no run met a WAV file that could not be created";
}

}  // namespace
