// The demo's sample game: a RealLive-style game folder whose music tracks and voice archives hold
// audio made here (or voices recorded elsewhere), and the registry store a player's machine would
// have for it. make_sample_game puts the pieces on disk.
#ifndef VNAUDIO_SAMPLE_GAME_H
#define VNAUDIO_SAMPLE_GAME_H

#include <cstdint>
#include <string>
#include <vector>

enum track_format { TRACK_WAV, TRACK_NWA };

// What part of its file the game plays: the whole track, the track from its start with a loop
// point, or a cut with its own start, end and loop point.
enum track_span { SPAN_WHOLE, SPAN_LOOP, SPAN_CUT };

struct sample_track {
    const char* file;    // base name in the music folder
    const char* title;   // Shift_JIS, as the game's GAMEEXE.INI holds it
    track_format format;
    unsigned rate;
    unsigned channels;
    double seconds;
    track_span span;
    double start, end, loop;   // seconds; SPAN_LOOP uses loop, SPAN_CUT all three
};

extern const sample_track SAMPLE_TRACKS[];
extern const unsigned SAMPLE_TRACK_COUNT;
extern const char SAMPLE_REGNAME[];          // the #REGNAME value: Software\<it> is the game's key
// GAMEEXE.INI in Shift_JIS with LF ends: the lines before the #REGNAME line, those between it and
// the track list, and those after the list.
extern const char SAMPLE_GAMEEXE_HEAD[];
extern const char SAMPLE_GAMEEXE_SETTINGS[];
extern const char SAMPLE_GAMEEXE_TAIL[];

// Interleaved 16-bit samples of a short tune, different for every seed.
std::vector<int16_t> synthesise_music(unsigned seed, unsigned rate, unsigned channels, double seconds);
// A few seconds of a voice-like sound (pitched, vowel formants, syllables) for one of three
// speakers, for machines without a speech synthesiser.
std::vector<int16_t> synthesise_voice(unsigned seed, unsigned rate, unsigned speaker);

// Whole files: a canonical 44-byte PCM WAV header, or a 44-byte NWA header, then the samples.
std::string wav_file(const std::vector<int16_t>& samples, unsigned rate, unsigned channels);
std::string nwa_file(const std::vector<int16_t>& samples, unsigned rate, unsigned channels);

// A track's place on the timeline in sample frames, as its #DSTRACK line gives it.
long long track_frames(const sample_track& track, double seconds);
// The "#DSTRACK" line of a track whose file holds length_frames frames, without line end.
std::string dstrack_line(const sample_track& track, long long length_frames);
// The whole GAMEEXE.INI: Shift_JIS, CR LF line ends.
std::string sample_gameexe(const std::vector<long long>& length_frames);

// The REGEDIT4 store with the game's key (BGM_FOLDER, KOE_FOLDER) and, when encoder is not
// empty, the key of the CD-audio emulator naming it as the MP3 encoder.
std::string sample_registry(const std::string& encoder);

#endif
