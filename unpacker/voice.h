// Turning one voice of an open KOEPAC archive into a 16-bit mono PCM WAV file.
#ifndef VNAUDIO_VOICE_H
#define VNAUDIO_VOICE_H

#include <cstdint>
#include <cstdio>

#include "unpacker/koepac.h"

// Writes the 44-byte header at the stream's current position in one write; 1 on success, 0 when
// the write failed.
int write_wav_header(FILE* out, uint32_t data_length, uint32_t rate);

// Decodes the voice of entry from archive (a binary stream, left positioned behind the last block
// read) into a new WAV file at out_path, which appears only complete: it is written as work (a name
// no reader takes for a voice, on the same disk), then renamed. Answers 0 when the file is
// complete, 1 after a message: the file could not be created or written (no part is left), or
// archive_path, as the user knows the archive, could not be read in full. Needs
// build_decode_tables first.
int decode_voice(const char* out_path, const char* work, const koe_header& header, const koe_entry& entry,
                 FILE* archive, const char* archive_path);

// What stopped a voice, for a message shown later (by the thread that talks to the user).
enum voice_failure_kind {
    VOICE_READ_FAILED,    // the archive could not be read (error)
    VOICE_TRUNCATED,      // the archive ended inside the voice
    VOICE_CREATE_FAILED,  // the work file could not be made (error)
    VOICE_WRITE_FAILED,   // the work file could not be written or finished (error)
    VOICE_TOO_LONG,       // more samples than a WAV file can count
    VOICE_NOT_NAMED,      // the finished file could not take its name (error)
};
struct voice_failure {
    voice_failure_kind kind;
    int error;            // the errno value, where the kind has one
};
void report_voice_failure(const voice_failure& failure, const char* out_path, const char* work,
                          const char* archive_path);

// The memory one voice is decoded in (a little over 1 MB): one set per thread that decodes.
struct voice_buffers;
voice_buffers* new_voice_buffers();   // null when there is no memory for it
void free_voice_buffers(voice_buffers* buffers);
// The set decode_voice uses, for the thread that talks to the user.
voice_buffers* shared_voice_buffers();

// decode_voice in the caller's buffers and without a message: 0 when the file is complete, 1
// with the failure described (no part is left). Safe to run on several threads at once, each
// with its own buffers and archive stream. *stream_at is where archive stands (UNKNOWN_PLACE when
// that is not known): a voice that starts there is read on without a seek; it is set to where the
// stream stands afterwards.
constexpr uint64_t UNKNOWN_PLACE = ~uint64_t{0};
int write_voice_file(voice_buffers* buffers, const char* out_path, const char* work, const koe_header& header,
                     const koe_entry& entry, FILE* archive, uint64_t* stream_at, voice_failure* failure);

// The same decoding into a binary stream the caller has made and keeps (empty, at its start): a
// memory stream, so the format can be exercised without files. out_name stands for the output in
// messages. 0 when the whole WAV is in out, 1 after a message.
int decode_voice_into(FILE* out, const char* out_name, const koe_header& header, const koe_entry& entry,
                      FILE* archive, const char* archive_path);

#endif
