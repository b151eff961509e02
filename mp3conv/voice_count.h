// drusel's progress: the number of voices before the first encoder starts, each voice as it is
// settled, and the closing words of the run.
#ifndef VNAUDIO_MP3CONV_VOICE_COUNT_H
#define VNAUDIO_MP3CONV_VOICE_COUNT_H

// The WAV files of the three-character folders of the current folder (the folder listings only).
unsigned long count_wav_files();

void begin_conversion_progress();
// Notes one more voice settled (converted, passed over or skipped); wav_path names it.
void step_conversion_progress(const char* wav_path);
// Names the voice now waited for, the oldest not yet settled.
void show_waited_voice(const char* wav_path);
// Closes the progress with what the run did; with_summary 0 when a box has said it already.
void end_conversion_progress(int status, int with_summary);

#endif
