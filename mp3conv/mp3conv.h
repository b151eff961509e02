// drusel: re-encodes the voices of a koewav tree to MP3 with the outside encoder, keeping each
// voice's file name.
#ifndef VNAUDIO_MP3CONV_H
#define VNAUDIO_MP3CONV_H

// The encoder program: "scmpx.exe", or SMX_Path from the _inmm.dll key.
extern char encoder_path[260];

// What converting a folder or a file came to.
constexpr int CONVERT_NONE = 0;     // the folder held no WAV file
constexpr int CONVERT_DONE = 1;     // the folder held WAV files (each converted or skipped)
constexpr int CONVERT_ABORTED = 2;  // the user chose Abort: the run ends with exit code 1
constexpr int CONVERT_INCOMPLETE = 3;  // the folder's search broke off (a box has said so): exit code 1

// 1 when SMX_Path was read (an empty value keeps "scmpx.exe"), 0 when the key or value is missing.
int find_encoder();
int convert_folder(const char* folder);
// CONVERT_DONE when the file was converted or skipped, CONVERT_ABORTED on Abort.
int convert_wav(const char* wav_path);
// The whole run in the current folder; answers the exit code.
int run_drusel();

#endif
