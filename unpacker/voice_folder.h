// Pointing the game's voice folder (registry value KOE_FOLDER) at "koewav", and leaving the
// registry script "koe_restore.reg" that puts the old value back.
#ifndef VNAUDIO_VOICE_FOLDER_H
#define VNAUDIO_VOICE_FOLDER_H

#include <cstdio>

// Reads the "#REGNAME" name from a GAMEEXE.INI stream, from its current position, into name (room
// bytes). 1 when found, 0 at the end of the stream, -1 when the first name found does not fit.
int find_registry_name(FILE* gameexe, char* name, size_t room);

// Sets KOE_FOLDER of the game in the current folder to "koewav" and writes the restore file.
// Answers the old value (the caller owns it), or null after a message, with nothing changed.
char* switch_voice_folder();

// Writes "koe_restore.reg" (asking first when it exists). Failures are only reported.
void write_restore_file(const char* key_path, const char* old_folder);

#endif
