// The POSIX host's side of the seam: the tools' CP932 meeting UTF-8 names, a UTF-8 terminal and a
// hand-written UTF-8 registry store; and the store and the file calls kept safe from other
// programs (a lock), from FIFOs and from absurd sizes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "tests/configurator_support.h"
#include "tests/support/support.h"

namespace {

const std::string probe = PLATFORM_PROBE;

// "音楽", "夏の日" and "表" as the game's files hold them.
const std::string CP932_MUSIC = "\x89\xB9\x8A\x79";
const std::string CP932_SUMMER = "\x89\xC4\x82\xCC\x93\xFA";

int is_valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return 0;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
        i += n;
    }
    return 1;
}

TEST(HostText, TormelTakesAHandWrittenUtf8StoreAndFindsTheUtf8FolderOfACp932Value) {
    // The game names its key and the store its music folder in Japanese; the folder on disk has
    // a UTF-8 name, as every Linux tool would make it.
    temp_dir d;
    std::string game = d / "game";
    make_dirs(game + "/音楽");
    write_file(game + "/音楽/A.wav", pcm_wav(44100, 2, 44100 * 4 * 3));
    write_file(game + "/REALLIVE.EXE", "MZ");
    write_file(game + "/GAMEEXE.INI", "#REGNAME = \"KEY\\" + CP932_SUMMER + "\"\r\n"
                                      "#DSTRACK = 0 - 99999999 - 0 = \"A\" = \"A\"\r\n");
    write_file(d / "registry.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\KEY\\夏の日]\n\"BGM_FOLDER\"=\"音楽\"\n");
    run_result r = run_program(bin_path("tormel"), {}, game, "", {"VNAUDIO_REGISTRY=" + (d / "registry.reg")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "tormel.exe: 成功しました。\n") << "the box in UTF-8";
    EXPECT_EQ(read_file(game + "/_inmm.ini"), CP932_MUSIC + "\\A.wav\r\n") << "files keep CP932";
}

TEST(HostText, AProgramsOutputReachesTheHostInUtf8AndItsArgumentsTheToolsInCp932) {
    run_result r = run_program(probe, {"hooked", "表", "plain"}, "", "", {"LC_ALL=C"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "955C\n706C61696E\n成功しました。\n");
    EXPECT_EQ(r.err, "表ソ\nprobe.exe: 音楽\\A.wav\n");
    EXPECT_TRUE(is_valid_utf8(r.out) && is_valid_utf8(r.err));
}

class HostNames : public in_temp_dir {};

TEST_F(HostNames, SearchHandsOutCp932NamesAndPassesOverNamesWithoutOne) {
    write_file("音声.KOE", "utf8");
    write_file("\x83\x5C.KOE", "cp932 bytes");
    write_file("x\xF0\x9F\x8E\xB5.KOE", "no CP932 form");
    std::vector<std::string> names;
    testing::internal::CaptureStderr();
    find_entry e;
    find_state* s = find_first_file("*.koe", &e);
    ASSERT_NE(s, nullptr);
    do names.push_back(e.name);
    while (find_next_file(s, &e));
    find_close(s);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(names, (std::vector<std::string>{"\x83\x5C.KOE", "\x89\xB9\x90\xBA.KOE"}));
    EXPECT_NE(err.find("x\xF0\x9F\x8E\xB5.KOE"), std::string::npos) << err;
    // The names handed out open the files they came from, in any letter case.
    for (const std::string& name : names) {
        std::string lower = name.substr(0, name.size() - 3) + "koe";
        FILE* f = open_file(lower.c_str(), "rb");
        ASSERT_NE(f, nullptr) << lower;
        fclose(f);
    }
    // A folder the tools make in a CP932 name is made in its UTF-8 form, and found again.
    ASSERT_EQ(make_dir(CP932_MUSIC.c_str()), 0);
    FILE* f = open_file((CP932_MUSIC + "\\a.wav").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(exists("音楽/a.wav"));
    EXPECT_EQ(file_access((CP932_MUSIC + "\\A.WAV").c_str(), 0), 0);
}

TEST_F(HostNames, AFifoOrDeviceIsNoFileAndNothingWaitsForIt) {
    ASSERT_EQ(mkfifo("GAMEEXE.INI", 0600), 0);
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(open_file("gameexe.ini", "rt"), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(open_file("/dev/zero", "rb"), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "no wait for a writer";
}

class StoreSafety : public in_temp_dir {
protected:
    std::string store;
    void SetUp() override {
        in_temp_dir::SetUp();
        store = dir / "registry.reg";
        setenv("VNAUDIO_REGISTRY", store.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VNAUDIO_REGISTRY");
        in_temp_dir::TearDown();
    }
    long open_rc() {
        reg_key key = nullptr;
        long rc = reg_open_key("Software\\Game", REG_ACCESS_QUERY, &key);
        if (key) reg_close_key(key);
        return rc;
    }
};

TEST_F(StoreSafety, TwoProgramsSettingValuesAtOnceLoseNothing) {
    // The second program reaches the store by its own name, or through a symbolic link to it (a
    // shared config folder): either way both take the one lock of the file the store really is.
    for (const char* second : {"registry.reg", "link/registry.reg"}) {
    SCOPED_TRACE(second);
    write_file(store, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n");
    // A temporary store left by a killed run is taken up by the next change.
    write_file(store + ".new", "REGEDIT4\n[half");
    mkdir((dir / "link").c_str(), 0700);
    unlink((dir / "link/registry.reg").c_str());
    ASSERT_EQ(symlink("../registry.reg", (dir / "link/registry.reg").c_str()), 0);
    std::string script = "VNAUDIO_REGISTRY='" + store + "' '" + probe + "' set-many 'Software\\Game' a 60 & " +
                         "VNAUDIO_REGISTRY='" + (dir / second) + "' '" + probe +
                         "' set-many 'Software\\Game' b 60 & wait";
    run_result r = run_program("/bin/sh", {"-c", script}, dir.path, "", {});
    ASSERT_EQ(r.status, 0) << r.err;
    reg_key key = nullptr;
    ASSERT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY, &key), REG_OK);
    int found = 0;
    for (const char* prefix : {"a", "b"})
        for (int i = 0; i < 60; ++i) {
            unsigned char data[8];
            uint32_t size = sizeof data;
            found += reg_query_value(key, (prefix + std::to_string(i)).c_str(), data, &size) == REG_OK;
        }
    reg_close_key(key);
    EXPECT_EQ(found, 120);
    EXPECT_FALSE(exists(store + ".new"));
    struct stat st;
    EXPECT_TRUE(lstat((dir / "link/registry.reg").c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_FALSE(exists(dir / "link/registry.reg.new") || exists(dir / "link/registry.reg.lock"));
    }
}

TEST_F(StoreSafety, AReadOnlyStoreIsNotRewrittenAndAStoreKeepsItsOwner) {
    const std::string content = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n";
    write_file(store, content);
    ASSERT_EQ(chmod(store.c_str(), 0444), 0);
    reg_key key = nullptr;
    ASSERT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY | REG_ACCESS_SET, &key), REG_OK);
    const unsigned char value[] = "koewav";
    testing::internal::CaptureStderr();
    EXPECT_EQ(reg_set_value(key, "KOE_FOLDER", REG_TYPE_SZ, value, sizeof value), REG_ACCESS_DENIED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("read-only"), std::string::npos);
    EXPECT_EQ(read_file(store), content);

    // Rewritten by root (as CI runs), the store stays its owner's, with its mode.
    ASSERT_EQ(chmod(store.c_str(), 0640), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(store.c_str(), 12345, 12345), 0);
    }
    EXPECT_EQ(reg_set_value(key, "KOE_FOLDER", REG_TYPE_SZ, value, sizeof value), REG_OK);
    reg_close_key(key);
    struct stat st;
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 12345u);
    }
}

TEST_F(StoreSafety, AStoreThatIsNoFileOrTooLargeIsRefusedUnread) {
    ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_rc(), 1016) << "ERROR_REGISTRY_IO_FAILED";
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not a regular file"), std::string::npos);
    unlink(store.c_str());

    write_file(store, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Game]\n");
    ASSERT_EQ(truncate(store.c_str(), (64 << 20) + 1), 0);   // sparse: no 64 MiB written
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_rc(), REG_BAD_STORE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("larger than 64 MiB"), std::string::npos);
}

}  // namespace
