// Pointing the game's voice folder (registry value KOE_FOLDER) at "koewav", and leaving the
// registry script "koe_restore.reg" that puts the old value back.
#ifndef VNAUDIO_VOICE_FOLDER_H
#define VNAUDIO_VOICE_FOLDER_H

#include <cstdio>

// Reads the "#REGNAME" name from a GAMEEXE.INI stream, from its current position, into name (room
// bytes). 1 when found, 0 at the end of the stream, -1 when the first name found does not fit.
int find_registry_name(FILE* gameexe, char* name, size_t room);

// Writes the restore file, then sets KOE_FOLDER of the game in the current folder to "koewav".
// Answers the old value (the caller owns it), or null after a message: the registry is then
// unchanged. A value that is "koewav" already is left alone (a second run).
char* switch_voice_folder();

// Writes "koe_restore.reg" whole (asking first when it exists): REGEDIT4 in CP932, or regedit's
// UTF-16 form where the system's code page is not 932 and a text is not ASCII. 1 when written or
// kept at the user's word, 0 after a message.
int write_restore_file(const char* key_path, const char* old_folder);

// The value as REGEDIT4 stores it between quotes: a backslash of its own doubled, one that is the
// second byte of a CP932 character kept single. out needs twice the room of value, plus one.
size_t escape_regedit4(const char* value, char* out);

#endif
