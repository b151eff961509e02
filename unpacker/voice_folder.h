// Pointing the game's voice folder (registry value KOE_FOLDER) at "koewav", and leaving the
// registry script "koe_restore.reg" that puts the old value back.
#ifndef VNAUDIO_VOICE_FOLDER_H
#define VNAUDIO_VOICE_FOLDER_H

#include <cstdio>

// Reads the "#REGNAME" name from a GAMEEXE.INI stream, from its current position, into name (room
// bytes). 1 when found, 0 at the end of the stream, -1 when the first name found does not fit.
int find_registry_name(FILE* gameexe, char* name, size_t room);

#include "platform/platform.h"

// The game's voice folder setting: its key (open for reading and writing) and KOE_FOLDER as stored.
struct voice_setting {
    char key_path[256];
    reg_key key;
    char value[257];
};

// Finds the game's key through GAMEEXE.INI in the current folder and reads KOE_FOLDER. 1, or 0
// after a message (nothing open then, nothing changed).
int open_voice_setting(voice_setting* setting);
void close_voice_setting(voice_setting* setting);

// 1 when value names the folder koewav of the current folder in any spelling Windows takes for
// it: any letter case, blanks or dots after a name, "." and ".." steps, / or \, a full path.
int names_new_folder(const char* value);

// Writes the restore file, then sets KOE_FOLDER to "koewav". 1, or 0 after a message: the
// registry is then unchanged.
int switch_voice_folder(voice_setting* setting);

// Sets KOE_FOLDER to value (the old voice folder). 1, or 0 after a message.
int set_voice_folder(voice_setting* setting, const char* value);

// The value koe_restore.reg records for KOE_FOLDER under key_path, in either form the tools write
// (REGEDIT4 in CP932, regedit's UTF-16 form), into value (room bytes). 1, or 0 when the file is
// missing, unreadable or records no value for that key (no message).
int read_restore_file(const char* key_path, char* value, size_t room);

// Writes "koe_restore.reg" whole (asking first when it exists): REGEDIT4 in CP932, or regedit's
// UTF-16 form where the system's code page is not 932 and a text is not ASCII. 1 when written or
// kept at the user's word, 0 after a message.
int write_restore_file(const char* key_path, const char* old_folder);

// The value as REGEDIT4 stores it between quotes: a backslash of its own doubled, one that is the
// second byte of a CP932 character kept single. out needs twice the room of value, plus one.
size_t escape_regedit4(const char* value, char* out);

#endif
