// Decoding one voice into a WAV file: the blocks are decoded into one buffer that is written in
// large pieces, and the header, which needs the final length, is written last. The file is made
// under a work name the caller gives and takes its .WAV name only once complete.
#include "unpacker/voice.h"

#include <cerrno>
#include <cstring>

#include "common/common.h"
#include "platform/platform.h"

// A voice's samples collect behind room for the header; a voice that fits (most do) leaves in a
// single write with its header in front. The buffer takes the largest block with room to spare,
// so memory stays bounded however long the voice is.
static constexpr size_t OUTPUT_BUFFER_SIZE = 1 << 20;
static_assert(OUTPUT_BUFFER_SIZE >= WAV_HEADER_SIZE + 4 * 65535, "a coded block must fit");
static unsigned char output_buffer[OUTPUT_BUFFER_SIZE];
static unsigned char block_buffer[65535];
static unsigned char size_table[2 * 65535];

// The WAV header's length fields are 32 bits wide.
static constexpr uint64_t MAX_DATA_LENGTH = 0xFFFFFFFFu - 36;

int write_wav_header(FILE* out, uint32_t data_length, uint32_t rate) {
    unsigned char header[WAV_HEADER_SIZE];
    fill_wav_header(header, data_length, rate);
    return fwrite(header, 1, sizeof header, out) == sizeof header;
}

// What stops a voice, kept to be told in its turn: a voice may be decoded while the one before it
// is still being written.
static voice_failure read_failure(FILE* archive) {
    if (ferror(archive)) return {VOICE_READ_FAILED, errno ? errno : EIO};
    return {VOICE_CUT_SHORT, 0};
}

void report_voice_failure(const voice_failure& failure, const char* out_path, const char* work,
                          const char* archive_path) {
    switch (failure.kind) {
    case VOICE_FINE:
        break;
    case VOICE_READ_FAILED:
        error_box("%sの読み込みに失敗しました: %s", archive_path, strerror(failure.error));
        break;
    case VOICE_CUT_SHORT:
        error_box("%sは壊れています。音声のデータが途中で切れています。", archive_path);
        break;
    case VOICE_TOO_LONG:
        error_box("%sは長すぎてWAVファイルにできません。", out_path);
        break;
    case VOICE_NOT_CREATED:
        error_box("%sを作成できません。", out_path);
        break;
    case VOICE_WRITE_FAILED:
        error_box("%sの書き込みに失敗しました: %s", out_path, strerror(failure.error ? failure.error : EIO));
        break;
    case VOICE_NOT_RENAMED:
        error_box("%sを%sにリネームできません: %s", work, out_path, strerror(failure.error));
        break;
    }
}

static int read_exactly(FILE* archive, unsigned char* into, size_t size) {
    return fread(into, 1, size, archive) == size;
}

// Reads the voice's block-size table into size_table; 0 with the failure.
static int read_size_table(const koe_entry& entry, FILE* archive, voice_failure* failure) {
    if (entry.offset > 0x7FFFFFFFu || fseek(archive, static_cast<long>(entry.offset), SEEK_SET) != 0 ||
        !read_exactly(archive, size_table, 2 * size_t{entry.block_count})) {
        *failure = read_failure(archive);
        return 0;
    }
    return 1;
}

// Where a voice's bytes go: a stream the caller keeps (a memory stream in the tests), a work file
// of the system's, written at its positions, or neither: the voice stays in the buffer it was
// decoded into, which it must fit.
struct voice_output {
    FILE* stream;
    work_file* file;
    uint64_t at;   // bytes put so far
};

// The next bytes of the voice; 1, or 0 with errno.
static int put_bytes(voice_output* out, const unsigned char* bytes, size_t n) {
    if (out->stream) return fwrite(bytes, 1, n, out->stream) == n;
    if (out->file && write_work_file(out->file, out->at, bytes, n) != 0) return 0;
    out->at += n;
    return 1;
}

// The header over the 44 bytes left at the start; 1, or 0 with errno.
static int put_header(voice_output* out, uint32_t length, uint32_t rate) {
    if (out->stream) return fseek(out->stream, 0, SEEK_SET) == 0 && write_wav_header(out->stream, length, rate);
    unsigned char header[WAV_HEADER_SIZE];
    fill_wav_header(header, length, rate);
    return write_work_file(out->file, 0, header, sizeof header) == 0;
}

static voice_failure write_failure() { return {VOICE_WRITE_FAILED, errno ? errno : EIO}; }

// Decodes the blocks named by size_table through buffer (room bytes) into out, header included.
// 1 when all was put (out still to be closed), 0 with the failure; the caller decides what
// becomes of the file.
static int write_voice(voice_output* out, unsigned char* buffer, size_t room, const koe_header& header,
                       const koe_entry& entry, FILE* archive, voice_failure* failure) {
    size_t blocks = entry.block_count;
    memset(buffer, 0, WAV_HEADER_SIZE);
    size_t used = WAV_HEADER_SIZE;
    bool flushed = false;
    uint64_t data_length = 0;
    for (size_t k = 0; k < blocks; ++k) {
        unsigned size = read_u16le(size_table + 2 * k);
        if (size != 0 && !read_exactly(archive, block_buffer, size)) {
            *failure = read_failure(archive);
            return 0;
        }
        if (used + 2 * max_block_samples(size) > room) {
            errno = 0;
            if (!out->stream && !out->file) {
                *failure = {VOICE_TOO_LONG, 0};   // the caller's bound said it would fit
                return 0;
            }
            if (!put_bytes(out, buffer, used)) {
                *failure = write_failure();
                return 0;
            }
            flushed = true;
            used = 0;
        }
        size_t bytes = 2 * decode_block(block_buffer, size, buffer + used);
        used += bytes;
        data_length += bytes;
        if (data_length > MAX_DATA_LENGTH) {
            *failure = {VOICE_TOO_LONG, 0};
            return 0;
        }
    }

    uint32_t rate = header.sample_rate ? header.sample_rate : KOE_DEFAULT_RATE;
    uint32_t length = static_cast<uint32_t>(data_length);
    errno = 0;
    if (!flushed) fill_wav_header(buffer, length, rate);
    if (!put_bytes(out, buffer, used) || (flushed && !put_header(out, length, rate))) {
        *failure = write_failure();
        return 0;
    }
    return 1;
}

int decode_voice_to_memory(const koe_header& header, const koe_entry& entry, FILE* archive, unsigned char* out,
                           size_t room, size_t* length, voice_failure* failure) {
    *failure = {VOICE_FINE, 0};
    voice_output memory = {nullptr, nullptr, 0};
    if (!read_size_table(entry, archive, failure) || !write_voice(&memory, out, room, header, entry, archive, failure))
        return 1;
    *length = static_cast<size_t>(memory.at);
    return 0;
}

int store_voice(const char* out_path, const char* work, const unsigned char* bytes, size_t length,
                voice_failure* failure) {
    *failure = {VOICE_FINE, 0};
    work_file* file = create_work_file(work);
    if (!file) {
        *failure = {VOICE_NOT_CREATED, errno};
        return 1;
    }
    errno = 0;
    if (write_work_file(file, 0, bytes, length) != 0) {
        *failure = write_failure();
        discard_work_file(file);   // no file claims samples it lacks
        return 1;
    }
    // The voice takes its name only whole; a run cut off before leaves just the work file.
    errno = 0;
    int finished = finish_work_file(file, out_path);
    if (finished == -1) *failure = write_failure();
    if (finished == -2) *failure = {VOICE_NOT_RENAMED, errno};
    return finished != 0;
}

int decode_voice(const char* out_path, const char* work, const koe_header& header, const koe_entry& entry,
                 FILE* archive, const char* archive_path) {
    voice_failure failure = {VOICE_FINE, 0};
    if (!read_size_table(entry, archive, &failure)) {
        report_voice_failure(failure, out_path, work, archive_path);
        return 1;
    }
    voice_output out = {nullptr, create_work_file(work), 0};
    if (!out.file) {
        report_voice_failure({VOICE_NOT_CREATED, errno}, out_path, work, archive_path);
        return 1;
    }
    if (!write_voice(&out, output_buffer, sizeof output_buffer, header, entry, archive, &failure)) {
        discard_work_file(out.file);   // no file claims samples it lacks
        report_voice_failure(failure, out_path, work, archive_path);
        return 1;
    }
    errno = 0;
    int finished = finish_work_file(out.file, out_path);
    if (finished != 0) {
        failure = finished == -1 ? write_failure() : voice_failure{VOICE_NOT_RENAMED, errno};
        report_voice_failure(failure, out_path, work, archive_path);
        return 1;
    }
    return 0;
}

int decode_voice_into(FILE* out, const char* out_name, const koe_header& header, const koe_entry& entry,
                      FILE* archive, const char* archive_path) {
    voice_failure failure = {VOICE_FINE, 0};
    voice_output into = {out, nullptr, 0};
    if (!read_size_table(entry, archive, &failure) ||
        !write_voice(&into, output_buffer, sizeof output_buffer, header, entry, archive, &failure)) {
        report_voice_failure(failure, out_name, out_name, archive_path);
        return 1;
    }
    errno = 0;
    if (fflush(out) != 0) {
        report_voice_failure(write_failure(), out_name, out_name, archive_path);
        return 1;
    }
    return 0;
}
