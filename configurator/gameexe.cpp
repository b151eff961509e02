// GAMEEXE.INI rewriting: every line passes through unchanged unless one of the rules below fits.
#include "configurator/gameexe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "configurator/bgm_folder.h"
#include "configurator/engine.h"
#include "configurator/track_timing.h"
#include "platform/messages.h"

static const char GAMEEXE_NAME[] = "GAMEEXE.INI";
static const char TRACK_TABLE_NAME[] = "_inmm.ini";
static const char ORIGINAL_NAME[] = "オリジナルのGAMEEXE.INI";

void report_write_failure(const char* file_name, int error) {
    error_box("%sの書き込みに失敗しました: %s", file_name, strerror(error ? error : EIO));
}

void report_read_failure(const char* file_name, int error) {
    error_box("%sの読み込みに失敗しました: %s", file_name, strerror(error ? error : EIO));
}

// The "#DSTRACK" pattern: five fields make a track entry.
static const char TRACK_ENTRY[] = "#DSTRACK = %d - %d - %d = \"%[^\"]\" = \"%[^\"]\"";

struct track_entry {
    int32_t start, end, third;
    char file_name[TRACK_NAME_SIZE];
    char track_name[TRACK_NAME_SIZE];
};

static int scan_track_entry(const char* line, track_entry* entry) {
    const scan_field fields[5] = {{&entry->start, nullptr, 0},
                                  {&entry->end, nullptr, 0},
                                  {&entry->third, nullptr, 0},
                                  {nullptr, entry->file_name, sizeof entry->file_name},
                                  {nullptr, entry->track_name, sizeof entry->track_name}};
    return scan_line(line, TRACK_ENTRY, fields, 5) == 5;
}

int check_settings(FILE* input) {
    char line[LINE_SIZE];
    track_entry entry;
    int found = 0;
    long total = 0;
    size_t length;
    while ((length = read_line(input, line)) > 0) {
        if (memchr(line, '\0', length)) return SETTINGS_HAS_NUL;
        total += static_cast<long>(length);
        if (total > MAX_SETTINGS_SIZE) return SETTINGS_TOO_BIG;
        if (!found && scan_track_entry(line, &entry)) found = 1;
    }
    return ferror(input) ? SETTINGS_READ_ERROR : found;
}

// The line without its line end, whether it has one or not.
static size_t without_line_end(const char* line, size_t length) {
    return length && line[length - 1] == '\n' ? length - 1 : length;
}

int is_track_table_of(FILE* settings, FILE* table) {
    char line[LINE_SIZE], row[LINE_SIZE];
    track_entry entry;
    while (read_line(settings, line) > 0) {
        if (!scan_track_entry(line, &entry)) continue;
        size_t length = without_line_end(row, read_line(table, row));
        // "<music folder>\<file name>.wav": the folder is whatever the run found then.
        char tail[TRACK_NAME_SIZE + 8];
        size_t n = static_cast<size_t>(snprintf(tail, sizeof tail, "\\%s.wav", entry.file_name));
        if (length < n || memcmp(row + length - n, tail, n) != 0) return ferror(table) ? -1 : 0;
    }
    int same = read_line(table, row) == 0;
    return ferror(settings) || ferror(table) ? -1 : same;
}

int format_cd_track(char out[CD_TRACK_LINE_SIZE], int32_t start, int32_t end, int32_t third,
                    const char* file_name, const char* track_name, int track, const char* folder,
                    int system) {
    char codes[3][TIME_CODE_SIZE];
    if (system == REALLIVE && start == 0 && end == WHOLE_TRACK_END && third == 0) {
        // The engine plays the whole file; its audio is not looked at.
        snprintf(codes[0], sizeof codes[0], "%02d:00:00:00", track);
        strcpy(codes[1], "00:00:00:00");
        strcpy(codes[2], "00:00:00:00");
    } else {
        track_timing timing;
        if (!get_track_timing(folder, file_name, &timing, system)) return 0;
        format_time_code(codes[0], start, timing.rate, track);
        if (end != WHOLE_TRACK_END)
            format_time_code(codes[1], end, timing.rate, track);
        else if (system == REALLIVE)
            strcpy(codes[1], "00:00:00:00");
        else
            format_time_code(codes[1], timing.length, timing.rate, track);
        format_time_code(codes[2], third, timing.rate, track);
    }
    snprintf(out, CD_TRACK_LINE_SIZE, "#CDTRACK = %s - %s - %s = \"%s\"\n", codes[0], codes[1], codes[2],
             track_name);
    return 1;
}

int write_cd_track(FILE* output, int32_t start, int32_t end, int32_t third, const char* file_name,
                   const char* track_name, int track, const char* folder, int system) {
    char line[CD_TRACK_LINE_SIZE];
    if (!format_cd_track(line, start, end, third, file_name, track_name, track, folder, system)) return 0;
    fputs(line, output);
    return 1;
}

// The same text, whether or not either ends with a line end.
static bool same_line(const char* a, size_t a_length, const char* b, size_t b_length) {
    if (a_length && a[a_length - 1] == '\n') --a_length;
    if (b_length && b[b_length - 1] == '\n') --b_length;
    return a_length == b_length && memcmp(a, b, a_length) == 0;
}

// Reading ahead: the line after a track entry, held for the loop when it is not the entry's own
// "#CDTRACK" line.
struct next_line {
    char text[LINE_SIZE];
    size_t length;
};

// A "#DSTRACK" entry: 1 when handled, 0 when the track could not be described. A run on a file
// that an earlier run has rewritten finds the entry's "#CDTRACK" line already behind it; that line
// is taken as this run's own, so entries never collect a second one.
static int rewrite_track_entry(const char* line, size_t length, const track_entry& entry, FILE* input,
                               FILE* output, FILE* track_table, int system, const char* folder,
                               int* track, next_line* next) {
    if (system == REALLIVE) {
        fwrite(line, 1, length, output);
        // The last line of a file, or a piece of an overlong one, has no line end of its own; the
        // engine reads one entry per line, so the new entry must not share it.
        if (line[length - 1] != '\n') fputc('\n', output);
    }
    char cd_line[CD_TRACK_LINE_SIZE];
    if (!format_cd_track(cd_line, entry.start, entry.end, entry.third, entry.file_name, entry.track_name,
                         *track, folder, system))
        return 0;
    fputs(cd_line, output);
    next->length = read_line(input, next->text);
    if (next->length > 0 && same_line(next->text, next->length, cd_line, strlen(cd_line))) next->length = 0;
    fprintf(track_table, "%s\\%s.wav\n", folder, entry.file_name);
    ++*track;
    return 1;
}

// Handles one line (or piece of one). 0 stops the rewriting.
static int rewrite_line(const char* line, size_t length, FILE* input, FILE* output, FILE* track_table,
                        int system, const char* folder, int* track, next_line* next) {
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

    track_entry entry;
    if (scan_track_entry(line, &entry))
        return rewrite_track_entry(line, length, entry, input, output, track_table, system, folder, track,
                                   next);

    fwrite(line, 1, length, output);
    return 1;
}

int rewrite_gameexe(FILE* input, FILE* output, FILE* track_table, int system) {
    int track = FIRST_TRACK;
    char* found = get_bgm_folder(input);
    // An empty value would give paths from the drive's root; the engine itself falls back to BGM.
    const char* folder = found && *found ? found : "BGM";

    // The lookup read up to "#REGNAME"; every line before it must be copied as well.
    int result = 1;
    if (fseek(input, 0, SEEK_SET) != 0) {
        report_read_failure(translate_message(ORIGINAL_NAME), errno);
        result = 0;
    }
    clearerr(input);

    char line[LINE_SIZE];
    next_line next;
    next.length = 0;
    size_t length;
    while (result) {
        if (next.length > 0) {
            length = next.length;
            memcpy(line, next.text, length + 1);
            next.length = 0;
        } else if ((length = read_line(input, line)) == 0) {
            break;
        }
        result = rewrite_line(line, length, input, output, track_table, system, folder, &track, &next);
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
        report_read_failure(translate_message(ORIGINAL_NAME), errno);
        result = 0;
    }
    free(found);
    return result;
}
