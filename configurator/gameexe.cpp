// GAMEEXE.INI rewriting: every line passes through unchanged unless one of the rules below fits.
#include "configurator/gameexe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "configurator/bgm_folder.h"
#include "configurator/engine.h"
#include "configurator/track_timing.h"

static const char GAMEEXE_NAME[] = "GAMEEXE.INI";
static const char TRACK_TABLE_NAME[] = "_inmm.ini";
static const char ORIGINAL_NAME[] = "オリジナルのGAMEEXE.INI";

void report_write_failure(const char* file_name, int error) {
    error_box("%sの書き込みに失敗しました: %s", file_name, strerror(error ? error : EIO));
}

void report_read_failure(const char* file_name, int error) {
    error_box("%sの読み込みに失敗しました: %s", file_name, strerror(error ? error : EIO));
}

int write_cd_track(FILE* output, int32_t start, int32_t end, int32_t third, const char* file_name,
                   const char* track_name, int track, const char* folder, int system) {
    fputs("#CDTRACK = ", output);
    if (system == REALLIVE && start == 0 && end == WHOLE_TRACK_END && third == 0) {
        // The engine plays the whole file; its audio is not looked at.
        fprintf(output, "%02d:00:00:00 - 00:00:00:00 - 00:00:00:00", track);
    } else {
        track_timing timing;
        if (!get_track_timing(folder, file_name, &timing, system)) return 0;
        write_time_code(start, timing.rate, track, output);
        fputs(" - ", output);
        if (end != WHOLE_TRACK_END)
            write_time_code(end, timing.rate, track, output);
        else if (system == REALLIVE)
            fputs("00:00:00:00", output);
        else
            write_time_code(timing.length, timing.rate, track, output);
        fputs(" - ", output);
        write_time_code(third, timing.rate, track, output);
    }
    fprintf(output, " = \"%s\"\n", track_name);
    return 1;
}

// A "#DSTRACK" entry: 1 when handled, 0 when the track could not be described.
static int rewrite_track_entry(const char* line, size_t length, int32_t start, int32_t end,
                               int32_t third, const char* file_name, const char* track_name,
                               FILE* output, FILE* track_table, int system, const char* folder,
                               int* track) {
    if (system == REALLIVE) {
        fwrite(line, 1, length, output);
        // The last line of a file, or a piece of an overlong one, has no line end of its own; the
        // engine reads one entry per line, so the new entry must not share it.
        if (line[length - 1] != '\n') fputc('\n', output);
    }
    if (!write_cd_track(output, start, end, third, file_name, track_name, *track, folder, system))
        return 0;
    fprintf(track_table, "%s\\%s.wav\n", folder, file_name);
    ++*track;
    return 1;
}

// Handles one line (or piece of one). 0 stops the rewriting.
static int rewrite_line(const char* line, size_t length, FILE* output, FILE* track_table, int system,
                        const char* folder, int* track) {
    const scan_field any_number{nullptr, nullptr, 0};
    char text[SETTING_TEXT_SIZE];

    if (system == AVG32) {
        if (scan_line(line, "#MUSIC_TYPE = %d", &any_number, 1) == 1) {
            fputs("#MUSIC_TYPE = 003\n", output);
            return 1;
        }
        if (scan_line(line, "#KOE_DOUBLE_PAC = %d", &any_number, 1) == 1) {
            fputs("#KOE_DOUBLE_PAC = 000\n", output);
            return 1;
        }
    } else if (system == REALLIVE) {
        const scan_field quoted{nullptr, text, sizeof text};
        if (scan_line(line, "#SYSCOM.011 = N : \"%[^\"]\"", &quoted, 1) == 1) {
            fprintf(output, "#SYSCOM.011 = U:\"%s\"\n", text);
            return 1;
        }
        if (scan_line(line, "#BGM_MODE = %d", &any_number, 1) == 1) {
            fputs("#BGM_MODE = 1\n", output);
            return 1;
        }
        const scan_field setup[2] = {{nullptr, text, sizeof text}, any_number};
        if (scan_line(line, "#CDDA_%3s_SETUP_NEED = %d", setup, 2) == 2) {
            fprintf(output, "#CDDA_%s_SETUP_NEED = 0\n", text);
            return 1;
        }
    }

    int32_t start, end, third;
    char file_name[TRACK_NAME_SIZE], track_name[TRACK_NAME_SIZE];
    const scan_field entry[5] = {{&start, nullptr, 0},
                                 {&end, nullptr, 0},
                                 {&third, nullptr, 0},
                                 {nullptr, file_name, sizeof file_name},
                                 {nullptr, track_name, sizeof track_name}};
    if (scan_line(line, "#DSTRACK = %d - %d - %d = \"%[^\"]\" = \"%[^\"]\"", entry, 5) == 5)
        return rewrite_track_entry(line, length, start, end, third, file_name, track_name, output,
                                   track_table, system, folder, track);

    fwrite(line, 1, length, output);
    return 1;
}

int rewrite_gameexe(FILE* input, FILE* output, FILE* track_table, int system) {
    int track = FIRST_TRACK;
    char* found = get_bgm_folder(input);
    const char* folder = found ? found : "BGM";

    // The lookup read up to "#REGNAME"; every line before it must be copied as well.
    int result = 1;
    if (fseek(input, 0, SEEK_SET) != 0) {
        report_read_failure(ORIGINAL_NAME, errno);
        result = 0;
    }
    clearerr(input);

    char line[LINE_SIZE];
    size_t length;
    while (result && (length = read_line(input, line)) > 0) {
        result = rewrite_line(line, length, output, track_table, system, folder, &track);
        // A write that failed stops the run here, before the disk fills any further.
        if (result && ferror(output)) {
            report_write_failure(GAMEEXE_NAME, errno);
            result = 0;
        } else if (result && ferror(track_table)) {
            report_write_failure(TRACK_TABLE_NAME, errno);
            result = 0;
        }
    }
    // A read error would otherwise pass for the end of the file and cut the new GAMEEXE.INI short.
    if (result && ferror(input)) {
        report_read_failure(ORIGINAL_NAME, errno);
        result = 0;
    }
    free(found);
    return result;
}
