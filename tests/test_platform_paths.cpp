// Windows path rules over the POSIX file system (backslashes, letter case, CP932 names), the msvcrt
// file calls built on them, and directory search with the Windows wildcard rules.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

class PathTest : public in_temp_dir {
protected:
    // The whole content of a file opened through the emulation, or "(missing)".
    std::string content(const char* path) {
        FILE* f = open_file(path, "rb");
        if (!f) return "(missing)";
        std::string out;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
        return out;
    }
    int create(const char* path, const char* text) {
        FILE* f = open_file(path, "wb");
        if (!f) return 0;
        fputs(text, f);
        return fclose(f) == 0;
    }
};

// Names found by a search, each with "/" after a folder.
std::vector<std::string> search(const char* pattern) {
    std::vector<std::string> names;
    find_entry e;
    find_state* s = find_first_file(pattern, &e);
    if (!s) return names;
    do {
        names.push_back(std::string(e.name) + (e.attrib & ATTR_FOLDER ? "/" : ""));
    } while (find_next_file(s, &e));
    find_close(s);
    return names;
}

std::vector<std::string> search_crt(const char* pattern) {
    std::vector<std::string> names;
    find_entry e;
    intptr_t h = findfirst(pattern, &e);
    if (h == -1) return names;
    do {
        names.push_back(std::string(e.name) + (e.attrib & ATTR_FOLDER ? "/" : ""));
    } while (findnext(h, &e) == 0);
    EXPECT_EQ(findclose(h), 0);
    return names;
}

using names = std::vector<std::string>;

TEST_F(PathTest, BackslashesSeparateFoldersAndEachComponentIgnoresCase) {
    make_dirs("Koe/Sub");
    write_file("Koe/Sub/File.Dat", "data");
    EXPECT_EQ(content("Koe\\Sub\\File.Dat"), "data");
    EXPECT_EQ(content("KOE\\sub\\FILE.DAT"), "data");
    EXPECT_EQ(content("koe/SUB\\file.dat"), "data");
    EXPECT_EQ(content((dir.path + "\\KOE\\SUB\\file.dat").c_str()), "data");
    EXPECT_EQ(content("KOE\\sub\\FILE.DA"), "(missing)");
    EXPECT_EQ(content("KOE\\nosuch\\FILE.DAT"), "(missing)");
}

TEST_F(PathTest, ExactNameWinsOverACaseVariant) {
    write_file("x.txt", "lower");
    write_file("X.TXT", "upper");
    EXPECT_EQ(content("x.txt"), "lower");
    EXPECT_EQ(content("X.TXT"), "upper");
    // Neither spelled so: the choice is the same every time.
    EXPECT_EQ(content("X.txt"), content("x.TXT"));
    make_dirs("d");
    make_dirs("D");
    write_file("d/f", "small d");
    write_file("D/f", "big D");
    EXPECT_EQ(content("d\\F"), "small d");
    EXPECT_EQ(content("D\\F"), "big D");
}

TEST_F(PathTest, CreatingUsesAnExistingCaseVariantElseTheNameAsGiven) {
    write_file("gameexe.ini", "old");
    ASSERT_TRUE(create("GAMEEXE.INI", "new"));
    EXPECT_EQ(read_file("gameexe.ini"), "new");
    EXPECT_FALSE(exists("GAMEEXE.INI"));

    make_dirs("koewav/001");
    ASSERT_TRUE(create("KOEWAV\\001\\Z00100001.WAV", "wav"));
    EXPECT_EQ(read_file("koewav/001/Z00100001.WAV"), "wav");
    ASSERT_TRUE(create("New.Txt", "n"));
    EXPECT_TRUE(exists("New.Txt"));
}

TEST_F(PathTest, LettersBeyondAsciiFoldAsWindowsFoldsThem) {
    // Folders on disk in UTF-8 and the CP932 names a game's files give for them, another case.
    struct {
        const char* on_disk;
        const char* asked;   // CP932
    } cases[] = {
        {"ＢＧＭ", "\x82\x82\x82\x87\x82\x8D"},           // ｂｇｍ
        {"ｂｇｍ2", "\x82\x61\x82\x66\x82\x6C" "2"},      // ＢＧＭ2
        {"Ωmega", "\x83\xD6" "MEGA"},                        // ωMEGA
        {"Голос", "\x84\x73\x84\x80\x84\x7C\x84\x80\x84\x83"},   // голос
        {"Ⅲ", "\xFA\x42"},                                   // ⅲ, an IBM code
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.on_disk);
        make_dirs(std::string(c.on_disk) + "/sub");
        write_file(std::string(c.on_disk) + "/sub/a.wav", c.on_disk);
        EXPECT_EQ(content((std::string(c.asked) + "\\SUB\\A.WAV").c_str()), c.on_disk);
        EXPECT_EQ(search((std::string(c.asked) + "\\sub\\*.wav").c_str()), names{"a.wav"});
    }
    // A letter that only looks alike stays another name: full-width A is not ASCII A.
    write_file("A.txt", "ascii");
    EXPECT_EQ(content("\x82\x60.txt"), "(missing)");
}

TEST_F(PathTest, HalfWidthKatakanaIsFoundThoughItsBytesAlsoReadAsUtf8) {
    // "ﾐｰ" in CP932 (D0 B0) is also the UTF-8 of a Cyrillic letter: the folder is found under the
    // UTF-8 form of the katakana, and a name of that other reading still wins where it exists.
    make_dirs("ﾐｰ");
    write_file("ﾐｰ/Track.wav", "kana");
    EXPECT_EQ(content("\xD0\xB0\\track.wav"), "kana");
    EXPECT_EQ(file_access("\xD0\xB0", 0), 0);
    EXPECT_EQ(search("\xD0\xB0\\*.WAV"), names{"Track.wav"});
    make_dirs("\xD0\xB0");
    write_file("\xD0\xB0/Track.wav", "cyrillic");
    EXPECT_EQ(content("\xD0\xB0\\Track.wav"), "cyrillic");
}

TEST_F(PathTest, Cp932NamesKeepTrailBytesThatLookLikeBackslashOrLetters) {
    // "\x83\x5C" is one character (katakana so) whose second byte is 0x5C.
    make_dirs("\x83\x5C");
    write_file("\x83\x5C/f.txt", "so");
    EXPECT_EQ(content("\x83\x5C\\F.TXT"), "so");
    EXPECT_EQ(file_access("\x83\x5C", 0), 0);
    // "\x83\x41" and "\x83\x61" are different characters; the trail byte is no letter.
    make_dirs("\x83\x61");
    errno = 0;
    EXPECT_EQ(file_access("\x83\x41", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(make_dir("\x83\x41"), 0);
    EXPECT_TRUE(exists("ア")) << "a name made is made in its UTF-8 form";
    // UTF-8 names fold their ASCII letters only.
    make_dirs("音声");
    write_file("音声/Z001.koe", "utf8");
    EXPECT_EQ(content("音声\\z001.KOE"), "utf8");
}

TEST_F(PathTest, AccessTellsExistenceAndReadOnlyFiles) {
    write_file("here.txt", "");
    make_dirs("folder");
    EXPECT_EQ(file_access("HERE.TXT", 0), 0);
    EXPECT_EQ(file_access("Folder", 0), 0);
    EXPECT_EQ(file_access("here.txt", 6), 0);
    errno = 0;
    EXPECT_EQ(file_access("gone.txt", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(file_access("here.txt\\inside", 0), -1);
    EXPECT_EQ(errno, ENOENT);
    chmod("here.txt", 0444);
    errno = 0;
    EXPECT_EQ(file_access("here.txt", 2), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(file_access("here.txt", 4), 0);
    errno = 0;
    EXPECT_EQ(file_access("here.txt", 1), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(PathTest, MakeDirRefusesExistingNamesInAnyCase) {
    ASSERT_EQ(make_dir("koewav"), 0);
    errno = 0;
    EXPECT_EQ(make_dir("koewav"), -1);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(make_dir("KOEWAV"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(exists("KOEWAV"));
    ASSERT_EQ(make_dir("KOEWAV\\001"), 0);
    EXPECT_TRUE(exists("koewav/001"));
    errno = 0;
    EXPECT_EQ(make_dir("nosuch\\001"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PathTest, RemoveDirTakesEmptyFoldersOnlyInAnyCase) {
    ASSERT_EQ(make_dir("koewav"), 0);
    ASSERT_EQ(make_dir("koewav\\~work"), 0);
    write_file("koewav/~work/a.part", "x");
    errno = 0;
    EXPECT_EQ(remove_dir("KOEWAV\\~WORK"), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    errno = 0;
    EXPECT_EQ(remove_dir("koewav\\~work\\a.part"), -1) << "a file is no folder";
    EXPECT_NE(errno, 0);
    ASSERT_EQ(remove_file("koewav\\~work\\A.PART"), 0);
    // The emptied folder goes by a name in another case, and the listing of koewav knows it.
    EXPECT_EQ(remove_dir("KOEWAV\\~WORK"), 0);
    EXPECT_FALSE(exists("koewav/~work"));
    EXPECT_EQ(make_dir("koewav\\~Work"), 0);
    EXPECT_TRUE(exists("koewav/~Work"));
    errno = 0;
    EXPECT_EQ(remove_dir("koewav\\nosuch"), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A work file takes its name only whole, and never another file's: what each way of finishing it leaves.
TEST_F(PathTest, WorkFilesTakeTheirNameWholeOrGo) {
    make_dirs("koewav/~work");
    make_dirs("koewav/001");
    write_file("koewav/001/Z00100002.WAV", "older");
    struct {
        const char* to;
        int finished;   // 0, or -2: the name could not be taken
        int error;
    } cases[] = {
        {"koewav\\001\\Z00100001.WAV", 0, 0},
        {"KOEWAV\\001\\z00100002.wav", -2, EEXIST},   // another file's name, in another case
        {"koewav\\nosuch\\Z00100003.WAV", -2, ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        work_file* file = create_work_file("koewav\\~work\\Z.WAV.part");
        ASSERT_NE(file, nullptr);
        // The header goes in last, over the room left for it at the start.
        ASSERT_EQ(write_work_file(file, 0, "....samples", 11), 0);
        ASSERT_EQ(write_work_file(file, 11, "+more", 5), 0);
        ASSERT_EQ(write_work_file(file, 0, "HEAD", 4), 0);
        errno = 0;
        EXPECT_EQ(finish_work_file(file, c.to), c.finished);
        if (c.error) {
            EXPECT_EQ(errno, c.error);
        }
        EXPECT_FALSE(exists("koewav/~work/Z.WAV.part")) << "the work file was left";
    }
    EXPECT_EQ(read_file("koewav/001/Z00100001.WAV"), "HEADsamples+more");
    EXPECT_EQ(read_file("koewav/001/Z00100002.WAV"), "older");
    work_file* dropped = create_work_file("koewav\\~work\\Y.part");
    ASSERT_NE(dropped, nullptr);
    ASSERT_EQ(write_work_file(dropped, 0, "half", 4), 0);
    discard_work_file(dropped);
    EXPECT_FALSE(exists("koewav/~work/Y.part"));
    EXPECT_EQ(create_work_file("koewav\\nosuch\\X.part"), nullptr);
}

// Two threads name their files in one folder at once, as plovenak's do: the path rules, which keep
// what they have read of the folders, know afterwards every name either thread made, in any case.
TEST_F(PathTest, TwoThreadsNamingFilesAtOnceLeaveTheRulesKnowingEveryName) {
    make_dirs("koewav/~work");
    make_dirs("koewav/001");
    ASSERT_EQ(file_access("koewav\\001\\z00100000.wav", 0), -1);   // the empty folder, read and kept
    struct namer {
        int first;
        int failures;
    };
    void (*name_files)(void*) = [](void* arg) {
        namer* n = static_cast<namer*>(arg);
        for (int k = n->first; k < n->first + 400; ++k) {
            char work[64], to[64];
            snprintf(work, sizeof work, "koewav\\~work\\Z001%05d.WAV.part", k);
            snprintf(to, sizeof to, "koewav\\001\\Z001%05d.WAV", k);
            work_file* file = create_work_file(work);
            if (!file || write_work_file(file, 0, to, strlen(to)) != 0 || finish_work_file(file, to) != 0) ++n->failures;
        }
    };
    namer mine = {0, 0}, other = {400, 0};
    thread_s* thread = start_thread(name_files, &other);
    ASSERT_NE(thread, nullptr);
    name_files(&mine);
    join_thread(thread);
    EXPECT_EQ(mine.failures + other.failures, 0);
    for (int k = 0; k < 800; ++k) {
        char upper[64], lower[64];
        snprintf(upper, sizeof upper, "koewav/001/Z001%05d.WAV", k);
        snprintf(lower, sizeof lower, "KOEWAV\\001\\z001%05d.wav", k);
        EXPECT_EQ(file_access(lower, 0), 0) << lower;
        EXPECT_EQ(read_file(upper), std::string(upper).replace(6, 1, "\\").replace(10, 1, "\\"));
    }
    // A name either thread took is another file's in any case.
    work_file* late = create_work_file("koewav\\~work\\late.part");
    ASSERT_NE(late, nullptr);
    errno = 0;
    EXPECT_EQ(finish_work_file(late, "koewav\\001\\z00100777.wav"), -2);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(snapshot("koewav/~work").size(), 0u) << "a work file was left";
}

TEST_F(PathTest, ChangeDirFollowsThePathRules) {
    make_dirs("Game/KoeWav");
    ASSERT_EQ(change_dir("GAME\\koewav"), 0);
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), dir.path + "/Game/KoeWav");
    ASSERT_EQ(change_dir(".."), 0);
    errno = 0;
    EXPECT_EQ(change_dir("nowhere"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PathTest, RemoveDeletesFilesOnly) {
    write_file("a.wav", "x");
    ASSERT_EQ(remove_file("A.WAV"), 0);
    EXPECT_FALSE(exists("a.wav"));
    errno = 0;
    EXPECT_EQ(remove_file("a.wav"), -1);
    EXPECT_EQ(errno, ENOENT);
    make_dirs("empty");
    errno = 0;
    EXPECT_EQ(remove_file("empty"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(exists("empty"));
    write_file("locked.wav", "x");
    chmod("locked.wav", 0444);
    errno = 0;
    EXPECT_EQ(remove_file("locked.wav"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(exists("locked.wav"));
}

TEST_F(PathTest, RenameNeverOverwrites) {
    write_file("GAMEEXE.INI", "game");
    write_file("GAMEEXE.org", "backup");
    errno = 0;
    EXPECT_EQ(rename_file("GAMEEXE.INI", "GAMEEXE.org"), -1);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(rename_file("GAMEEXE.INI", "gameexe.ORG"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file("GAMEEXE.INI"), "game");
    EXPECT_EQ(read_file("GAMEEXE.org"), "backup");
    EXPECT_FALSE(exists("gameexe.ORG"));

    ASSERT_EQ(rename_file("gameexe.ini", "GAMEEXE.org1"), 0);
    EXPECT_EQ(read_file("GAMEEXE.org1"), "game");
    EXPECT_FALSE(exists("GAMEEXE.INI"));
    errno = 0;
    EXPECT_EQ(rename_file("GAMEEXE.INI", "other"), -1);
    EXPECT_EQ(errno, ENOENT);

    make_dirs("001");
    write_file("001/Z00100001.WAV.mp3", "mp3");
    ASSERT_EQ(rename_file("001\\Z00100001.WAV.mp3", "001\\Z00100001.WAV"), 0);
    EXPECT_EQ(read_file("001/Z00100001.WAV"), "mp3");
}

TEST_F(PathTest, ReplaceTakesTheNameOverAFileButNeverAFolder) {
    make_dirs("001");
    write_file("001/Z00100001.WAV", "wav");
    write_file("001/Z00100001.WAV.mp3", "mp3");
    ASSERT_EQ(replace_file("001\\z00100001.wav.MP3", "001\\Z00100001.WAV"), 0);
    EXPECT_EQ(read_file("001/Z00100001.WAV"), "mp3");
    EXPECT_FALSE(exists("001/Z00100001.WAV.mp3"));
    // A committed stream is whole on the disk once closed; the new name then needs no old file.
    FILE* f = open_file("GAMEEXE.new", "wtc");
    ASSERT_NE(f, nullptr);
    fputs("#A\n", f);
    ASSERT_EQ(fclose(f), 0);
    ASSERT_EQ(replace_file("GAMEEXE.new", "GAMEEXE.INI"), 0);
    EXPECT_EQ(read_file("GAMEEXE.INI"), "#A\r\n");
    errno = 0;
    EXPECT_EQ(replace_file("GAMEEXE.INI", "001"), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(replace_file("missing", "GAMEEXE.INI"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(read_file("GAMEEXE.INI"), "#A\r\n");
}

// A copy from a CD: Windows renames a read-only file but neither replaces nor removes it, whoever
// asks (root too), until the attribute is cleared.
TEST_F(PathTest, ReadOnlyFilesAreRenamedButNotReplacedUntilTheAttributeIsCleared) {
    write_file("GAMEEXE.INI", "game");
    write_file("GAMEEXE.new", "new");
    ASSERT_EQ(set_read_only("gameexe.ini", 1), 0);
    struct stat st;
    ASSERT_EQ(stat("GAMEEXE.INI", &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    errno = 0;
    EXPECT_EQ(replace_file("GAMEEXE.new", "GAMEEXE.INI"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(remove_file("GAMEEXE.INI"), -1);
    EXPECT_EQ(read_file("GAMEEXE.INI"), "game");
    ASSERT_EQ(rename_file("GAMEEXE.INI", "GAMEEXE.org"), 0);
    ASSERT_EQ(rename_file("GAMEEXE.org", "GAMEEXE.INI"), 0);
    ASSERT_EQ(set_read_only("GAMEEXE.INI", 0), 0);
    EXPECT_EQ(file_access("GAMEEXE.INI", 2), 0);
    ASSERT_EQ(replace_file("GAMEEXE.new", "GAMEEXE.INI"), 0);
    EXPECT_EQ(read_file("GAMEEXE.INI"), "new");
    errno = 0;
    EXPECT_EQ(set_read_only("missing", 1), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(PlatformText, Cp932BecomesUtf16AndOtherBytesAreRefused) {
    uint16_t out[8];
    // "表" has the trail byte 0x5C; "～" is the Windows mapping of 0x8160.
    EXPECT_EQ(cp932_to_utf16("\x95\x5c" "a\x81\x60", out, 8), 3u);
    EXPECT_EQ(out[0], 0x8868);
    EXPECT_EQ(out[1], 'a');
    EXPECT_EQ(out[2], 0xFF5E);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(cp932_to_utf16("", out, 1), 0u);
    EXPECT_EQ(cp932_to_utf16("\x81", out, 8), static_cast<size_t>(-1)) << "a lead byte alone";
    EXPECT_EQ(cp932_to_utf16("abcd", out, 4), static_cast<size_t>(-1)) << "no room for the terminator";
    EXPECT_EQ(ansi_code_page(), 932u);
}

TEST_F(PathTest, RenameMayChangeOnlyTheLetterCaseOfAName) {
    write_file("voice.wav", "v");
    ASSERT_EQ(rename_file("voice.wav", "VOICE.WAV"), 0);
    EXPECT_TRUE(exists("VOICE.WAV"));
    EXPECT_FALSE(exists("voice.wav"));
    // A second name of the same file is still another file's name.
    ASSERT_EQ(link("VOICE.WAV", "other.wav"), 0);
    errno = 0;
    EXPECT_EQ(rename_file("VOICE.WAV", "other.wav"), -1);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(PathTest, NamesMadeOrRemovedByAnyoneAreSeenInAFolderBeingFilled) {
    make_dirs("001");
    for (int i = 0; i < 300; ++i) {
        std::string name = "001\\Z00100" + std::to_string(100 + i) + ".WAV";
        ASSERT_TRUE(create(name.c_str(), "v")) << name;
    }
    EXPECT_EQ(content("001\\z00100100.wav"), "v");
    EXPECT_EQ(snapshot(dir / "001").size(), 300u);
    // Removed through the emulation, then made again in another case: the new spelling is taken.
    ASSERT_EQ(remove_file("001\\z00100150.wav"), 0);
    ASSERT_TRUE(create("001\\z00100150.wav", "again"));
    EXPECT_EQ(read_file(dir / "001/z00100150.wav"), "again");
    // Made by someone else right after a change of ours, and some milliseconds later.
    ASSERT_TRUE(create("001\\mine.txt", "m"));
    write_file(dir / "001/THEIRS.TXT", "t");
    EXPECT_EQ(content("001\\theirs.txt"), "t");
    ASSERT_TRUE(create("001\\mine2.txt", "m"));
    usleep(30000);
    write_file(dir / "001/Later.Txt", "l");
    ASSERT_TRUE(create("001\\LATER.TXT", "written"));
    EXPECT_EQ(read_file(dir / "001/Later.Txt"), "written");
    EXPECT_FALSE(exists(dir / "001/LATER.TXT"));
    // Removed by someone else: the name given is used again.
    unlink((dir / "001/Z00100200.WAV").c_str());
    usleep(30000);
    ASSERT_TRUE(create("001\\z00100200.wav", "x"));
    EXPECT_TRUE(exists(dir / "001/z00100200.wav"));
}

TEST_F(PathTest, StarAndQuestionMarkMatchWithoutRegardToCase) {
    for (const char* f : {"A.WAV", "b.wav", "c.wave", "d.wav.bak", "e.Wav", "wav", "x.b.wav"}) write_file(f, "");
    EXPECT_EQ(search("*.wav"), (names{"A.WAV", "b.wav", "e.Wav", "x.b.wav"}));
    EXPECT_EQ(search("?.WAV"), (names{"A.WAV", "b.wav", "e.Wav"}));
    EXPECT_EQ(search("*.wav*"), (names{"A.WAV", "b.wav", "c.wave", "d.wav.bak", "e.Wav", "x.b.wav"}));
    EXPECT_EQ(search("B.WAV"), (names{"b.wav"}));
    EXPECT_EQ(search("*"), (names{"./", "../", "A.WAV", "b.wav", "c.wave", "d.wav.bak", "e.Wav", "wav", "x.b.wav"}));
    EXPECT_EQ(search("*.*"), search("*"));
    EXPECT_EQ(search("*."), (names{"./", "../", "wav"}));
}

TEST_F(PathTest, QuestionMarksAlsoMatchShorterNamesAndTheDotEntries) {
    make_dirs("001");
    make_dirs("002");
    make_dirs("0003");
    write_file("abc", "");
    write_file("ab", "");
    write_file("Z001.KOE", "");
    write_file("z002.koe", "");
    write_file("Z0003.KOE", "");
    write_file("Z001.KOEX", "");
    EXPECT_EQ(search("???"), (names{"./", "../", "001/", "002/", "ab", "abc"}));
    EXPECT_EQ(search("Z???.KOE"), (names{"Z001.KOE", "z002.koe"}));
    EXPECT_EQ(search_crt("???"), search("???"));
}

TEST_F(PathTest, SearchOrderIsCaseInsensitiveOrdinalAndRepeatable) {
    for (const char* f : {"b", "A", "c", "_x", "a1", "B2"}) write_file(f, "");
    EXPECT_EQ(search("?*"), (names{"./", "../", "A", "a1", "b", "B2", "c", "_x"}));
    EXPECT_EQ(search("*"), search("*"));
    EXPECT_EQ(search_crt("*"), search("*"));
}

TEST_F(PathTest, SearchResolvesTheFolderPartAndMarksFolders) {
    make_dirs("Koe/sub");
    write_file("Koe/Z001.KOE", "");
    EXPECT_EQ(search("KOE\\z???.koe"), (names{"Z001.KOE"}));
    EXPECT_EQ(search("koe/*"), (names{"./", "../", "sub/", "Z001.KOE"}));
    find_entry e;
    find_state* s = find_first_file("koe\\Z001.KOE", &e);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(e.attrib & ATTR_FOLDER, 0u);
    EXPECT_EQ(find_next_file(s, &e), 0);
    find_close(s);
    make_dirs("\x83\x5C");
    write_file("\x83\x5C/v.wav", "");
    EXPECT_EQ(search("\x83\x5C\\*.WAV"), (names{"v.wav"}));
}

TEST_F(PathTest, SearchFailureIsNullOrMinusOneWithEnoent) {
    write_file("a.txt", "");
    find_entry e;
    errno = 0;
    EXPECT_EQ(find_first_file("*.wav", &e), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(find_first_file("nosuch\\*", &e), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(findfirst("a.txt\\*", &e), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(findfirst("nosuch\\*.wav", &e), -1);
    EXPECT_EQ(errno, ENOENT);
    intptr_t h = findfirst("A.TXT", &e);
    ASSERT_NE(h, -1);
    EXPECT_STREQ(e.name, "a.txt");
    EXPECT_EQ(findnext(h, &e), -1);
    EXPECT_EQ(findclose(h), 0);
}

}  // namespace
