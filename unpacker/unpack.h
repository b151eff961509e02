// The voice unpacker's main flow: switch the voice folder, make "koewav", and unpack every
// Z???.KOE archive of the old voice folder into a folder of its own there.
#ifndef VNAUDIO_UNPACK_H
#define VNAUDIO_UNPACK_H

#include <cstdio>

#include "unpacker/koepac.h"

// The folder an archive path starts from, seen from inside "koewav": a relative old voice folder
// is meant from the game folder, one level up. Writes at most room bytes into base.
void resolve_voice_folder(const char* old_folder, char* base, unsigned room);

// Reads the header and index of an open archive (binary, at its start) and makes sure every voice
// lies inside the file and has an id of its own (at most 65,536 entries). Answers 1 with the index (header->entry_count entries, null when there are
// none; the caller frees it) through entries, or 0 after a message when the archive is not usable.
int read_archive_index(FILE* archive, const char* archive_path, koe_header* header, koe_entry** entries);

// Unpacks the archive name, found in old_folder, into a new folder of the current directory named
// by its code. 0 when every voice has been written, 1 after a message.
int unpack_archive(const char* old_folder, const char* name);

// The whole run, in the game folder; answers the exit status.
int run_unpacker();

#endif
