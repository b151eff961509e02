// What plovenak's progress needs beside the unpacking: the number of voices before the first one is
// written, and the closing words of the run.
#ifndef VNAUDIO_VOICE_COUNT_H
#define VNAUDIO_VOICE_COUNT_H

// The voices of every Z???.KOE archive in the folder base, from their headers (an archive that cannot be
// read counts none: the unpacking reports it when it comes to it).
unsigned long count_archive_voices(const char* base);

// Opens the progress over the voices the archives in base hold.
void begin_unpack_progress(const char* base);
// Notes one more voice written, taken from the archive named.
void step_unpack_progress(const char* archive);
// Closes the progress with what the run did (status: the run's exit status).
void end_unpack_progress(int status);

#endif
