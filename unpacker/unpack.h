// The voice unpacker's main flow: read every Z???.KOE archive of the old voice folder and add up
// what it gives before anything changes, then switch the voice folder, make "koewav" and unpack
// each archive into a folder of its own there. Where KOE_FOLDER says koewav already, the same
// reading tells whether to finish an unpacking that was cut off or to put the old value back.
#ifndef VNAUDIO_UNPACK_H
#define VNAUDIO_UNPACK_H

#include <cstdint>
#include <cstdio>

#include "unpacker/koepac.h"

// The folder an archive path starts from, seen from inside "koewav": a relative old voice folder
// is meant from the game folder, one level up. Writes at most room bytes into base.
void resolve_voice_folder(const char* old_folder, char* base, unsigned room);

// What becomes of an index entry.
enum voice_fate : uint8_t {
    VOICE_WRITE,      // to be written
    VOICE_REPLACED,   // a later entry has the same id and is written instead
    VOICE_BROKEN,     // its blocks run past the end of the file: passed over with a notice
    VOICE_PRESENT,    // its WAV is in koewav already (finishing a run that was cut off)
};

// One archive as read before anything is changed.
struct archive_scan {
    char name[260];        // as the search found it
    char code[4];          // the folder it goes to
    koe_header header;
    koe_entry* entries;    // header.entry_count entries in index order, or null
    voice_fate* fates;     // one per entry
    uint64_t* wav_sizes;   // one per entry: the WAV file's bytes (an upper bound until counted exactly)
};

// Every archive of a voice folder, in the order of the search, and what they give.
struct unpack_plan {
    archive_scan* archives;
    size_t archive_count;
    unsigned long voices;       // voices to write, present ones included: the run's total
    unsigned long present;      // of those, already in koewav
    unsigned long broken;       // entries passed over
    unsigned long repeated;     // entries replaced by a later one of the same id
    char first_odd_archive[600];   // the first archive with a repeated id, and that id
    unsigned first_repeated_id;
    uint64_t bytes;             // disk space the missing voices and their folders take
    bool exact;                 // wav_sizes are exact, not bounds
};

// Reads the header and index of an open archive (binary, at its start), checks that every entry's
// size table lies inside the file and notes each entry's fate and size. Answers 1 with the scan
// filled (the caller frees it with free_archive_scan), or 0 after a message saying that nothing
// has been changed when the archive cannot be unpacked: it is read before any change.
int scan_archive(FILE* archive, const char* archive_path, archive_scan* scan);
void free_archive_scan(archive_scan* scan);

// The stricter reading kept for the fuzz targets: 1 with the index only when every voice lies
// inside the file and every id is distinct.
int read_archive_index(FILE* archive, const char* archive_path, koe_header* header, koe_entry** entries);

// Unpacks the archive name, found in old_folder, into a new folder of the current directory named
// by its code. 0 when every voice has been written, 1 after a message.
int unpack_archive(const char* old_folder, const char* name);

// The whole run, in the game folder; answers the exit status.
int run_unpacker();

#endif
