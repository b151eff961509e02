// The music folder lookup: "#REGNAME" in GAMEEXE.INI, then BGM_FOLDER of the game's key.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "configurator/bgm_folder.h"
#include "configurator/engine.h"
#include "platform/platform.h"
#include "tests/configurator_support.h"
#include "tests/support/support.h"

namespace {

const std::string PREFIX = "test.exe: BGMフォルダ名の取得に失敗:\n";

class BgmFolder : public ::testing::Test {
protected:
    temp_dir dir;
    std::string boxes;
    std::string rest;  // the next line of the stream after the lookup

    void SetUp() override { setenv("VNAUDIO_REGISTRY", (dir / "registry.reg").c_str(), 1); }
    void TearDown() override { unsetenv("VNAUDIO_REGISTRY"); }

    void registry(const std::string& text) { write_file(dir / "registry.reg", text); }

    // The folder found for a GAMEEXE.INI, or "(null)".
    std::string lookup(const std::string& ini) {
        write_file(dir / "GAMEEXE.INI", ini);
        FILE* f = open_file((dir / "GAMEEXE.INI").c_str(), "rt");
        EXPECT_NE(f, nullptr);
        testing::internal::CaptureStderr();
        char* folder = get_bgm_folder(f);
        boxes = testing::internal::GetCapturedStderr();
        char line[LINE_SIZE];
        rest = read_line(f, line) ? line : "";
        fclose(f);
        std::string result = folder ? folder : "(null)";
        free(folder);
        return result;
    }
};

TEST_F(BgmFolder, FoundThroughTheFirstRegnameLine) {
    registry(registry_with_folder("Maker\\Game", "C:\\Games\\Game\\BGM") +
             "\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"BGM_FOLDER\"=\"wrong\"\r\n");
    EXPECT_EQ(lookup("#CAPTION = \"x\"\r\n#REGNAME=\"Maker\\Game\"\r\n#REGNAME = \"Other\"\r\n"), "C:\\Games\\Game\\BGM");
    EXPECT_EQ(boxes, "");
    EXPECT_EQ(rest, "#REGNAME = \"Other\"\n") << "the stream stands behind the first #REGNAME line";
}

TEST_F(BgmFolder, KeyNamesAndValueNamesIgnoreLetterCase) {
    registry("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\MAKER\\GAME]\r\n\"bgm_folder\"=\"Music\"\r\n");
    EXPECT_EQ(lookup("#REGNAME = \"maker\\game\"\r\n"), "Music");
}

TEST_F(BgmFolder, NoRegnameLine) {
    registry(registry_with_folder("Maker\\Game", "BGM"));
    EXPECT_EQ(lookup("#REGNAME = \"\"\r\n #REGNAME = \"Maker\\Game\"\r\n#OTHER = 1\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "GAMEEXE.INIに項目#REGNAMEが見つかりません。\n");
    EXPECT_EQ(rest, "") << "the whole file has been read";
}

TEST_F(BgmFolder, MissingKeyIsNamedInFull) {
    registry(registry_with_folder("Maker\\Game", "BGM"));
    EXPECT_EQ(lookup("#REGNAME = \"Maker\\Other\"\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "レジストリ HKEY_CURRENT_USER\\Software\\Maker\\Other を開けません。\n");
}

TEST_F(BgmFolder, NameWithoutClosingQuoteKeepsItsLineEnd) {
    registry(registry_with_folder("Maker\\Game", "BGM"));
    EXPECT_EQ(lookup("#REGNAME = \"Maker\\Game\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "レジストリ HKEY_CURRENT_USER\\Software\\Maker\\Game\n を開けません。\n");
}

TEST_F(BgmFolder, NameTooLongForTheKeyPath) {
    std::string name(250, 'n');
    registry(registry_with_folder(name, "BGM"));
    EXPECT_EQ(lookup("#REGNAME = \"" + name + "\"\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "GAMEEXE.INIの#REGNAMEが長すぎます(250バイト)。レジストリのキー名にできるのは246バイトまでです。\n");
}

TEST_F(BgmFolder, KeyWithoutTheValue) {
    registry("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Maker\\Game]\r\n\"KOE_FOLDER\"=\"KOE\"\r\n");
    EXPECT_EQ(lookup("#REGNAME = \"Maker\\Game\"\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "HKEY_CURRENT_USER\\Software\\Maker\\Game\\BGM_FOLDER を読めません。\n");
}

TEST_F(BgmFolder, ValuesUpTo255CharactersAreReadWhole) {
    std::string longest(255, 'b');
    registry(registry_with_folder("Maker\\Game", longest));
    EXPECT_EQ(lookup("#REGNAME = \"Maker\\Game\"\r\n"), longest);

    registry(registry_with_folder("Maker\\Game", longest + "b"));
    EXPECT_EQ(lookup("#REGNAME = \"Maker\\Game\"\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "HKEY_CURRENT_USER\\Software\\Maker\\Game\\BGM_FOLDER を読めません。\n");
}

TEST_F(BgmFolder, NoRegistryStoreAtAll) {
    EXPECT_EQ(lookup("#REGNAME = \"Maker\\Game\"\r\n"), "(null)");
    EXPECT_EQ(boxes, PREFIX + "レジストリ HKEY_CURRENT_USER\\Software\\Maker\\Game を開けません。\n");
}

}  // namespace
