// The configurator's run from start to exit status. The new files are written whole under work
// names and committed to the disk before they take their names, so that GAMEEXE.INI is at every
// moment the game's own file or the complete new one, also when the run is cut off. Whatever
// fails, the folder is left with the names and contents it had.
#include "configurator/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "configurator/engine.h"
#include "configurator/gameexe.h"
#include "platform/platform.h"

static const char GAMEEXE_NAME[] = "GAMEEXE.INI";
static const char TRACK_TABLE_NAME[] = "_inmm.ini";
static const char GAME_BACKUP[] = "GAMEEXE.org";
static const char TRACK_TABLE_BACKUP[] = "_inmm.org";
// Work names: the new files, and the copies that become backups.
static const char NEW_GAMEEXE[] = "GAMEEXE.INI.new";
static const char NEW_TRACK_TABLE[] = "_inmm.ini.new";
static const char GAMEEXE_COPY[] = "GAMEEXE.org.new";
static const char TRACK_TABLE_COPY[] = "_inmm.org.new";
// Held for the whole run, so that a second run in the folder stops at once.
static const char LOCK_NAME[] = "tormel.lock";

int detect_system(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--avg32") == 0) return AVG32;
        if (strcmp(argv[i], "--reallive") == 0) return REALLIVE;
    }
    if (file_exists(REALLIVE_EXECUTABLE)) return REALLIVE;
    for (const char* executable : AVG32_EXECUTABLES)
        if (file_exists(executable)) return AVG32;
    return NO_SYSTEM;
}

// What the roll-back needs to know about how far the run got.
struct run_record {
    FILE* input = nullptr;
    FILE* output = nullptr;
    FILE* track_table = nullptr;
    char* game_backup = nullptr;          // the copy of GAMEEXE.INI, once under its backup name
    char* track_table_backup = nullptr;   // the same for the previous _inmm.ini
    bool track_table_placed = false;      // the new _inmm.ini has taken its name
    bool track_table_read_only = false;   // the previous _inmm.ini had the read-only attribute
};

static void close_stream(FILE** stream) {
    if (*stream) fclose(*stream);
    *stream = nullptr;
}

// A run cut off (killed, the power gone) leaves its work files; they never held anything the
// game uses, and a new run writes them afresh.
static void remove_work_files() {
    const char* const names[] = {NEW_GAMEEXE, NEW_TRACK_TABLE, GAMEEXE_COPY, TRACK_TABLE_COPY};
    for (const char* name : names) remove_file(name);
}

static void remove_reporting(const char* path) {
    if (remove_file(path) == -1 && errno != ENOENT)
        error_box("%sの削除に失敗しました: %s", path, strerror(errno));
}

// Undoes what the run has done, newest first. Until GAMEEXE.INI is replaced, the game's files
// are as they were; only the track table may have moved, and the backups made for this run go.
static void roll_back(run_record* run) {
    close_stream(&run->track_table);
    close_stream(&run->output);
    close_stream(&run->input);
    remove_work_files();
    if (run->track_table_placed) {
        if (run->track_table_backup) {
            restore_backup(TRACK_TABLE_NAME, run->track_table_backup);
            if (run->track_table_read_only) set_read_only(TRACK_TABLE_NAME, 1);
            free(run->track_table_backup);
            run->track_table_backup = nullptr;
        } else {
            remove_reporting(TRACK_TABLE_NAME);
        }
    }
    if (run->track_table_backup) remove_reporting(run->track_table_backup);
    if (run->game_backup) remove_reporting(run->game_backup);
}

// Flushes and closes a stream that was written; 0 after a box when any of its data may be lost.
static int finish_written(FILE** stream, const char* file_name) {
    int error = 0;
    if (fflush(*stream) != 0 || ferror(*stream)) error = errno ? errno : EIO;
    if (fclose(*stream) != 0 && !error) error = errno ? errno : EIO;
    *stream = nullptr;
    if (error) report_write_failure(file_name, error);
    return !error;
}

// Copies from into to (created, committed to the disk on close). 0 when anything failed, with
// errno set; to may then hold a part.
static int copy_file(const char* from, const char* to) {
    FILE* in = open_file(from, "rb");
    if (!in) return 0;
    FILE* out = open_file(to, "wbc");
    if (!out) {
        int error = errno;
        fclose(in);
        errno = error;
        return 0;
    }
    static char buffer[1 << 16];
    int error = 0;
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
        if (fwrite(buffer, 1, got, out) != got) {
            error = errno ? errno : EIO;
            break;
        }
    if (!error && ferror(in)) error = errno ? errno : EIO;
    // The runtime commits a "c" stream on fflush, not necessarily on fclose.
    if (!error && fflush(out) != 0) error = errno ? errno : EIO;
    if (fclose(out) != 0 && !error) error = errno ? errno : EIO;
    fclose(in);
    errno = error;
    return !error;
}

// Keeps path under its free backup name as a whole copy, so that path itself never goes missing.
// The copy is made under work_name and takes the backup name only once complete. The backup name
// (the caller owns it), or null after a box.
static char* copy_to_backup(const char* path, const char* work_name) {
    char* backup = free_backup_name(path, "%sを%sにコピーできません: %s");
    if (!backup) return nullptr;
    errno = 0;
    if (!copy_file(path, work_name)) {
        error_box("%sを%sにコピーできません: %s", path, backup, strerror(errno ? errno : EIO));
        remove_file(work_name);
        free(backup);
        return nullptr;
    }
    if (rename_file(work_name, backup) == -1) {
        error_box("%sを%sにリネームできません: %s", work_name, backup, strerror(errno));
        remove_file(work_name);
        free(backup);
        return nullptr;
    }
    return backup;
}

// Reads the game's GAMEEXE.INI and writes the new files whole under their work names. 0 after a
// box; nothing the game uses has changed then.
static int write_new_files(run_record* run, int system) {
    run->input = open_file(GAMEEXE_NAME, "rt");
    if (!run->input) {
        error_box("オリジナルのGAMEEXE.INIのオープンに失敗しました。");
        return 0;
    }
    run->output = open_file(NEW_GAMEEXE, "wtc");
    if (!run->output) {
        error_box("GAMEEXE.INIの新規作成に失敗しました。");
        return 0;
    }
    run->track_table = open_file(NEW_TRACK_TABLE, "wtc");
    if (!run->track_table) {
        error_box("_inmm.iniの新規作成に失敗しました。");
        return 0;
    }
    // Success is only claimed once every byte has reached its file.
    if (!rewrite_gameexe(run->input, run->output, run->track_table, system) ||
        !finish_written(&run->track_table, TRACK_TABLE_NAME) || !finish_written(&run->output, GAMEEXE_NAME))
        return 0;
    close_stream(&run->input);
    return 1;
}

static int is_read_only(const char* path) { return file_access(path, 2) == -1 && errno == EACCES; }

// Gives work_name the name name, replacing that file. A game copied from a CD keeps read-only
// files, which Windows will rename but not replace (ReplaceFile refuses them as well, and would
// pass the attribute on to the new file): the attribute is lifted for the replace and put back
// when it fails. 0 after a box.
static int replace_in_place(const char* work_name, const char* name) {
    bool read_only = is_read_only(name);
    if (read_only && set_read_only(name, 0) == -1) {
        error_box("%sの読み取り専用属性を外せません: %s", name, strerror(errno));
        return 0;
    }
    if (replace_file(work_name, name) == 0) return 1;
    int error = errno;
    if (read_only) set_read_only(name, 1);
    error_box("%sを%sにリネームできません: %s", work_name, name, strerror(error));
    return 0;
}

// A copy of the previous _inmm.ini, if there is one, under its backup name. 0 after a box.
static int back_up_track_table(run_record* run) {
    if (!file_exists(TRACK_TABLE_NAME)) return 1;
    run->track_table_read_only = is_read_only(TRACK_TABLE_NAME);
    run->track_table_backup = copy_to_backup(TRACK_TABLE_NAME, TRACK_TABLE_COPY);
    return run->track_table_backup != nullptr;
}

// The new _inmm.ini takes its name, over the previous one when there is one. 0 after a box.
static int place_track_table(const run_record* run) {
    if (run->track_table_backup) return replace_in_place(NEW_TRACK_TABLE, TRACK_TABLE_NAME);
    if (rename_file(NEW_TRACK_TABLE, TRACK_TABLE_NAME) == 0) return 1;
    error_box("%sを%sにリネームできません: %s", NEW_TRACK_TABLE, TRACK_TABLE_NAME, strerror(errno));
    return 0;
}

// Backups first, then the track table, and GAMEEXE.INI last: a run cut off before that last step
// leaves the game's own GAMEEXE.INI, which a new run converts again, and a GAMEEXE.INI that has
// been converted always has its track table. 0 after a box.
static int put_in_place(run_record* run) {
    run->game_backup = copy_to_backup(GAMEEXE_NAME, GAMEEXE_COPY);
    if (!run->game_backup) return 0;
    if (!back_up_track_table(run) || !place_track_table(run)) return 0;
    run->track_table_placed = true;
    return replace_in_place(NEW_GAMEEXE, GAMEEXE_NAME);
}

// Reads GAMEEXE.INI whole before anything is written: 1 when it has a track entry to convert, 0
// when it has none, -1 after a box when it is no settings file or cannot be read.
static int check_gameexe() {
    // Binary, so that the size is the size on the disk.
    FILE* input = open_file(GAMEEXE_NAME, "rb");
    if (!input) {
        error_box("オリジナルのGAMEEXE.INIのオープンに失敗しました。");
        return -1;
    }
    int found = check_settings(input);
    int error = errno;
    fclose(input);
    if (found == SETTINGS_READ_ERROR) report_read_failure(GAMEEXE_NAME, error);
    // A crash can leave the file padded with NUL bytes; converting it would write all of them again.
    if (found == SETTINGS_HAS_NUL)
        error_box("GAMEEXE.INIにNULバイトがあり、設定ファイルとして読めません。変更はしていません。\n"
                  "GAMEEXE.INIをゲームの元のファイルに戻してから実行してください。");
    if (found == SETTINGS_TOO_BIG)
        error_box("GAMEEXE.INIが%ldMiBを超えていて、設定ファイルとは思えません。変更はしていません。\n"
                  "GAMEEXE.INIをゲームの元のファイルに戻してから実行してください。",
                  MAX_SETTINGS_SIZE >> 20);
    return found < 0 ? -1 : found;
}

// 1 when the two files hold the same bytes, 0 when they differ, -1 after a box when one cannot be
// read.
static int same_content(const char* a, const char* b) {
    FILE* first = open_file(a, "rb");
    if (!first) {
        report_read_failure(a, errno);
        return -1;
    }
    FILE* second = open_file(b, "rb");
    if (!second) {
        report_read_failure(b, errno);
        fclose(first);
        return -1;
    }
    static char one[1 << 16], other[1 << 16];
    int same = 1;
    for (;;) {
        size_t n = fread(one, 1, sizeof one, first), m = fread(other, 1, sizeof other, second);
        if (ferror(first) || ferror(second)) {
            report_read_failure(ferror(first) ? a : b, errno);
            same = -1;
            break;
        }
        if (n != m || memcmp(one, other, n) != 0) same = 0;
        if (n == 0 || !same) break;
    }
    fclose(first);
    fclose(second);
    return same;
}

// 1 when GAMEEXE.org, the game's own GAMEEXE.INI kept by the first run, is there to go back to: a
// settings file with track entries, other than GAMEEXE.INI as it is now. 0 when not, -1 after a
// box when it cannot be read.
static int has_game_backup() {
    FILE* backup = open_file(GAME_BACKUP, "rb");
    if (!backup) {
        if (errno == ENOENT) return 0;
        report_read_failure(GAME_BACKUP, errno);
        return -1;
    }
    int found = check_settings(backup);
    int error = errno;
    fclose(backup);
    if (found == SETTINGS_READ_ERROR) {
        report_read_failure(GAME_BACKUP, error);
        return -1;
    }
    if (found != 1) return 0;
    int same = same_content(GAME_BACKUP, GAMEEXE_NAME);
    return same < 0 ? -1 : !same;
}

// _inmm.org holds the game's own _inmm.ini unless it is the table the first run wrote for GAMEEXE.org
// (the game had none then, and a later run kept that table): 1 when the game had a track table,
// 0 when not, -1 after a box when either file cannot be read.
static int game_had_track_table() {
    FILE* table = open_file(TRACK_TABLE_BACKUP, "rt");
    if (!table) {
        if (errno == ENOENT) return 0;
        report_read_failure(TRACK_TABLE_BACKUP, errno);
        return -1;
    }
    FILE* settings = open_file(GAME_BACKUP, "rt");
    int ours = settings ? is_track_table_of(settings, table) : -1;
    int error = errno;
    if (ours < 0) report_read_failure(settings && !ferror(settings) ? TRACK_TABLE_BACKUP : GAME_BACKUP, error);
    if (settings) fclose(settings);
    fclose(table);
    return ours < 0 ? -1 : !ours;
}

// Puts the game's own files back, each replaced one kept under its next backup name, in the order
// and with the roll-back of a run. 0 after a box.
static int put_game_files_back(run_record* run) {
    errno = 0;
    if (!copy_file(GAME_BACKUP, NEW_GAMEEXE)) {
        error_box("%sを%sにコピーできません: %s", GAME_BACKUP, NEW_GAMEEXE, strerror(errno ? errno : EIO));
        return 0;
    }
    int own_table = game_had_track_table();
    if (own_table < 0) return 0;
    errno = 0;
    if (own_table && !copy_file(TRACK_TABLE_BACKUP, NEW_TRACK_TABLE)) {
        error_box("%sを%sにコピーできません: %s", TRACK_TABLE_BACKUP, NEW_TRACK_TABLE, strerror(errno ? errno : EIO));
        return 0;
    }
    run->game_backup = copy_to_backup(GAMEEXE_NAME, GAMEEXE_COPY);
    if (!run->game_backup || !back_up_track_table(run)) return 0;
    if (own_table) {
        if (!place_track_table(run)) return 0;
    } else if (run->track_table_backup) {
        // The game had none: the converted one goes, kept under its backup name.
        if (run->track_table_read_only) set_read_only(TRACK_TABLE_NAME, 0);
        if (remove_file(TRACK_TABLE_NAME) == -1) {
            error_box("%sの削除に失敗しました: %s", TRACK_TABLE_NAME, strerror(errno));
            if (run->track_table_read_only) set_read_only(TRACK_TABLE_NAME, 1);
            return 0;
        }
    }
    run->track_table_placed = true;
    return replace_in_place(NEW_GAMEEXE, GAMEEXE_NAME);
}

// A game that tormel has converted: offers to put the game's own files back. The exit status.
static int offer_way_back() {
    if (ask_yes_no("GAMEEXE.INIは変換済みです。\n"
                   "ゲームの元のGAMEEXE.INI(%s)と_inmm.iniに戻しますか?\n"
                   "今のGAMEEXE.INIと_inmm.iniはバックアップとして残します。",
                   GAME_BACKUP) != ANSWER_YES)
        return 1;
    run_record run;
    int status = 0;
    if (!put_game_files_back(&run)) {
        roll_back(&run);
        status = 1;
    } else {
        show_box("ゲームの元のGAMEEXE.INIと_inmm.iniに戻しました。", tool_title, BOX_OK | BOX_ICON_INFORMATION);
    }
    free(run.game_backup);
    free(run.track_table_backup);
    return status;
}

// The run from GAMEEXE.INI's check on, with the folder held. The exit status.
static int convert_or_go_back(int system) {
    remove_work_files();
    int entries = check_gameexe();
    if (entries < 0) return 1;
    if (entries == 0) {
        // Converted already (AVG32 keeps no "#DSTRACK" line), or never meant for it: a run would
        // only write an empty track table over the working one.
        int backup = has_game_backup();
        if (backup > 0) return offer_way_back();
        if (backup == 0) error_box("GAMEEXE.INIに#DSTRACKの行がありません。変更はしていません。");
        return 1;
    }

    run_record run;
    int status = 0;
    if (!write_new_files(&run, system)) {
        roll_back(&run);
        return 1;
    }
    // RealLive keeps its "#DSTRACK" lines; a run that would write GAMEEXE.INI as it is finds a
    // game converted already.
    if (system == REALLIVE) {
        int same = same_content(NEW_GAMEEXE, GAMEEXE_NAME);
        int backup = same > 0 ? has_game_backup() : 0;
        if (same < 0 || backup < 0) {
            roll_back(&run);
            return 1;
        }
        if (backup > 0) {
            remove_work_files();
            return offer_way_back();
        }
    }
    if (!put_in_place(&run)) {
        roll_back(&run);
        status = 1;
    } else {
        show_box("成功しました。", tool_title, BOX_OK | BOX_ICON_INFORMATION);
    }
    free(run.game_backup);
    free(run.track_table_backup);
    return status;
}

int run_configurator(int argc, char** argv) {
    if (!file_exists(GAMEEXE_NAME)) {
        if (file_exists(GAME_BACKUP))
            error_box("GAMEEXE.INIがありません。ゲームのGAMEEXE.INIはGAMEEXE.orgに残っています。\n"
                      "GAMEEXE.orgの名前をGAMEEXE.INIに戻してから実行してください。");
        else
            error_box("GAMEEXE.INIがあるフォルダで実行してください。");
        return 1;
    }
    int system = detect_system(argc, argv);
    if (system == NO_SYSTEM) {
        error_box("システムを特定できません。\nAVG321XX.EXEかREALLIVE.EXEのあるフォルダで実行するか、"
                  "--avg32 または --reallive オプションをつけて実行してください。");
        return 1;
    }
    // One run at a time in a folder: another would remove this run's work files, or put its own
    // in place under this run.
    intptr_t lock = lock_file(LOCK_NAME);
    if (lock < 0) {
        if (errno == EBUSY)
            error_box("このフォルダでは、ほかのtormelが実行中です。\nそちらが終わってから、もう一度実行してください。");
        else
            error_box("%sを作成できません: %s\nゲームのフォルダに書き込めるか確かめてください。", LOCK_NAME, strerror(errno));
        return 1;
    }
    int status = convert_or_go_back(system);
    unlock_file(lock);
    remove_file(LOCK_NAME);
    return status;
}
