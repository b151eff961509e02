// Decoding one voice into a WAV file: the blocks are decoded into one buffer that is written in
// large pieces, and the header, which needs the final length, is written last. The file is made
// under a work name the caller gives and takes its .WAV name only once complete.
#include "unpacker/voice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "platform/platform.h"

// A voice's samples collect behind room for the header; a voice that fits (most do) leaves in a
// single write with its header in front. The buffer takes the largest block with room to spare,
// so memory stays bounded however long the voice is.
static constexpr size_t OUTPUT_BUFFER_SIZE = 1 << 20;
static_assert(OUTPUT_BUFFER_SIZE >= WAV_HEADER_SIZE + 4 * 65535, "a coded block must fit");

struct voice_buffers {
    unsigned char output[OUTPUT_BUFFER_SIZE];
    unsigned char block[65535];
    unsigned char size_table[2 * 65535];
};

voice_buffers* new_voice_buffers() { return static_cast<voice_buffers*>(malloc(sizeof(voice_buffers))); }

void free_voice_buffers(voice_buffers* buffers) { free(buffers); }

// The buffers of the calls that take none: those of one thread at a time.
static voice_buffers shared_buffers;

voice_buffers* shared_voice_buffers() { return &shared_buffers; }

// The WAV header's length fields are 32 bits wide.
static constexpr uint64_t MAX_DATA_LENGTH = 0xFFFFFFFFu - 36;

int write_wav_header(FILE* out, uint32_t data_length, uint32_t rate) {
    unsigned char header[WAV_HEADER_SIZE];
    fill_wav_header(header, data_length, rate);
    return fwrite(header, 1, sizeof header, out) == sizeof header;
}

static int fail(voice_failure* failure, voice_failure_kind kind, int error) {
    failure->kind = kind;
    failure->error = error;
    return 1;
}

static int read_failure(FILE* archive, voice_failure* failure) {
    return ferror(archive) ? fail(failure, VOICE_READ_FAILED, errno) : fail(failure, VOICE_TRUNCATED, 0);
}

static int write_failure(voice_failure* failure) { return fail(failure, VOICE_WRITE_FAILED, errno ? errno : EIO); }

void report_voice_failure(const voice_failure& failure, const char* out_path, const char* work,
                          const char* archive_path) {
    switch (failure.kind) {
    case VOICE_READ_FAILED:
        error_box("%sの読み込みに失敗しました: %s", archive_path, strerror(failure.error));
        break;
    case VOICE_TRUNCATED:
        error_box("%sは壊れています。音声のデータが途中で切れています。", archive_path);
        break;
    case VOICE_CREATE_FAILED:
        error_box("%sを作成できません。", out_path);
        break;
    case VOICE_WRITE_FAILED:
        error_box("%sの書き込みに失敗しました: %s", out_path, strerror(failure.error));
        break;
    case VOICE_TOO_LONG:
        error_box("%sは長すぎてWAVファイルにできません。", out_path);
        break;
    case VOICE_NOT_NAMED:
        error_box("%sを%sにリネームできません: %s", work, out_path, strerror(failure.error));
        break;
    }
}

static int read_exactly(FILE* archive, unsigned char* into, size_t size) {
    return fread(into, 1, size, archive) == size;
}

// Reads the voice's block-size table into the buffers; 1 after a failure. A stream that stands at
// the table already is not moved: the runtime would drop what it has read ahead.
static int read_size_table(voice_buffers* buffers, const koe_entry& entry, FILE* archive, uint64_t stream_at,
                           voice_failure* failure) {
    if (entry.offset > 0x7FFFFFFFu ||
        (stream_at != entry.offset && fseek(archive, static_cast<long>(entry.offset), SEEK_SET) != 0) ||
        !read_exactly(archive, buffers->size_table, 2 * size_t{entry.block_count}))
        return read_failure(archive, failure);
    return 0;
}

// Where a voice's bytes go: a stream the caller keeps (a memory stream in the tests), or a work
// file of the system's, written at its positions.
struct voice_output {
    FILE* stream;
    work_file* file;
    uint64_t at;
};

// The next bytes of the voice; 1, or 0 with errno.
static int put_bytes(voice_output* out, const unsigned char* bytes, size_t n) {
    if (out->stream) return fwrite(bytes, 1, n, out->stream) == n;
    if (write_work_file(out->file, out->at, bytes, n) != 0) return 0;
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

// Decodes the blocks named by the size table into out, header included. 0 when all was written
// (out still to be closed), 1 after a failure; the caller decides what becomes of the file.
static int write_voice(voice_buffers* buffers, voice_output* out, const koe_header& header, const koe_entry& entry,
                       FILE* archive, uint64_t* stream_at, voice_failure* failure) {
    unsigned char* output = buffers->output;
    size_t blocks = entry.block_count;
    memset(output, 0, WAV_HEADER_SIZE);
    size_t used = WAV_HEADER_SIZE;
    bool flushed = false;
    uint64_t data_length = 0;
    uint64_t at = entry.offset + 2 * uint64_t{entry.block_count};
    for (size_t k = 0; k < blocks; ++k) {
        unsigned size = read_u16le(buffers->size_table + 2 * k);
        if (size != 0 && !read_exactly(archive, buffers->block, size)) return read_failure(archive, failure);
        at += size;
        if (used + 2 * max_block_samples(size) > OUTPUT_BUFFER_SIZE) {
            errno = 0;
            if (!put_bytes(out, output, used)) return write_failure(failure);
            flushed = true;
            used = 0;
        }
        size_t bytes = 2 * decode_block(buffers->block, size, output + used);
        used += bytes;
        data_length += bytes;
        if (data_length > MAX_DATA_LENGTH) return fail(failure, VOICE_TOO_LONG, 0);
    }

    *stream_at = at;
    uint32_t rate = header.sample_rate ? header.sample_rate : KOE_DEFAULT_RATE;
    uint32_t length = static_cast<uint32_t>(data_length);
    errno = 0;
    if (!flushed) {
        fill_wav_header(output, length, rate);
        if (!put_bytes(out, output, used)) return write_failure(failure);
    } else if (!put_bytes(out, output, used) || !put_header(out, length, rate)) {
        return write_failure(failure);
    }
    return 0;
}

int write_voice_file(voice_buffers* buffers, const char* out_path, const char* work, const koe_header& header,
                     const koe_entry& entry, FILE* archive, uint64_t* stream_at, voice_failure* failure) {
    uint64_t was_at = *stream_at;
    *stream_at = UNKNOWN_PLACE;
    if (read_size_table(buffers, entry, archive, was_at, failure)) return 1;

    errno = 0;
    voice_output out = {nullptr, create_work_file(work), 0};
    if (!out.file) return fail(failure, VOICE_CREATE_FAILED, errno);
    if (write_voice(buffers, &out, header, entry, archive, stream_at, failure) != 0) {
        *stream_at = UNKNOWN_PLACE;
        // No file claims samples it lacks.
        discard_work_file(out.file);
        return 1;
    }
    // The voice takes its name only whole; a run cut off before leaves just the work file.
    errno = 0;
    int finished = finish_work_file(out.file, out_path);
    if (finished == -1) return write_failure(failure);
    if (finished != 0) return fail(failure, VOICE_NOT_NAMED, errno);
    return 0;
}

int decode_voice(const char* out_path, const char* work, const koe_header& header, const koe_entry& entry,
                 FILE* archive, const char* archive_path) {
    voice_failure failure;
    uint64_t stream_at = UNKNOWN_PLACE;
    if (write_voice_file(&shared_buffers, out_path, work, header, entry, archive, &stream_at, &failure) == 0) return 0;
    report_voice_failure(failure, out_path, work, archive_path);
    return 1;
}

int decode_voice_into(FILE* out, const char* out_name, const koe_header& header, const koe_entry& entry,
                      FILE* archive, const char* archive_path) {
    voice_failure failure;
    voice_output into = {out, nullptr, 0};
    uint64_t stream_at = UNKNOWN_PLACE;
    errno = 0;
    if (read_size_table(&shared_buffers, entry, archive, stream_at, &failure) == 0 &&
        write_voice(&shared_buffers, &into, header, entry, archive, &stream_at, &failure) == 0) {
        errno = 0;
        if (fflush(out) == 0) return 0;
        write_failure(&failure);
    }
    report_voice_failure(failure, out_name, out_name, archive_path);
    return 1;
}
