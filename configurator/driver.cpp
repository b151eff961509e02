// The configurator's run from start to exit status. Whatever fails, the folder is left with the
// names and contents it had: files are moved aside before anything new is written, and moved
// back when the run does not finish.
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
    char* game_backup = nullptr;
    char* track_table_backup = nullptr;
    FILE* input = nullptr;
    FILE* output = nullptr;
    FILE* track_table = nullptr;
    bool track_table_created = false;
};

static void close_stream(FILE** stream) {
    if (*stream) fclose(*stream);
    *stream = nullptr;
}

// Undoes what the run has done, newest first; streams are closed before their files move.
static void roll_back(run_record* run) {
    close_stream(&run->track_table);
    if (run->track_table_created || run->track_table_backup)
        restore_backup(TRACK_TABLE_NAME, run->track_table_backup);
    close_stream(&run->input);
    close_stream(&run->output);
    if (run->game_backup) restore_backup(GAMEEXE_NAME, run->game_backup);
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

// Moves the files aside and opens the three streams, stage by stage. 0 after a box.
static int open_streams(run_record* run) {
    run->game_backup = rename_to_backup(GAMEEXE_NAME);
    if (!run->game_backup) return 0;

    run->input = open_file(run->game_backup, "rt");
    if (!run->input) {
        error_box("オリジナルのGAMEEXE.INIのオープンに失敗しました。");
        return 0;
    }
    run->output = open_file(GAMEEXE_NAME, "wt");
    if (!run->output) {
        error_box("GAMEEXE.INIの新規作成に失敗しました。");
        return 0;
    }
    if (file_exists(TRACK_TABLE_NAME)) {
        run->track_table_backup = rename_to_backup(TRACK_TABLE_NAME);
        if (!run->track_table_backup) return 0;
    }
    run->track_table = open_file(TRACK_TABLE_NAME, "wt");
    run->track_table_created = true;
    if (!run->track_table) {
        error_box("_inmm.iniの新規作成に失敗しました。");
        return 0;
    }
    return 1;
}

int run_configurator(int argc, char** argv) {
    if (!file_exists(GAMEEXE_NAME)) {
        error_box("GAMEEXE.INIがあるフォルダで実行してください。");
        return 1;
    }
    int system = detect_system(argc, argv);
    if (system == NO_SYSTEM) {
        error_box("システムを特定できません。\nAVG321XX.EXEかREALLIVE.EXEのあるフォルダで実行するか、"
                  "--avg32 または --reallive オプションをつけて実行してください。");
        return 1;
    }

    run_record run;
    int status = 0;
    // Success is only claimed once every byte has reached its file.
    if (!open_streams(&run) ||
        !rewrite_gameexe(run.input, run.output, run.track_table, system) ||
        !finish_written(&run.track_table, TRACK_TABLE_NAME) ||
        !finish_written(&run.output, GAMEEXE_NAME)) {
        roll_back(&run);
        status = 1;
    } else {
        close_stream(&run.input);
        show_box("成功しました。", tool_title, BOX_OK | BOX_ICON_INFORMATION);
    }
    free(run.game_backup);
    free(run.track_table_backup);
    return status;
}
