// The game's music folder, from the BGM_FOLDER value of the key that "#REGNAME" names.
#ifndef VNAUDIO_BGM_FOLDER_H
#define VNAUDIO_BGM_FOLDER_H

#include <cstdio>

// Room for the folder name, terminator included.
constexpr unsigned BGM_FOLDER_SIZE = 256;

// Reads lines of ini from where it stands up to the first "#REGNAME" line and answers BGM_FOLDER
// of that game's key as a heap string the caller owns, or null after an error box. The stream is
// left behind the "#REGNAME" line, or at its end when there was none.
char* get_bgm_folder(FILE* ini);

#endif
