// HKEY_CURRENT_USER as a REGEDIT4 file: queries and their size rules, updates that keep the rest of
// the file and replace it atomically, letter case and CP932 key paths, and malformed stores.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

class RegistryTest : public testing::Test {
protected:
    temp_dir dir;
    std::string store;
    void SetUp() override {
        store = dir / "registry.reg";
        setenv("VNAUDIO_REGISTRY", store.c_str(), 1);
        fault_arm(0, FAULT_FAIL);
    }
    void TearDown() override {
        fault_arm(0, FAULT_FAIL);
        unsetenv("VNAUDIO_REGISTRY");
    }
    // The value as a string, "(error N)" when the query fails.
    std::string query(const char* key_path, const char* name, uint32_t room = 256) {
        reg_key key = nullptr;
        long rc = reg_open_key(key_path, REG_ACCESS_QUERY, &key);
        if (rc != REG_OK) return "(open error " + std::to_string(rc) + ")";
        std::string buf(room, '\xEE');
        uint32_t size = room;
        rc = reg_query_value(key, name, reinterpret_cast<unsigned char*>(&buf[0]), &size);
        reg_close_key(key);
        if (rc != REG_OK) return "(error " + std::to_string(rc) + ")";
        return buf.substr(0, size);
    }
    long set(const char* key_path, const char* name, const std::string& data, unsigned access = 3) {
        reg_key key = nullptr;
        long rc = reg_open_key(key_path, access, &key);
        if (rc != REG_OK) return rc;
        rc = reg_set_value(key, name, REG_TYPE_SZ, reinterpret_cast<const unsigned char*>(data.data()),
                           static_cast<uint32_t>(data.size()));
        reg_close_key(key);
        return rc;
    }
};

// Runs f with standard error going to a file; answers what it wrote.
template <typename F>
std::string stderr_of(F f) {
    temp_dir d;
    std::string path = d / "err";
    fflush(stderr);
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    f();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return read_file(path);
}

const char GAME_STORE[] =
    "REGEDIT4\n"
    "\n"
    "; written by hand\n"
    "[HKEY_CURRENT_USER\\Software\\VisualArts\\Game]\n"
    "\"BGM_FOLDER\"=\"BGM\"\n"
    "\"KOE_FOLDER\"=\"KOE\"\n"
    "\"Count\"=dword:0000002a\n"
    "\"Blob\"=hex:01,02,\\\n"
    "  03\n"
    "\n"
    "[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\n"
    "\"SMX_Path\"=\"C:\\\\tools\\\\scmpx.exe\"\n";

TEST_F(RegistryTest, ValuesReadAsStoredWithTheirTerminator) {
    write_file(store, GAME_STORE);
    EXPECT_EQ(query("Software\\VisualArts\\Game", "BGM_FOLDER"), std::string("BGM\0", 4));
    EXPECT_EQ(query("Software\\vurlo\\_inmm.dll", "SMX_Path"), std::string("C:\\tools\\scmpx.exe\0", 19));
    EXPECT_EQ(query("Software\\VisualArts\\Game", "Count"), std::string("\x2a\0\0\0", 4));
    EXPECT_EQ(query("Software\\VisualArts\\Game", "Blob"), "\x01\x02\x03");
    EXPECT_EQ(query("Software\\VisualArts\\Game", "Missing"), "(error 2)");
    EXPECT_EQ(query("Software\\VisualArts\\Nothing", "BGM_FOLDER"), "(open error 2)");
    EXPECT_EQ(read_file(store), GAME_STORE);
}

TEST_F(RegistryTest, QuerySizeIsRoomOnTheWayInAndLengthOnTheWayOut) {
    write_file(store, GAME_STORE);
    reg_key key = nullptr;
    ASSERT_EQ(reg_open_key("Software\\VisualArts\\Game", REG_ACCESS_QUERY, &key), REG_OK);
    unsigned char buf[8];
    memset(buf, 0xEE, sizeof buf);
    uint32_t size = 3;
    EXPECT_EQ(reg_query_value(key, "BGM_FOLDER", buf, &size), REG_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(buf[0], 0xEE) << "nothing is copied when the data does not fit";
    size = 4;
    EXPECT_EQ(reg_query_value(key, "BGM_FOLDER", buf, &size), REG_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), std::string("BGM\0", 4));
    size = 0;
    EXPECT_EQ(reg_query_value(key, "KOE_FOLDER", nullptr, &size), REG_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(reg_close_key(key), REG_OK);
}

TEST_F(RegistryTest, MissingStoreIsAnEmptyRegistryAndOpenCreatesNothing) {
    reg_key key = reinterpret_cast<reg_key>(1);
    EXPECT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY | REG_ACCESS_SET, &key), REG_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(exists(store));
    write_file(store, GAME_STORE);
    EXPECT_EQ(query("Software\\VisualArts\\Game\\Deeper", "x"), "(open error 2)");
    EXPECT_EQ(read_file(store), GAME_STORE);
}

TEST_F(RegistryTest, KeyPathsMatchWholeAndParentsOfKeysExist) {
    write_file(store, GAME_STORE);
    reg_key key = nullptr;
    ASSERT_EQ(reg_open_key("Software\\VisualArts", REG_ACCESS_QUERY, &key), REG_OK);
    reg_close_key(key);
    EXPECT_EQ(reg_open_key("Software\\Visual", REG_ACCESS_QUERY, &key), REG_NOT_FOUND);
    EXPECT_EQ(reg_open_key("Software\\VisualArts\\Gam", REG_ACCESS_QUERY, &key), REG_NOT_FOUND);
    // A value of the parent is not a value of the child, nor the other way round.
    EXPECT_EQ(query("Software\\VisualArts", "BGM_FOLDER"), "(error 2)");
}

TEST_F(RegistryTest, KeyPathsAndValueNamesIgnoreLetterCase) {
    write_file(store, GAME_STORE);
    EXPECT_EQ(query("SOFTWARE\\visualarts\\GAME", "bgm_folder"), std::string("BGM\0", 4));
    ASSERT_EQ(set("software\\VISUALARTS\\game", "koe_folder", std::string("koewav\0", 7)), REG_OK);
    std::string stored = read_file(store);
    EXPECT_EQ(stored.find("\"KOE_FOLDER\"=\"KOE\""), std::string::npos) << "the value was replaced, not added";
    EXPECT_EQ(query("Software\\VisualArts\\Game", "KOE_FOLDER"), std::string("koewav\0", 7));
}

TEST_F(RegistryTest, Cp932TrailBytesAreNeitherSeparatorsNorLetters) {
    // "\x83\x5C" (so) ends in 0x5C; "\x83\x41" (a) and "\x83\x61" (ya) differ only in a trail byte
    // that would be a letter.
    write_file(store,
               "REGEDIT4\n\n"
               "[HKEY_CURRENT_USER\\Software\\\x83\x5C\x83\x41]\n"
               "\"\x83\x41\"=\"value \x83\\\\\"\n");
    EXPECT_EQ(query("Software\\\x83\x5C\x83\x41", "\x83\x41"), std::string("value \x83\x5C\0", 9));
    EXPECT_EQ(query("software\\\x83\x5C\x83\x41", "\x83\x61"), "(error 2)");
    EXPECT_EQ(query("Software\\\x83\x5C\x83\x61", "\x83\x41"), "(open error 2)");
    // "Software\\\x83" is not a parent key: the 0x5C after 0x83 belongs to the character.
    EXPECT_EQ(query("Software\\\x83", "\x83\x41"), "(open error 2)");
    EXPECT_EQ(query("Software\\\x83\x5C", "\x83\x41"), "(open error 2)");
}

TEST_F(RegistryTest, StringsKeepTheirBytesAndEscapeBackslashAndQuote) {
    write_file(store, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n\"KOE_FOLDER\"=\"koe\"\n");
    std::string value = std::string("a\\b\"c \x83\x5C \x82\xA0", 11) + std::string(1, '\0');
    ASSERT_EQ(set("Software\\Game", "KOE_FOLDER", value), REG_OK);
    // Written in UTF-8, where no character's byte is a backslash.
    EXPECT_EQ(read_file(store), std::string("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n"
                                            "\"KOE_FOLDER\"=\"a\\\\b\\\"c ソ あ\"\n"));
    EXPECT_EQ(query("Software\\Game", "KOE_FOLDER"), value);
}

TEST_F(RegistryTest, UpdateKeepsEveryOtherLineAndItsOrder) {
    write_file(store, GAME_STORE);
    ASSERT_EQ(set("Software\\VisualArts\\Game", "KOE_FOLDER", std::string("koewav\0", 7)), REG_OK);
    std::string expected = GAME_STORE;
    expected.replace(expected.find("\"KOE_FOLDER\"=\"KOE\""), 18, "\"KOE_FOLDER\"=\"koewav\"");
    EXPECT_EQ(read_file(store), expected);

    ASSERT_EQ(set("Software\\VisualArts\\Game", "NEW", std::string("n\0", 2)), REG_OK);
    expected.insert(expected.find("\n\n[HKEY_CURRENT_USER\\Software\\vurlo") + 1, "\"NEW\"=\"n\"\n");
    EXPECT_EQ(read_file(store), expected);

    // A key that exists only through a key below it gets a section of its own.
    ASSERT_EQ(set("Software\\vurlo", "Top", std::string("t\0", 2)), REG_OK);
    expected += "\n[HKEY_CURRENT_USER\\Software\\vurlo]\n\"Top\"=\"t\"\n";
    EXPECT_EQ(read_file(store), expected);
    EXPECT_EQ(query("Software\\vurlo", "top"), std::string("t\0", 2));
    EXPECT_EQ(query("Software\\vurlo\\_inmm.dll", "SMX_Path"), std::string("C:\\tools\\scmpx.exe\0", 19));
}

TEST_F(RegistryTest, RestoreFileWithCrLfIsAStoreAndKeepsItsLineEnds) {
    // The very bytes the voice unpacker writes, a quote inside the value included.
    write_file(store,
               "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Game]\r\n\"KOE_FOLDER\"=\"old\\\\koe \"q\" \"\r\n");
    EXPECT_EQ(query("Software\\Game", "KOE_FOLDER"), std::string("old\\koe \"q\" \0", 13));
    ASSERT_EQ(set("Software\\Game", "Other", std::string("o\0", 2)), REG_OK);
    EXPECT_EQ(read_file(store), "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Game]\r\n"
                                "\"KOE_FOLDER\"=\"old\\\\koe \"q\" \"\r\n\"Other\"=\"o\"\r\n");
}

TEST_F(RegistryTest, DataWithoutATerminatorReadsBackAsGiven) {
    write_file(store, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n");
    ASSERT_EQ(set("Software\\Game", "Raw", "abc"), REG_OK);
    ASSERT_EQ(set("Software\\Game", "Lines", std::string("a\nb\0", 4)), REG_OK);
    ASSERT_EQ(set("Software\\Game", "Empty", ""), REG_OK);
    EXPECT_EQ(query("Software\\Game", "Raw"), "abc");
    EXPECT_EQ(query("Software\\Game", "Lines"), std::string("a\nb\0", 4));
    EXPECT_EQ(query("Software\\Game", "Empty"), "");
    EXPECT_EQ(read_file(store), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n"
                                "\"Raw\"=hex(1):61,62,63\n\"Lines\"=hex(1):61,0a,62,00\n\"Empty\"=hex(1):\n");
}

TEST_F(RegistryTest, SettingNeedsSetAccess) {
    write_file(store, GAME_STORE);
    EXPECT_EQ(set("Software\\VisualArts\\Game", "KOE_FOLDER", std::string("x\0", 2), REG_ACCESS_QUERY),
              REG_ACCESS_DENIED);
    EXPECT_EQ(read_file(store), GAME_STORE);
}

TEST_F(RegistryTest, UnnamedAndRemovedValues) {
    write_file(store, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n@=\"default\"\n\"Gone\"=-\n");
    EXPECT_EQ(query("Software\\Game", ""), std::string("default\0", 8));
    EXPECT_EQ(query("Software\\Game", "Gone"), "(error 2)");
}

TEST_F(RegistryTest, MalformedStoresFailWithOneLineNamingFileAndLine) {
    struct bad_case {
        const char* text;
        int line;
    };
    const bad_case cases[] = {
        {"REGEDIT4\n\n\"KOE_FOLDER\"=\"x\"\n[HKEY_CURRENT_USER\\Software\\Game]\n", 3},
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n\"KOE_FOLDER\"=\"x\n", 4},
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n\"KOE_FOLDER=\"x\"\n", 4},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Game]\nKOE_FOLDER=x\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Game\n", 2},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Game]\n\"a\"=hex:0g\n", 3},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Game]\n\"a\"=dword:\n", 3},
        {"\x7F" "ELF\x01\x01\x01\n[HKEY_CURRENT_USER\\Software\\Game]\n", 1},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Game]\n", 1},
    };
    for (const bad_case& c : cases) {
        write_file(store, c.text);
        long rc = 0;
        reg_key key = nullptr;
        std::string err = stderr_of([&] { rc = reg_open_key("Software\\Game", REG_ACCESS_QUERY, &key); });
        EXPECT_EQ(rc, REG_BAD_STORE) << c.text;
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind(store + ":" + std::to_string(c.line) + ": ", 0), 0u) << err;
        EXPECT_EQ(read_file(store), c.text);
    }
}

TEST_F(RegistryTest, AFaultDuringAnUpdateLeavesTheOldStoreWhole) {
    for (fault_kind kind : {FAULT_FAIL, FAULT_SHORT_WRITE, FAULT_DISK_FULL}) {
        int completed = 0;
        for (long nth = 1; nth < 20 && !completed; ++nth) {
            write_file(store, GAME_STORE);
            reg_key key = nullptr;
            ASSERT_EQ(reg_open_key("Software\\VisualArts\\Game", 3, &key), REG_OK);
            fault_arm(nth, kind);
            long rc = reg_set_value(key, "KOE_FOLDER", REG_TYPE_SZ, reinterpret_cast<const unsigned char*>("koewav"), 7);
            int fired = fault_fired();
            fault_arm(0, FAULT_FAIL);
            reg_close_key(key);
            auto files = snapshot(dir.path);
            files.erase("registry.reg.lock");
            EXPECT_EQ(files.size(), 1u) << "no temporary file is left behind, fault " << nth;
            if (fired) {
                EXPECT_NE(rc, REG_OK);
                EXPECT_EQ(read_file(store), GAME_STORE) << "fault at call " << nth << " kind " << kind;
            } else {
                EXPECT_EQ(rc, REG_OK);
                EXPECT_EQ(query("Software\\VisualArts\\Game", "KOE_FOLDER"), std::string("koewav\0", 7));
                completed = 1;
            }
        }
        EXPECT_TRUE(completed);
    }
}

TEST_F(RegistryTest, StoreLivesInTheConfigFolderWithoutTheVariable) {
    unsetenv("VNAUDIO_REGISTRY");
    const char* old_home = getenv("HOME");
    std::string saved_home = old_home ? old_home : "";
    const char* old_xdg = getenv("XDG_CONFIG_HOME");
    std::string saved_xdg = old_xdg ? old_xdg : "";
    make_dirs(dir / "xdg/vnaudio");
    make_dirs(dir / "home/.config/vnaudio");
    write_file(dir / "xdg/vnaudio/registry.reg", "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"xdg\"\n");
    write_file(dir / "home/.config/vnaudio/registry.reg", "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"home\"\n");
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "xdg").c_str(), 1);
    std::string with_xdg = query("Software\\A", "v");
    unsetenv("XDG_CONFIG_HOME");
    std::string with_home = query("Software\\A", "v");
    if (old_home) setenv("HOME", saved_home.c_str(), 1);
    if (old_xdg) setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
    EXPECT_EQ(with_xdg, std::string("xdg\0", 4));
    EXPECT_EQ(with_home, std::string("home\0", 5));
}

}  // namespace
