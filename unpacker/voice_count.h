// plovenak's progress: the voices to write (known from the archives' indexes before the first one
// is written), each voice as it is done, and the closing words of the run.
#ifndef VNAUDIO_VOICE_COUNT_H
#define VNAUDIO_VOICE_COUNT_H

// Opens the progress over total voices, done of them already on disk (a run that finishes another).
void begin_unpack_progress(unsigned long total, unsigned long done);
// Notes one more voice written, taken from the archive named.
void step_unpack_progress(const char* archive);
// Closes the progress with done voices on disk: how 0 for a finished run, 1 for a cancelled one,
// -1 for a run that stopped on a failure (its box has said so; no summary follows).
void end_unpack_progress(unsigned long done, int how);

#endif
