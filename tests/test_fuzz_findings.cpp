// What the fuzz targets found, each kept as a regression test beside its input in fuzz/corpus/,
// and the archive target's memory entry point held against plovenak's files.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz/koepac_memory.h"
#include "platform/platform.h"
#include "tests/unpacker_support.h"

namespace {

// A value name holding a line end used to be written into the store as it was, breaking its line:
// the store no longer parsed and every key of the registry was lost.
TEST(FuzzFindings, AValueNameWithALineEndIsRefusedAndTheStoreKept) {
    temp_dir dir;
    const std::string store = dir / "registry.reg";
    const std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Game]\r\n\"KOE_FOLDER\"=\"voice\"\r\n";
    write_file(store, text);
    setenv("VNAUDIO_REGISTRY", store.c_str(), 1);

    reg_key key = nullptr;
    ASSERT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY | REG_ACCESS_SET, &key), REG_OK);
    const unsigned char data[] = "x";
    EXPECT_NE(reg_set_value(key, "a\nb", REG_TYPE_SZ, data, sizeof data), REG_OK);
    EXPECT_NE(reg_set_value(key, "\n", REG_TYPE_SZ, data, sizeof data), REG_OK);
    // A carriage return alone stays inside its quotes and is stored like any other byte.
    EXPECT_EQ(reg_set_value(key, "c\rd", REG_TYPE_SZ, data, sizeof data), REG_OK);
    reg_close_key(key);

    ASSERT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY, &key), REG_OK);
    unsigned char got[16];
    uint32_t size = sizeof got;
    EXPECT_EQ(reg_query_value(key, "KOE_FOLDER", got, &size), REG_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), size), std::string("voice", 6));
    size = sizeof got;
    EXPECT_EQ(reg_query_value(key, "c\rd", got, &size), REG_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), size), std::string("x", 2));
    reg_close_key(key);
    unsetenv("VNAUDIO_REGISTRY");
}

std::vector<std::string> files_in(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> paths;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            bool archive = n.find('.') == std::string::npos ||
                           (n.size() > 4 && n.compare(n.size() - 4, 4, ".KOE") == 0);
            if (n.rfind(prefix, 0) == 0 && archive && n != "." && n != "..") paths.push_back(folder + "/" + n);
        }
        closedir(d);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The archive fuzz target decodes through the unpacker's own index reading and voice decoding
// into memory. What it sees must be what plovenak writes: the same archives refused with the same
// message, the same WAV bytes for every voice of the others.
TEST(FuzzEntryPoints, TheArchiveTargetSeesWhatPlovenakWrites) {
    if (!exists(bin_path("plovenak"))) GTEST_SKIP() << "plovenak was not built";
    std::vector<std::string> archives = files_in(source_path("fuzz/corpus/fuzz_koepac"), "");
    std::vector<std::string> bad = files_in(source_path("tests/corpus/bad"), "archive-");
    archives.insert(archives.end(), bad.begin(), bad.end());
    ASSERT_GE(archives.size(), 30u) << "the seed corpus or the bad corpus is missing";
    int refused = 0, unpacked = 0;
    for (const std::string& path : archives) {
        SCOPED_TRACE(path);
        std::string bytes = read_file(path);
        game_setup g;
        setup_game(g, "Vendor\\Game", "voice");
        make_dirs(g.game + "/voice");
        write_file(g.game + "/voice/Z001.KOE", bytes);
        run_result r = run_plovenak(g);

        std::vector<memory_voice> voices;
        testing::internal::CaptureStderr();
        int result = unpack_in_memory(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "voice\\Z001.KOE",
                                      &voices);
        std::string err = testing::internal::GetCapturedStderr();

        if (r.err.find("何も変更していません。") != std::string::npos) {
            // Refused before anything changed: the same message, under this program's caption.
            EXPECT_EQ(result, 1);
            EXPECT_EQ("plovenak.exe" + err.substr(std::min(err.find(':'), err.size())), r.err);
            ++refused;
            continue;
        }
        if (result != 0) {
            // The fuzz target's reading wants every voice whole and every id its own; plovenak
            // passes over a broken voice and writes the later of two voices of one id.
            EXPECT_TRUE(r.err.find("この音声は飛ばします。") != std::string::npos ||
                        r.err.find("索引に二度あります。") != std::string::npos) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> in_memory = {{"001/", ""}};
        for (const memory_voice& v : voices) {
            char name[64];
            snprintf(name, sizeof name, "001/Z001%05u.WAV", unsigned{v.id});
            in_memory[name] = v.wav;
        }
        EXPECT_TRUE(in_memory == snapshot(g.game + "/koewav")) << "the WAVs differ from plovenak's";
        ++unpacked;
    }
    EXPECT_GT(refused, 10);
    EXPECT_GT(unpacked, 5);
}

}  // namespace
