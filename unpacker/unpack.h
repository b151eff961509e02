// The voice unpacker's main flow: switch the voice folder, make "koewav", and unpack every
// Z???.KOE archive of the old voice folder into a folder of its own there.
#ifndef VNAUDIO_UNPACK_H
#define VNAUDIO_UNPACK_H

// The folder an archive path starts from, seen from inside "koewav": a relative old voice folder
// is meant from the game folder, one level up. Writes at most room bytes into base.
void resolve_voice_folder(const char* old_folder, char* base, unsigned room);

// Unpacks the archive name, found in old_folder, into a new folder of the current directory named
// by its code. 0 when every voice has been written, 1 after a message.
int unpack_archive(const char* old_folder, const char* name);

// The whole run, in the game folder; answers the exit status.
int run_unpacker();

#endif
