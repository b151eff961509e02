// Rewrites GAMEEXE.INI for CD-audio emulation: settings lines of both engines, a "#CDTRACK" entry
// for every "#DSTRACK" entry, and the _inmm.ini track table.
#ifndef VNAUDIO_GAMEEXE_H
#define VNAUDIO_GAMEEXE_H

#include <cstdint>
#include <cstdio>

// The track number of the first "#DSTRACK" entry; CD track 1 is the game's data.
constexpr int FIRST_TRACK = 2;
// An end position that means "up to the end of the track's audio".
constexpr int32_t WHOLE_TRACK_END = 99999999;
// Room for the file name and the track name of a "#DSTRACK" line, terminator included.
constexpr unsigned TRACK_NAME_SIZE = 64;
// Room for a "#SYSCOM.011" text or a "#CDDA_" name, terminator included.
constexpr unsigned SETTING_TEXT_SIZE = 256;

// Copies input (the game's GAMEEXE.INI, from its start) to output line by line by the rules of
// system, and writes one track table line per "#DSTRACK" entry (an entry whose own "#CDTRACK"
// line already follows it keeps that one line). 1 when the whole input was
// handled; 0 when a track could not be described or a stream failed (the box has been shown).
// Closes no stream.
int rewrite_gameexe(FILE* input, FILE* output, FILE* track_table, int system);

// The largest GAMEEXE.INI taken for a settings file: real ones hold a few hundred KiB.
constexpr long MAX_SETTINGS_SIZE = 16L << 20;
constexpr int SETTINGS_READ_ERROR = -1;
constexpr int SETTINGS_HAS_NUL = -2;
constexpr int SETTINGS_TOO_BIG = -3;

// Reads the whole stream from its position (binary: the size counted is the size on the disk, and
// a line end's CR stands behind the fields a track entry is matched on): 1 when a "#DSTRACK" line fits the entry pattern, 0
// when none does; one of the SETTINGS_ values above when it is no settings file (a NUL byte, as a
// crash leaves, or more than MAX_SETTINGS_SIZE bytes) or cannot be read.
int check_settings(FILE* input);

// 1 when table holds exactly what a run on settings writes to the track table: one line per
// "#DSTRACK" entry, in order, ending in "\<file name>.wav"; 0 when it does not, -1 when either
// stream fails. Both streams are read from their position.
int is_track_table_of(FILE* settings, FILE* table);

// Room for a "#CDTRACK" line, line end and terminator included.
constexpr unsigned CD_TRACK_LINE_SIZE = 512;
// Forms the "#CDTRACK" line of one entry, line end included. 1 when formed, 0 when the track
// could not be described.
int format_cd_track(char out[CD_TRACK_LINE_SIZE], int32_t start, int32_t end, int32_t third,
                    const char* file_name, const char* track_name, int track, const char* folder,
                    int system);

// Writes the "#CDTRACK" line of one entry. 1 when written, 0 when the track could not be described.
int write_cd_track(FILE* output, int32_t start, int32_t end, int32_t third, const char* file_name,
                   const char* track_name, int track, const char* folder, int system);

// The boxes for a stream that failed, in the words of the system.
void report_write_failure(const char* file_name, int error);
void report_read_failure(const char* file_name, int error);

#endif
