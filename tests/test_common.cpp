// The shared message boxes and backup files: names of backups, what existence means, the order of
// the names in messages, and long messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "common/common.h"
#include "platform/fault.h"
#include "tests/support/support.h"

namespace {

// Each test works in a fresh folder of its own, as the tools work in the game folder.
class CommonTest : public in_temp_dir {
protected:
    std::string backup_of(const char* name) {
        char* backup = rename_to_backup(name);
        std::string result = backup ? backup : "(null)";
        free(backup);
        return result;
    }
};

TEST_F(CommonTest, BackupTakesFirstFreeCandidate) {
    write_file("GAMEEXE.INI", "one");
    EXPECT_EQ(backup_of("GAMEEXE.INI"), "GAMEEXE.org");
    write_file("GAMEEXE.INI", "two");
    EXPECT_EQ(backup_of("GAMEEXE.INI"), "GAMEEXE.org1");
    write_file("GAMEEXE.INI", "three");
    EXPECT_EQ(backup_of("GAMEEXE.INI"), "GAMEEXE.org2");
    EXPECT_EQ(read_file("GAMEEXE.org"), "one");
    EXPECT_EQ(read_file("GAMEEXE.org1"), "two");
    EXPECT_EQ(read_file("GAMEEXE.org2"), "three");
    EXPECT_FALSE(exists("GAMEEXE.INI"));
}

TEST_F(CommonTest, BackupFillsAGapAtTheFirstName) {
    write_file("GAMEEXE.org1", "older");
    write_file("GAMEEXE.INI", "game");
    EXPECT_EQ(backup_of("GAMEEXE.INI"), "GAMEEXE.org");
    EXPECT_EQ(read_file("GAMEEXE.org1"), "older");
    EXPECT_EQ(read_file("GAMEEXE.org"), "game");
}

TEST_F(CommonTest, BackupNameReplacesOnlyTheLastExtension) {
    write_file("_inmm.ini", "x");
    EXPECT_EQ(backup_of("_inmm.ini"), "_inmm.org");
    write_file("a.b.c", "x");
    EXPECT_EQ(backup_of("a.b.c"), "a.b.org");
    write_file("noext", "x");
    EXPECT_EQ(backup_of("noext"), "noext.org");
}

TEST_F(CommonTest, DotInAFolderNameBeforeABackslashIsNoExtension) {
    make_dirs("old.b");
    write_file("old.b/data", "payload");
    EXPECT_EQ(backup_of("old.b\\data"), "old.b\\data.org");
    EXPECT_EQ(read_file("old.b/data.org"), "payload");
}

TEST_F(CommonTest, ForwardSlashDoesNotSeparateFoldersForTheBackupName) {
    make_dirs("old.b");
    write_file("old.b/data", "payload");
    EXPECT_EQ(backup_of("old.b/data"), "old.org");
    EXPECT_EQ(read_file("old.org"), "payload");
}

TEST_F(CommonTest, FileExistsAndErrno) {
    errno = 0;
    EXPECT_EQ(file_exists("missing.txt"), 0);
    EXPECT_EQ(errno, 0);
    errno = EINVAL;
    EXPECT_EQ(file_exists("missing.txt"), 0);
    EXPECT_EQ(errno, 0) << "a missing file resets errno";
    write_file("present.txt", "");
    make_dirs("folder");
    EXPECT_EQ(file_exists("present.txt"), 1);
    EXPECT_EQ(file_exists("folder"), 1);
    EXPECT_EQ(file_exists("PRESENT.TXT"), 1) << "names match without regard to case";
}

TEST_F(CommonTest, FileWhoseStateIsUnknownCountsAsExisting) {
    fault_arm(1, FAULT_FAIL);
    errno = 0;
    EXPECT_EQ(file_exists("missing.txt"), 1);
    EXPECT_NE(errno, 0);
}

TEST_F(CommonTest, RestoreWithoutBackupOnlyRemoves) {
    write_file("_inmm.ini", "new");
    testing::internal::CaptureStderr();
    restore_backup("_inmm.ini", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(exists("_inmm.ini"));
}

TEST_F(CommonTest, RestoreOfAMissingFileIsSilentAndStillRenames) {
    write_file("GAMEEXE.org", "game");
    testing::internal::CaptureStderr();
    restore_backup("GAMEEXE.INI", "GAMEEXE.org");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file("GAMEEXE.INI"), "game");
    EXPECT_FALSE(exists("GAMEEXE.org"));
}

TEST_F(CommonTest, RestoreReplacesTheNewFile) {
    write_file("GAMEEXE.org", "game");
    write_file("GAMEEXE.INI", "half written");
    restore_backup("GAMEEXE.INI", "GAMEEXE.org");
    EXPECT_EQ(read_file("GAMEEXE.INI"), "game");
    EXPECT_EQ(snapshot(dir.path).size(), 1u);
}

TEST_F(CommonTest, RenameMessagesNameTheMovedFileFirst) {
    write_file("x.txt", "data");
    fault_arm(2, FAULT_FAIL);  // the existence test of x.org, then the rename
    testing::internal::CaptureStderr();
    EXPECT_EQ(backup_of("x.txt"), "(null)");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("test.exe: x.txtをx.orgにリネームできません: ") + strerror(EIO) + "\n");
    EXPECT_EQ(read_file("x.txt"), "data") << "a failed backup leaves the file where it was";

    write_file("x.org", "backup");
    fault_arm(2, FAULT_FAIL);  // the removal, then the rename
    testing::internal::CaptureStderr();
    restore_backup("x.txt", "x.org");
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string("test.exe: x.orgをx.txtにリネームできません: ") + strerror(EIO) + "\n");
}

TEST_F(CommonTest, FailedRemovalIsReportedAndTheRenameStillTried) {
    write_file("x.txt", "new");
    write_file("x.org", "backup");
    fault_arm(1, FAULT_FAIL);
    testing::internal::CaptureStderr();
    restore_backup("x.txt", "x.org");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("x.txtの削除に失敗しました: "), std::string::npos) << err;
    // The rename is tried even so; the platform refuses to overwrite, as Windows does.
    EXPECT_NE(err.find("x.orgをx.txtにリネームできません: "), std::string::npos) << err;
    EXPECT_EQ(read_file("x.org"), "backup");
}

TEST_F(CommonTest, LongMessageIsCutAtACharacterBoundary) {
    // The tools' text is CP932 (two bytes a character here); the box shows it in UTF-8.
    std::string text = "a";
    for (int i = 0; i < 700; ++i) text += "\x82\xA0";
    testing::internal::CaptureStderr();
    error_box("%s", text.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    std::string prefix = "test.exe: ";
    ASSERT_EQ(err.compare(0, prefix.size(), prefix), 0);
    std::string shown = err.substr(prefix.size());
    ASSERT_FALSE(shown.empty());
    ASSERT_EQ(shown.back(), '\n');
    shown.pop_back();
    std::string whole = "a";
    for (int i = 0; i < 511; ++i) whole += "あ";   // 1 + 2 * 511 = 1023 bytes of CP932
    EXPECT_EQ(shown, whole) << "the whole characters that fit";
}

}  // namespace
