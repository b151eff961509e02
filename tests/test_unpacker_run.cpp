// plovenak run as a program in temporary game folders with a registry store: the registry
// switch and restore file, the koewav tree, progress lines, the stops at the first failure, and
// every WAV read back by sox.
#include <gtest/gtest.h>

#include <filesystem>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <sstream>

#include "tests/unpacker_support.h"
#include "tools/koepac/koepac_writer.h"

namespace {

const char REGNAME[] = "Vendor\\Game";

// A voice of every block kind: a coded start from silence with escapes, a silent block, a raw
// block of noise, and a coded tail that wraps the accumulator.
koe_voice_data mixed_voice(uint16_t id, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> start(1024), raw(1024), tail;
    for (size_t k = 0; k < start.size(); ++k)
        start[k] = static_cast<uint8_t>(128 + static_cast<int>((k * 37 + seed) % 61) - 30);
    for (auto& c : raw) c = static_cast<uint8_t>(rng());
    for (int k = 0; k < 200; ++k) tail.push_back(static_cast<uint8_t>(240 + k));
    std::vector<koe_block> blocks = {{KOE_BLOCK_CODED, start, false},
                                     {KOE_BLOCK_SILENT, {}, false},
                                     {KOE_BLOCK_RAW, raw, false},
                                     {KOE_BLOCK_CODED, tail, false}};
    koe_voice_data v;
    std::string error;
    EXPECT_TRUE(pack_blocks(id, blocks, &v, &error)) << error;
    return v;
}

koe_voice_data short_voice(uint16_t id, std::vector<uint8_t> codes) {
    koe_voice_data v;
    std::string error;
    EXPECT_TRUE(pack_voice(id, codes, &v, &error)) << error;
    return v;
}

// The files an archive must give in koewav/<code>/, decoded by the literal decoder.
void add_expected(std::map<std::string, std::string>& tree, const std::string& archive,
                  const std::string& code) {
    std::vector<reference_voice> voices;
    uint32_t rate = 0;
    ASSERT_TRUE(reference_unpack(archive, &voices, &rate));
    add_expected_tree(tree, voices, rate, code);
}

// Reads every WAV below dir with sox's own reader and checks rate, channels and sample count
// against the header the unpacker wrote.
void expect_sox_reads_all(const std::string& dir, const std::map<std::string, std::string>& tree) {
    int checked = 0;
    for (const auto& [name, bytes] : tree) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".WAV") != 0) continue;
        run_result r = run_program(find_program("soxi"), {dir + "/" + name}, "");
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        uint32_t rate = static_cast<uint8_t>(bytes[24]) | (static_cast<uint8_t>(bytes[25]) << 8) |
                        (static_cast<uint8_t>(bytes[26]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(bytes[27])) << 24);
        EXPECT_NE(r.out.find("Channels       : 1\n"), std::string::npos) << name << "\n" << r.out;
        EXPECT_NE(r.out.find("Sample Rate    : " + std::to_string(rate) + "\n"), std::string::npos) << name << "\n" << r.out;
        EXPECT_NE(r.out.find("Precision      : 16-bit\n"), std::string::npos) << name << "\n" << r.out;
        EXPECT_NE(r.out.find("= " + std::to_string((bytes.size() - 44) / 2) + " samples"), std::string::npos)
            << name << "\n" << r.out;
        ++checked;
    }
    EXPECT_GT(checked, 0) << "no WAV file to check";
}

struct Unpacker : testing::Test {
    game_setup g;
    void SetUp() override {
        if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
        setup_game(g, REGNAME, "voice");
        make_dirs(g.game + "/voice");
    }
    void put_archive(const std::string& name, const std::string& bytes) { write_file(g.game + "/voice/" + name, bytes); }
    std::string koewav() const { return g.game + "/koewav"; }
    std::string koe_folder() const { return registry_value(g.registry, REGNAME, "KOE_FOLDER"); }
    std::string restore_file() const { return read_file(g.game + "/koe_restore.reg"); }
    std::string restore_for(const std::string& escaped_value) const {
        return "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Game]\r\n\"KOE_FOLDER\"=\"" + escaped_value + "\"\r\n";
    }
};

TEST_F(Unpacker, UnpacksEveryArchiveIntoItsOwnFolder) {
    std::string a1 = build_koepac({mixed_voice(5, 1), short_voice(0, {128, 130, 140, 100}), mixed_voice(65535, 2)}, 0);
    std::string a2 = build_koepac({short_voice(12, std::vector<uint8_t>(3000, 129))}, 44100);
    std::string empty = build_koepac({}, 0);
    put_archive("Z001.KOE", a1);
    put_archive("Z002.KOE", a2);
    put_archive("Z003.KOE", empty);

    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Z001.KOE -> 001\\Z00100005.WAV\n"
              "Z001.KOE -> 001\\Z00100000.WAV\n"
              "Z001.KOE -> 001\\Z00165535.WAV\n"
              "Z002.KOE -> 002\\Z00200012.WAV\n");
    std::map<std::string, std::string> expected;
    add_expected(expected, a1, "001");
    add_expected(expected, a2, "002");
    add_expected(expected, empty, "003");
    std::map<std::string, std::string> tree = snapshot(koewav());
    EXPECT_EQ(tree, expected);
    // Rate 0 stands for 22050; another rate is copied with twice it as the byte rate.
    EXPECT_EQ(tree["001/Z00100000.WAV"].substr(24, 8), std::string("\x22\x56\0\0\x44\xAC\0\0", 8));
    EXPECT_EQ(tree["002/Z00200012.WAV"].substr(24, 8), std::string("\x44\xAC\0\0\x88\x58\x01\0", 8));

    EXPECT_EQ(koe_folder(), "koewav");
    EXPECT_EQ(restore_file(), restore_for("voice"));
}

// UTF-16LE with a byte-order mark, from UTF-8 text of the Basic Multilingual Plane.
std::string utf16_file(const std::string& utf8) {
    std::string out = "\xFF\xFE";
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        unsigned u = c, extra = 0;
        if (c >= 0xE0) u = c & 0x0F, extra = 2;
        else if (c >= 0xC0) u = c & 0x1F, extra = 1;
        for (++i; extra > 0; --extra, ++i) u = u << 6 | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

// On a terminal the voices are counted on one line redrawn in place, instead of a line each.
TEST_F(Unpacker, ATerminalShowsOneProgressLineInsteadOfALinePerVoice) {
    put_archive("Z001.KOE", build_koepac({short_voice(1, {128, 130}), short_voice(2, {140})}, 0));
    put_archive("Z002.KOE", build_koepac({short_voice(3, {128})}, 0));
    std::string program = bin_path("plovenak");
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0) << "no pseudo-terminal";
    if (pid == 0) {
        if (chdir(g.game.c_str()) != 0) _exit(126);
        setenv("VNAUDIO_REGISTRY", g.registry.c_str(), 1);
        execl(program.c_str(), "plovenak", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    EXPECT_EQ(shown.find("->"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\r[##############################] 3 / 3 個の音声"), std::string::npos) << shown;
    EXPECT_EQ(snapshot(koewav()).size(), 5u);
}

// A folder dropped onto plovenak: the run happens there as if started in it; a file or two things
// dropped stop it before anything changes.
TEST_F(Unpacker, ADroppedGameFolderIsWhereTheRunHappens) {
    put_archive("Z001.KOE", build_koepac({short_voice(1, {128, 130})}, 0));
    write_file(g.root / "readme.txt", "not a folder");
    struct {
        std::vector<std::string> args;
        int status;
        const char* box;
    } cases[] = {
        {{"readme.txt"}, 1, "plovenak.exe: readme.txtはフォルダではありません。ファイルではなくフォルダをドロップしてください。\n"},
        {{"game", "readme.txt"}, 1, "plovenak.exe: plovenak.exeにドロップできるのはフォルダ一つだけです。\n"},
        {{"game"}, 0, ""},
    };
    for (const auto& c : cases) {
        run_result r = run_program(bin_path("plovenak"), c.args, g.root.path, "", {"VNAUDIO_REGISTRY=" + g.registry});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, c.box);
        EXPECT_EQ(exists(koewav() + "/001/Z00100001.WAV"), c.status == 0);
    }
    EXPECT_EQ(koe_folder(), "koewav");
}

TEST_F(Unpacker, RestoreFileRestoresTheExactValue) {
    const std::string HYOU = "\x95\x5C", SO = "\x83\x5C", DOTS = "\x81\x63";   // 表 ソ … (表, ソ: trail 0x5C)
    const std::string VOICE_TABLE = "\x83\x7B\x83\x43\x83\x58" + HYOU;          // ボイス表
    const std::string GAME_KEY = "Vendor\\\x83\x51\x81\x5B\x83\x80";            // Vendor\ゲーム
    const std::string REG4 = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\";
    struct restore_case {
        const char* code_page;
        std::string regname, value, folder, file;   // folder: the value's folder on disk (UTF-8)
        std::string stored;                         // the value as the store keeps it (UTF-8)
    } cases[] = {
        // Japanese system: REGEDIT4 in CP932; only a backslash of its own is doubled.
        {"932", REGNAME, "Games\\" + HYOU + "\\voice", "Games/表/voice",
         REG4 + "Vendor\\Game]\r\n\"KOE_FOLDER\"=\"Games\\\\" + HYOU + "\\\\voice\"\r\n", "Games\\表\\voice"},
        {"932", REGNAME, VOICE_TABLE, "ボイス表", REG4 + "Vendor\\Game]\r\n\"KOE_FOLDER\"=\"" + VOICE_TABLE + "\"\r\n", "ボイス表"},
        {"932", GAME_KEY, "koe" + DOTS + SO, "koe…ソ", REG4 + GAME_KEY + "]\r\n\"KOE_FOLDER\"=\"koe" + DOTS + SO + "\"\r\n", "koe…ソ"},
        // Elsewhere, ASCII stays REGEDIT4; anything beyond it needs regedit's Unicode form.
        {"1252", REGNAME, "old\\voice", "old/voice", REG4 + "Vendor\\Game]\r\n\"KOE_FOLDER\"=\"old\\\\voice\"\r\n", "old\\voice"},
        {"1252", REGNAME, VOICE_TABLE + "\\\"", "ボイス表/\"",
         utf16_file("Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\Game]\r\n"
                    "\"KOE_FOLDER\"=\"ボイス表\\\\\\\"\"\r\n"), "ボイス表\\\""},
        {"1252", GAME_KEY, "voice", "voice",
         utf16_file("Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\Vendor\\ゲーム]\r\n"
                    "\"KOE_FOLDER\"=\"voice\"\r\n"), "voice"},
    };
    std::string archive = build_koepac({short_voice(1, {1, 2})}, 0);
    for (const restore_case& c : cases) {
        game_setup s;
        setup_game(s, c.regname, c.value);
        make_dirs(s.game + "/" + c.folder);
        write_file(s.game + "/" + c.folder + "/Z001.KOE", archive);
        std::vector<std::string> env = {std::string("VNAUDIO_ANSI_CODE_PAGE=") + c.code_page};
        run_result r = run_plovenak(s, "", env);
        SCOPED_TRACE(std::string(c.code_page) + " " + c.value + "\n" + r.err);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(s.game + "/koe_restore.reg"), c.file);
        EXPECT_EQ(registry_value(s.registry, c.regname, "KOE_FOLDER"), "koewav");
        // A second run reads the file back, in either form, and puts that value back at a Yes.
        r = run_plovenak(s, "y\n", env);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("plovenak.exe: KOE_FOLDERを「"), std::string::npos);
        EXPECT_EQ(registry_value(s.registry, c.regname, "KOE_FOLDER"), c.stored) << "the store keeps Japanese values in UTF-8";
    }
}

TEST_F(Unpacker, NoRestoreFileMeansNoSwitch) {
    put_archive("Z001.KOE", build_koepac({short_voice(1, {1, 2})}, 0));
    // Something in the way of the restore file's work name: it cannot be written.
    make_dirs(g.game + "/koe_restore.reg.new/x");
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("plovenak.exe: koe_restore.regの作成に失敗しました: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("KOE_FOLDERは変更していません。"), std::string::npos) << r.err;
    EXPECT_EQ(koe_folder(), "voice");
    EXPECT_FALSE(exists(g.game + "/koe_restore.reg"));
    EXPECT_FALSE(exists(koewav()));
}

TEST_F(Unpacker, SecondRunOffersTheWayBack) {
    put_archive("Z001.KOE", build_koepac({short_voice(1, {1, 2, 3, 4})}, 0));
    ASSERT_EQ(run_plovenak(g).status, 0);
    auto first = snapshot(g.game);
    const std::string question = "plovenak.exe: koewavには音声が全部（1個）そろっています。\n"
                                 "KOE_FOLDERをkoe_restore.regに記録された元の値「voice」に戻しますか？\n"
                                 "「いいえ」なら何も変更しません。\n";

    // No (or no answer) changes nothing.
    for (std::string answer : {"n\n", ""}) {
        run_result r = run_plovenak(g, answer);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(question, 0), 0u) << r.err;
        EXPECT_TRUE(snapshot(g.game) == first);
        EXPECT_EQ(koe_folder(), "koewav");
    }
    // Yes puts the game's folder back and leaves koewav to the player.
    run_result r = run_plovenak(g, "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("plovenak.exe: KOE_FOLDERを「voice」に戻しました。koewavフォルダは削除してかまいません。\n"),
              std::string::npos) << r.err;
    EXPECT_EQ(koe_folder(), "voice");
    EXPECT_TRUE(snapshot(g.game) == first);

    // koewav still there: a new run will not mix with it; once removed, the run unpacks again.
    r = run_plovenak(g);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plovenak.exe: フォルダ koewav が既にあります。中身を確かめ、要らなければ削除してから、"
                     "もう一度実行してください。何も変更していません。\n");
    EXPECT_EQ(koe_folder(), "voice");
    std::filesystem::remove_all(koewav());
    r = run_plovenak(g, "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(snapshot(g.game) == first);
}

TEST_F(Unpacker, EverySpellingOfKoewavIsTheSecondRun) {
    put_archive("Z001.KOE", build_koepac({short_voice(1, {1, 2, 3, 4})}, 0));
    ASSERT_EQ(run_plovenak(g).status, 0);
    auto first = snapshot(g.game);
    std::string full = std::filesystem::canonical(g.game).string();
    for (std::string spelling : std::vector<std::string>{"koewav", "KoeWav", ".\\koewav", "koewav  ", "koewav.", "koewav\\", "./KOEWAV",
                                 "voice\\..\\koewav", full + "/koewav", full + "\\KOEWAV "}) {
        SCOPED_TRACE(spelling);
        write_file(g.registry, registry_text(REGNAME, "KOE_FOLDER", spelling));
        run_result r = run_plovenak(g, "n\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("元の値「voice」に戻しますか？"), std::string::npos) << r.err;
        EXPECT_TRUE(snapshot(g.game) == first) << "the restore file must keep the game's folder";
    }
    // A restore file that records koewav itself cannot tell the game's folder.
    write_file(g.game + "/koe_restore.reg", restore_for(".\\\\KoeWav"));
    run_result r = run_plovenak(g, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plovenak.exe: Software\\Vendor\\Game\\KOE_FOLDERは既にkoewavを指していて、"
                     "koe_restore.regに記録された値もkoewavです。ゲームの元の音声フォルダが分からないため、"
                     "何も変更していません。\n");
}

TEST_F(Unpacker, RepeatedIdsAndBrokenVoices) {
    // Id 3 twice: the later entry is the voice written, with a notice and a closing box.
    std::string repeated = build_koepac({short_voice(3, {10, 20}), short_voice(4, {1}), short_voice(3, {200, 210})}, 0);
    // The last voice's blocks are cut off by the end of the file; its index entry is sound.
    std::string cut = build_koepac({short_voice(1, {5, 6}), short_voice(2, std::vector<uint8_t>(300, 7))}, 0);
    cut.resize(cut.size() - 10);
    put_archive("Z001.KOE", repeated);
    put_archive("Z002.KOE", cut);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 1) << "a voice was passed over";
    EXPECT_EQ(r.out, "Z001.KOE -> 001\\Z00100004.WAV\nZ001.KOE -> 001\\Z00100003.WAV\nZ002.KOE -> 002\\Z00200001.WAV\n");
    EXPECT_EQ(r.err,
              "voice\\Z001.KOE: 音声00003が索引に二度あります。後の項目の音声を書き出します。\n"
              "voice\\Z002.KOE: 音声00002のデータがファイルに収まりません。この音声は飛ばします。\n"
              "plovenak.exe: 音声をすべて書き出しました。ただし、索引に二度ある音声番号が1個ありました"
              "（最初はvoice\\Z001.KOEの音声00003）。それぞれ後の項目の音声を書き出しています。\n"
              "plovenak.exe: データが壊れている音声1個を飛ばしました（最初はvoice\\Z002.KOEの音声00002）。"
              "ほかの音声3個はすべて書き出してあり、ゲームはkoewavフォルダから音声を読みます。\n");
    std::map<std::string, std::string> expected;
    add_expected(expected, repeated, "001");
    add_expected(expected, cut, "002");
    EXPECT_EQ(snapshot(koewav()), expected);
    EXPECT_EQ(snapshot(koewav())["001/Z00100003.WAV"], make_wav(expanded({200, 210}), 22050)) << "the later one wins";
    // Nothing is missing for a second run: it offers the way back.
    r = run_plovenak(g, "n\n");
    EXPECT_NE(r.err.find("音声が全部（3個）そろっています"), std::string::npos) << r.err;
}

// Enough voices for both threads to take several voices at a time, in an order the ids do not
// follow, with a repeated id and a broken last voice.
std::string many_voices_archive(std::vector<std::string>* lines) {
    std::vector<koe_voice_data> voices;
    for (int k = 0; k < 300; ++k) {
        uint16_t id = static_cast<uint16_t>((k * 7919) % 1000);
        voices.push_back(k % 50 == 7 ? mixed_voice(id, static_cast<unsigned>(k))
                                     : short_voice(id, std::vector<uint8_t>(1 + (k * 37) % 900, static_cast<uint8_t>(k))));
    }
    voices[120] = short_voice(voices[10].id, {1, 2, 3});   // replaces the voice of entry 10
    voices.push_back(short_voice(1001, std::vector<uint8_t>(400, 9)));
    std::string archive = build_koepac(voices, 0);
    archive.resize(archive.size() - 5);
    for (size_t k = 0; k + 1 < voices.size(); ++k) {
        if (k == 10) continue;
        char line[64];
        snprintf(line, sizeof line, "Z001.KOE -> 001\\Z001%05u.WAV\n", unsigned{voices[k].id});
        lines->push_back(line);
    }
    return archive;
}

TEST_F(Unpacker, ManyVoicesComeOutInTheIndexsOrderWhicheverThreadWritesThem) {
    std::vector<std::string> lines;
    std::string archive = many_voices_archive(&lines);
    put_archive("Z001.KOE", archive);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 1) << "a voice was passed over";
    std::string all;
    for (const std::string& line : lines) all += line;
    EXPECT_EQ(r.out, all);
    EXPECT_NE(r.err.find("音声01001のデータがファイルに収まりません"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ほかの音声299個はすべて書き出してあり"), std::string::npos) << r.err;
    std::map<std::string, std::string> expected;
    add_expected(expected, archive, "001");
    EXPECT_EQ(snapshot(koewav()), expected);
}

// Whichever thread meets a failure, and however many voices the other finishes meanwhile, the
// count in the closing box is what is on the disk, every file there is whole, and a second run
// completes the tree.
TEST_F(Unpacker, AFailureMidArchiveCountsWhatIsOnTheDisk) {
    std::vector<std::string> lines;
    std::string archive = many_voices_archive(&lines);
    put_archive("Z001.KOE", archive);
    std::map<std::string, std::string> expected;
    add_expected(expected, archive, "001");
    const std::string log = g.root / "calls.log";
    run_result clean = run_plovenak(g, "", {"VNAUDIO_FAULT_LOG=" + log});
    ASSERT_EQ(snapshot(koewav()), expected) << clean.err;
    long calls = 0;
    ASSERT_EQ(sscanf(read_file(log).c_str(), "calls=%ld", &calls), 1);

    int stopped = 0;
    for (const char* kind : {"", ":full"}) {
        for (long at : {calls / 2, calls * 9 / 10}) {
            SCOPED_TRACE("fault " + std::to_string(at) + kind);
            std::filesystem::remove_all(koewav());
            std::filesystem::remove(g.game + "/koe_restore.reg");
            write_file(g.registry, registry_text(REGNAME, "KOE_FOLDER", "voice"));
            run_result r = run_plovenak(g, "", {"VNAUDIO_FAULT=" + std::to_string(at) + kind});
            EXPECT_EQ(r.status, 1);
            std::map<std::string, std::string> tree = voice_tree(koewav());
            size_t on_disk = 0;
            for (const auto& [name, bytes] : tree) {
                if (name.find('.') == std::string::npos) continue;   // a folder
                auto it = expected.find(name);
                EXPECT_TRUE(it != expected.end() && it->second == bytes) << name << " is not a whole voice";
                ++on_disk;
            }
            // A failed read the runtime tries again (a seek's read-ahead) costs nothing.
            if (r.err.find("展開を途中で止めました") == std::string::npos) {
                EXPECT_EQ(tree, expected) << r.err;
                continue;
            }
            ++stopped;
            EXPECT_NE(r.err.find("音声299個のうち" + std::to_string(on_disk) + "個を書き出してあります"), std::string::npos)
                << on_disk << " on the disk\n" << r.err;
            size_t told = 0;
            for (size_t at_line = 0; (at_line = r.out.find(" -> ", at_line)) != std::string::npos; ++at_line) ++told;
            EXPECT_TRUE(told >= on_disk + 1 && told <= on_disk + 2) << told << " lines for " << on_disk << " voices";
            r = run_plovenak(g, "y\n");
            EXPECT_EQ(snapshot(koewav()), expected) << r.err;
        }
    }
    EXPECT_GE(stopped, 2) << "the disk filling up must stop the run";
}

TEST_F(Unpacker, ArchivesThatCannotBeUnpackedLeaveTheGameUntouched) {
    std::string too_many = "KOEPAC" + std::string(10, '\0');
    put_u32(too_many, 65537);
    too_many += std::string(12, '\0') + std::string(8 * 65537, '\0');
    // 65,536 entries naming one voice of 65,535 silent blocks: 8 TiB of WAV from 655 KB.
    std::string bomb = "KOEPAC" + std::string(10, '\0');
    put_u32(bomb, 65536);
    bomb += std::string(12, '\0');
    uint32_t voice_at = 32 + 8 * 65536;
    for (uint32_t id = 0; id < 65536; ++id) {
        bomb += static_cast<char>(id & 0xFF);
        bomb += static_cast<char>(id >> 8);
        bomb += "\xFF\xFF";
        put_u32(bomb, voice_at);
    }
    bomb += std::string(2 * 65535, '\0');
    std::string past_end = build_koepac({short_voice(1, {1})}, 0);
    past_end[32 + 6] = '\x10';   // its size table far beyond the end
    const std::string NOTHING = "\n何も変更していません。\n";
    const struct {
        std::string archive, free_space, message;
    } cases[] = {
        {too_many, "", "voice\\Z100.KOEは壊れています。索引の項目数65537は65536を超えています。" + NOTHING},
        {std::string("KOEPAC\0", 7) + std::string(9, 'x') + "\x10\0\0\0", "", "voice\\Z100.KOEは壊れています。ファイルが途中で切れています。" + NOTHING},
        {past_end, "", "voice\\Z100.KOEは壊れています。音声00001のデータがファイルに収まりません。" + NOTHING},
        {"#CAPTION = \"not a voice archive\"\r\n", "", "voice\\Z100.KOEはKOE形式ではないようです。" + NOTHING},
        {"", "", "voice\\Z100.KOEをオープンできません。" + NOTHING},   // a folder of that name
        {bomb, "", "音声を展開するには8.0 TBの空きが必要ですが、koewavを置くディスクには"},
        {build_koepac({short_voice(1, std::vector<uint8_t>(40000, 9))}, 0), "100000",
         "音声を展開するには104 KBの空きが必要ですが、koewavを置くディスクには98 KBしか空いていません。\n"
         "空きを作ってから、もう一度実行してください。何も変更していません。\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        game_setup s;
        setup_game(s, REGNAME, "voice");
        make_dirs(s.game + "/voice");
        write_file(s.game + "/voice/Z001.KOE", build_koepac({short_voice(1, {1})}, 0));
        write_file(s.game + "/voice/Z002.KOE", build_koepac({short_voice(2, {1})}, 0));
        if (c.archive.empty()) make_dirs(s.game + "/voice/Z100.KOE");
        else write_file(s.game + "/voice/Z100.KOE", c.archive);
        auto before = snapshot(s.root.path);
        std::vector<std::string> env;
        if (!c.free_space.empty()) env.push_back("VNAUDIO_FREE_SPACE=" + c.free_space);
        run_result r = run_plovenak(s, "", env);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("plovenak.exe: " + c.message, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(snapshot(s.root.path) == before) << "the game was changed";
    }
}

TEST_F(Unpacker, NoArchiveChangesNothing) {
    put_archive("Z0001.KOE", build_koepac({short_voice(1, {1, 2})}, 0));
    put_archive("X001.KOE", build_koepac({short_voice(1, {1, 2})}, 0));
    auto before = snapshot(g.root.path);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plovenak.exe: フォルダ voice 内にKOEファイルが見つかりません。\n何も変更していません。\n");
    EXPECT_TRUE(snapshot(g.root.path) == before);
}

TEST_F(Unpacker, ArchiveCodeIsTakenAsFound) {
    std::string a = build_koepac({short_voice(7, {128, 129})}, 0);
    put_archive("z0a1.koe", a);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "z0a1.koe -> 0a1\\Z0a100007.WAV\n");
    std::map<std::string, std::string> expected;
    add_expected(expected, a, "0a1");
    EXPECT_EQ(snapshot(koewav()), expected);
}

TEST_F(Unpacker, AFailureAfterTheSwitchSaysWhereTheGameStands) {
    // Two names that give the same code (Linux only): the second archive's folder exists already.
    std::string a = build_koepac({short_voice(1, {1, 2})}, 0);
    put_archive("Z001.KOE", a);
    put_archive("z001.KOE", a);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "plovenak.exe: フォルダ 001 を作成できません: File exists\n"
                     "plovenak.exe: 展開を途中で止めました。音声2個のうち1個を書き出してあります。\n"
                     "ゲームは今、音声をkoewavフォルダから読みます（まだ書き出していない音声は鳴りません）。\n"
                     "続きを展開するには、原因を取り除いてからplovenakをもう一度実行してください。"
                     "元に戻すには、koe_restore.regを取り込んでから（ダブルクリック）、koewavフォルダを削除してください。\n");
    EXPECT_EQ(r.out, "Z001.KOE -> 001\\Z00100001.WAV\n");
    EXPECT_EQ(koe_folder(), "koewav");
}

TEST_F(Unpacker, VoiceFolderPaths) {
    // Relative values are meant from the game folder, absolute ones as they are.
    std::string a = build_koepac({short_voice(4, {50, 60})}, 0);
    make_dirs(g.game + "/Sound/Koe");
    write_file(g.game + "/Sound/Koe/Z777.KOE", a);
    write_file(g.registry, registry_text(REGNAME, "KOE_FOLDER", "sound\\koe"));
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(koewav() + "/777/Z77700004.WAV"), make_wav(expanded({50, 60}), 22050));
    EXPECT_EQ(restore_file(), restore_for("sound\\\\koe"));

    game_setup g2;
    make_dirs(g2.root / "elsewhere");
    write_file(g2.root / "elsewhere/Z778.KOE", a);
    setup_game(g2, REGNAME, g2.root / "elsewhere");
    r = run_plovenak(g2);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(g2.game + "/koewav/778/Z77800004.WAV"));
}

TEST_F(Unpacker, ArchiveNamesThatMakeNoFolderAreRefused) {
    // Possible on Linux only: a backslash inside a file name; and a code that would end inside a
    // CP932 character ('?' before the dot may match nothing, so "Z12あ" is a match).
    std::string a = build_koepac({short_voice(1, {1, 2})}, 0);
    for (std::string name : {"Z..\\.KOE", "Z12\xE3\x81\x82.KOE"}) {
        game_setup s;
        setup_game(s, REGNAME, "voice");
        make_dirs(s.game + "/voice");
        write_file(s.game + "/voice/" + name, a);
        run_result r = run_plovenak(s);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "plovenak.exe: voice\\" + name + "の名前からフォルダ名を作れません。\n何も変更していません。\n");
        EXPECT_FALSE(exists(s.game + "/koewav")) << name;
        EXPECT_FALSE(exists(s.game + "/Z..00001.WAV"));
    }
    // A whole character is a code like any other; its folder and files take UTF-8 names on disk.
    put_archive("Z\xE3\x81\x82" "1.KOE", a);
    run_result r = run_plovenak(g);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(koewav() + "/\xE3\x81\x82" "1/Z\xE3\x81\x82" "100001.WAV"));
}

TEST_F(Unpacker, StopsBeforeAnythingWhenTheGameIsNotSetUp) {
    struct setup_case {
        std::string gameexe, store, message;
    };
    std::string store = registry_text(REGNAME, "KOE_FOLDER", "voice");
    std::vector<setup_case> cases = {
        {"", store, "GAMEEXE.INIがあるフォルダで実行してください。"},
        {"#REGNAME = \"\"\r\n #REGNAME = \"Vendor\\Game\"\r\n", store, "GAMEEXE.INIに項目#REGNAMEが見つかりません。"},
        {"#REGNAME = \"Other\"\r\n", store, "レジストリ Software\\Other を開けません。"},
        {"#REGNAME=\"Vendor\\Game\"\r\n", registry_text(REGNAME, "BGM_FOLDER", "bgm"),
         "Software\\Vendor\\Game\\KOE_FOLDER を読めません。"},
        {"#REGNAME = \"" + std::string(247, 'n') + "\"\r\n", store, "GAMEEXE.INIの項目#REGNAMEが長すぎます。"},
    };
    for (const setup_case& c : cases) {
        game_setup s;
        setup_game(s, REGNAME, "voice");
        write_file(s.registry, c.store);
        if (c.gameexe.empty()) remove((s.game + "/GAMEEXE.INI").c_str());
        else write_file(s.game + "/GAMEEXE.INI", c.gameexe);
        std::map<std::string, std::string> before = snapshot(s.root.path);
        run_result r = run_plovenak(s);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "plovenak.exe: " + c.message + "\n");
        EXPECT_EQ(snapshot(s.root.path), before) << c.message;
    }
}

TEST_F(Unpacker, SoxReadsEveryWavWritten) {
    if (!have_program("soxi")) GTEST_SKIP() << "soxi (sox) is not installed: no independent WAV reader";
    std::mt19937 rng(11);
    std::vector<uint8_t> noise(5000);
    for (auto& c : noise) c = static_cast<uint8_t>(rng());
    std::vector<koe_block> long_voice(700, koe_block{KOE_BLOCK_SILENT, {}, false});
    long_voice.push_back(koe_block{KOE_BLOCK_CODED, noise, false});
    koe_voice_data longest;
    std::string error;
    ASSERT_TRUE(pack_blocks(9, long_voice, &longest, &error)) << error;
    put_archive("Z001.KOE", build_koepac({mixed_voice(1, 5), short_voice(2, noise), longest}, 0));
    put_archive("Z002.KOE", build_koepac({mixed_voice(3, 6)}, 44100));
    put_archive("Z003.KOE", build_koepac({short_voice(4, {1, 2, 3, 4, 5, 6})}, 8000));
    run_result r = run_plovenak(g);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> tree = snapshot(koewav());
    EXPECT_EQ(tree.size(), 8u);
    expect_sox_reads_all(koewav(), tree);
}

TEST_F(Unpacker, SpokenVoiceRoundTrip) {
    if (!have_program("espeak-ng")) GTEST_SKIP() << "espeak-ng is not installed: no real voice to pack";
    ASSERT_TRUE(exists(bin_path("koepack"))) << "koepack was not built";
    std::string wav = g.root / "spoken.wav";
    run_result say = run_program(find_program("espeak-ng"),
                                 {"-w", wav, "The quick brown fox jumps over the lazy dog, twice."}, "");
    ASSERT_EQ(say.status, 0) << say.err;
    std::vector<int16_t> samples;
    uint32_t rate = 0;
    std::string error;
    ASSERT_TRUE(read_wav_mono16(read_file(wav), &samples, &rate, &error)) << error;
    ASSERT_GT(samples.size(), 22050u) << "expected more than a second of speech";

    run_result pack = run_program(bin_path("koepack"), {g.game + "/voice/Z321.KOE", "42=" + wav, wav}, "");
    ASSERT_EQ(pack.status, 0) << pack.err;
    run_result r = run_plovenak(g);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Z321.KOE -> 321\\Z32100042.WAV\nZ321.KOE -> 321\\Z32100043.WAV\n");

    // The unpacked voice is the companded original, one sample longer when the count was odd.
    std::vector<int16_t> expected = expanded(compand_samples(samples));
    if (expected.size() % 2) expected.push_back(expected.back());
    std::map<std::string, std::string> tree = snapshot(koewav());
    EXPECT_EQ(tree["321/Z32100042.WAV"], make_wav(expected, rate));
    EXPECT_EQ(tree["321/Z32100043.WAV"], make_wav(expected, rate));
    if (have_program("soxi")) expect_sox_reads_all(koewav(), tree);

    // Speech is neither silence nor noise: most of it must have gone into coded blocks.
    std::string archive = read_file(g.game + "/voice/Z321.KOE");
    size_t table = static_cast<uint8_t>(archive[36]) | (static_cast<uint8_t>(archive[37]) << 8);
    unsigned blocks = static_cast<uint8_t>(archive[34]) | (static_cast<uint8_t>(archive[35]) << 8);
    unsigned coded = 0;
    for (unsigned b = 0; b < blocks; ++b) {
        unsigned size = static_cast<uint8_t>(archive[table + 2 * b]) | (static_cast<uint8_t>(archive[table + 2 * b + 1]) << 8);
        coded += size != 0 && size != 1024;
    }
    EXPECT_GT(coded, blocks / 2) << coded << " coded blocks of " << blocks;
}

}  // namespace
