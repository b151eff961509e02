// The corpus of bad inputs in tests/corpus/bad: each archive, GAMEEXE.INI, music header and
// registry store goes through the program that reads it (see make_bad_corpus.cpp for how), and
// must end with the exit status and the exact messages of its NAME.expected. A refused input
// changes nothing it should not; a handled one gives NAME.out and NAME.table, or for an archive
// exactly the WAVs the literal decoder makes of it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/configurator_support.h"
#include "tests/unpacker_support.h"

namespace {

const std::string CORPUS = source_path("tests/corpus/bad");

std::vector<std::string> corpus_inputs() {
    std::vector<std::string> names;
    if (DIR* d = opendir(CORPUS.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            bool outcome = false;
            for (const char* ext : {".expected", ".out", ".table"})
                outcome |= n.size() > strlen(ext) && n.compare(n.size() - strlen(ext), strlen(ext), ext) == 0;
            if (!outcome) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

struct expectation {
    int status = -1;
    std::string err;
};

expectation expected_of(const std::string& name) {
    expectation e;
    std::string text = read_file(CORPUS + "/" + name + ".expected");
    size_t eol = text.find('\n');
    if (!starts_with(text, "exit ") || eol == std::string::npos) return e;
    e.status = std::stoi(text.substr(5, eol - 5));
    e.err = text.substr(eol + 1);
    return e;
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

// The voice archive as voice\Z001.KOE: plovenak's outcome, and the WAVs of a handled archive.
void check_archive(const std::string& bytes, const expectation& want) {
    game_setup g;
    setup_game(g, "Vendor\\Game", "voice");
    make_dirs(g.game + "/voice");
    write_file(g.game + "/voice/Z001.KOE", bytes);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(r.err, want.err);
    EXPECT_EQ(read_file(g.game + "/voice/Z001.KOE"), bytes) << "the archive changed";
    auto tree = snapshot(g.game + "/koewav");
    if (want.err.find("何も変更していません。") != std::string::npos) {
        EXPECT_TRUE(tree.empty()) << "a refused archive left a folder behind";
        return;
    }
    std::vector<reference_voice> voices;
    uint32_t rate = 0;
    ASSERT_TRUE(reference_unpack(bytes, &voices, &rate)) << "the corpus says handled, the literal decoder broken";
    std::map<std::string, std::string> expected;
    add_expected_tree(expected, voices, rate, "001");
    EXPECT_TRUE(tree == expected) << "the WAVs are not what the literal decoder makes";
}

// The game of the GAMEEXE.INI and music cases: its key names the music folder "BGM", which holds
// 60 seconds of 44.1 kHz stereo as t.wav and t.nwa.
void lay_out_music_game(const std::string& game, const std::string& registry) {
    make_dirs(game + "/BGM");
    write_file(game + "/BGM/t.wav", pcm_wav(44100, 2, 176400 * 60));
    write_file(game + "/BGM/t.nwa", nwa_of_frames(44100, 2, 44100 * 60));
    write_file(registry, registry_with_folder("Corpus", "BGM"));
}

void check_tormel(const std::string& name, const std::string& bytes, const expectation& want) {
    temp_dir dir;
    const std::string game = dir / "game";
    lay_out_music_game(game, dir / "registry.reg");
    bool music = starts_with(name, "music-");
    std::string engine = name.find("-avg32-") != std::string::npos ? "--avg32" : "--reallive";
    if (music) {
        write_file(game + "/GAMEEXE.INI", "#REGNAME = \"Corpus\"\r\n#DSTRACK = 0 - 44100 - 0 = \"m\" = \"M\"\r\n");
        write_file(game + "/BGM/m" + name.substr(name.rfind('.')), bytes);
    } else {
        write_file(game + "/GAMEEXE.INI", bytes);
    }
    auto before = snapshot(game);
    run_result r = run_program(bin_path("tormel"), {engine}, game, "", {"VNAUDIO_REGISTRY=" + (dir / "registry.reg")});
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(r.err, want.err);
    if (want.status != 0) {
        EXPECT_TRUE(snapshot(game) == before) << "a refused run changed the game folder";
        return;
    }
    for (const char* ext : {".out", ".table"}) {
        std::string expected_file = CORPUS + "/" + name + ext;
        ASSERT_TRUE(exists(expected_file)) << name << ext << " is missing";
        std::string produced = read_file(game + (std::string(ext) == ".out" ? "/GAMEEXE.INI" : "/_inmm.ini"));
        EXPECT_TRUE(produced == read_file(expected_file)) << "the new " << (std::string(ext) == ".out" ? "GAMEEXE.INI" : "_inmm.ini")
                                                          << " differs from " << name << ext << ":\n" << produced;
    }
    EXPECT_EQ(read_file(game + "/GAMEEXE.org"), music ? before["GAMEEXE.INI"] : bytes) << "the game's file is not kept";
}

// The registry store of the archives' game: plovenak must refuse it and leave it as it was.
void check_store(const std::string& bytes, const expectation& want) {
    game_setup g;
    setup_game(g, "Vendor\\Game", "voice");
    write_file(g.registry, bytes);
    run_result r = run_plovenak(g);
    std::string err = r.err;
    replace_all(err, g.registry, "<store>");
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(err, want.err);
    EXPECT_EQ(read_file(g.registry), bytes) << "the store changed";
    EXPECT_FALSE(exists(g.game + "/koewav"));
    EXPECT_FALSE(exists(g.game + "/koe_restore.reg"));
}

// Runs every input whose name starts with prefix through check; answers how many there were.
int run_inputs(const std::string& prefix, void (*check)(const std::string&, const std::string&, const expectation&)) {
    int count = 0;
    for (const std::string& name : corpus_inputs()) {
        if (!starts_with(name, prefix)) continue;
        SCOPED_TRACE(name);
        expectation want = expected_of(name);
        EXPECT_NE(want.status, -1) << name << ".expected is missing or does not start with \"exit N\"";
        if (want.status == -1) continue;
        check(name, read_file(CORPUS + "/" + name), want);
        ++count;
    }
    return count;
}

TEST(BadCorpus, EveryInputHasAnOutcomeAndAWayToRunIt) {
    std::vector<std::string> inputs = corpus_inputs();
    EXPECT_GE(inputs.size(), 80u) << "the corpus in " << CORPUS << " is missing or cut down";
    for (const std::string& name : inputs) {
        EXPECT_NE(expected_of(name).status, -1) << name;
        bool known = false;
        for (const char* prefix : {"archive-", "ini-avg32-", "ini-reallive-", "music-avg32-", "music-reallive-", "store-"})
            known |= starts_with(name, prefix);
        EXPECT_TRUE(known) << name << ": no rule says how to run it";
    }
}

TEST(BadCorpus, Archives) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    int n = run_inputs("archive-", [](const std::string&, const std::string& bytes, const expectation& want) {
        check_archive(bytes, want);
    });
    EXPECT_GE(n, 30);
}

TEST(BadCorpus, GameexeFiles) {
    if (!exists(bin_path("tormel"))) GTEST_SKIP() << "tormel was not built";
    EXPECT_GE(run_inputs("ini-", check_tormel), 15);
}

TEST(BadCorpus, MusicHeaders) {
    if (!exists(bin_path("tormel"))) GTEST_SKIP() << "tormel was not built";
    EXPECT_GE(run_inputs("music-", check_tormel), 25);
}

TEST(BadCorpus, RegistryStores) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    int n = run_inputs("store-", [](const std::string&, const std::string& bytes, const expectation& want) {
        check_store(bytes, want);
    });
    EXPECT_GE(n, 8);
}

}  // namespace
