// drusel: re-encodes the voices of a koewav tree to MP3 with the outside encoder, keeping each
// voice's file name.
#ifndef VNAUDIO_MP3CONV_H
#define VNAUDIO_MP3CONV_H

// The encoder program: "scmpx.exe", or SMX_Path from the _inmm.dll key.
extern char encoder_path[260];

// 1 when SMX_Path was read (an empty value keeps "scmpx.exe"), 0 when the key or value is missing.
int find_encoder();

// 1 when the system would run the program through the command interpreter: a .bat or .cmd file.
int is_batch_file(const char* path);

// The number of encoders to run at once from the command line: 1 without options, N for "-j N",
// the processors of the machine for "-j" alone. 0 when the command line is not understood.
int parse_jobs(int argc, const char* const* argv);

// The whole run in the current folder with up to jobs encoders at once; answers the exit code.
int run_drusel(int jobs);

#endif
