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
// Work names: the new files, and the copies that become backups.
static const char NEW_GAMEEXE[] = "GAMEEXE.INI.new";
static const char NEW_TRACK_TABLE[] = "_inmm.ini.new";
static const char GAMEEXE_COPY[] = "GAMEEXE.org.new";
static const char TRACK_TABLE_COPY[] = "_inmm.org.new";

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

// Backups first, then the track table, and GAMEEXE.INI last: a run cut off before that last step
// leaves the game's own GAMEEXE.INI, which a new run converts again, and a GAMEEXE.INI that has
// been converted always has its track table. 0 after a box.
static int put_in_place(run_record* run) {
    run->game_backup = copy_to_backup(GAMEEXE_NAME, GAMEEXE_COPY);
    if (!run->game_backup) return 0;
    bool had_track_table = file_exists(TRACK_TABLE_NAME);
    if (had_track_table) {
        run->track_table_backup = copy_to_backup(TRACK_TABLE_NAME, TRACK_TABLE_COPY);
        if (!run->track_table_backup) return 0;
    }
    int placed = had_track_table ? replace_file(NEW_TRACK_TABLE, TRACK_TABLE_NAME)
                                 : rename_file(NEW_TRACK_TABLE, TRACK_TABLE_NAME);
    if (placed == -1) {
        error_box("%sを%sにリネームできません: %s", NEW_TRACK_TABLE, TRACK_TABLE_NAME, strerror(errno));
        return 0;
    }
    run->track_table_placed = true;
    if (replace_file(NEW_GAMEEXE, GAMEEXE_NAME) == -1) {
        error_box("%sを%sにリネームできません: %s", NEW_GAMEEXE, GAMEEXE_NAME, strerror(errno));
        return 0;
    }
    return 1;
}

// 1 when GAMEEXE.INI has a track entry to convert; 0 after a box.
static int check_track_entries() {
    FILE* input = open_file(GAMEEXE_NAME, "rt");
    if (!input) {
        error_box("オリジナルのGAMEEXE.INIのオープンに失敗しました。");
        return 0;
    }
    int found = has_track_entry(input);
    int error = errno;
    fclose(input);
    if (found < 0) report_read_failure(GAMEEXE_NAME, error);
    // Converted already (AVG32 keeps no "#DSTRACK" line) or never meant for it: a run would only
    // write an empty track table over the working one.
    if (found == 0) error_box("GAMEEXE.INIに#DSTRACKの行がありません。変更はしていません。");
    return found > 0;
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
    remove_work_files();
    if (!check_track_entries()) return 1;

    run_record run;
    int status = 0;
    if (!write_new_files(&run, system) || !put_in_place(&run)) {
        roll_back(&run);
        status = 1;
    } else {
        show_box("成功しました。", tool_title, BOX_OK | BOX_ICON_INFORMATION);
    }
    free(run.game_backup);
    free(run.track_table_backup);
    return status;
}
