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

static void report_read_failure(FILE* archive, const char* archive_path) {
    if (ferror(archive))
        error_box("%sの読み込みに失敗しました: %s", archive_path, strerror(errno));
    else
        error_box("%sは壊れています。音声のデータが途中で切れています。", archive_path);
}

static int read_exactly(FILE* archive, unsigned char* into, size_t size) {
    return fread(into, 1, size, archive) == size;
}

static int report_write_failure(const char* out_path) {
    int error = errno ? errno : EIO;
    error_box("%sの書き込みに失敗しました: %s", out_path, strerror(error));
    return 1;
}

// Reads the voice's block-size table into size_table; 0 after a message.
static int read_size_table(const koe_entry& entry, FILE* archive, const char* archive_path) {
    if (entry.offset > 0x7FFFFFFFu || fseek(archive, static_cast<long>(entry.offset), SEEK_SET) != 0 ||
        !read_exactly(archive, size_table, 2 * size_t{entry.block_count})) {
        report_read_failure(archive, archive_path);
        return 0;
    }
    return 1;
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

// Decodes the blocks named by size_table into out, header included. 0 when all was written (out
// still to be closed), 1 after a message; the caller decides what becomes of the file.
static int write_voice(voice_output* out, const char* out_path, const koe_header& header, const koe_entry& entry,
                       FILE* archive, const char* archive_path) {
    size_t blocks = entry.block_count;
    memset(output_buffer, 0, WAV_HEADER_SIZE);
    size_t used = WAV_HEADER_SIZE;
    bool flushed = false;
    uint64_t data_length = 0;
    for (size_t k = 0; k < blocks; ++k) {
        unsigned size = read_u16le(size_table + 2 * k);
        if (size != 0 && !read_exactly(archive, block_buffer, size)) {
            report_read_failure(archive, archive_path);
            return 1;
        }
        if (used + 2 * max_block_samples(size) > OUTPUT_BUFFER_SIZE) {
            errno = 0;
            if (!put_bytes(out, output_buffer, used)) return report_write_failure(out_path);
            flushed = true;
            used = 0;
        }
        size_t bytes = 2 * decode_block(block_buffer, size, output_buffer + used);
        used += bytes;
        data_length += bytes;
        if (data_length > MAX_DATA_LENGTH) {
            error_box("%sは長すぎてWAVファイルにできません。", out_path);
            return 1;
        }
    }

    uint32_t rate = header.sample_rate ? header.sample_rate : KOE_DEFAULT_RATE;
    uint32_t length = static_cast<uint32_t>(data_length);
    errno = 0;
    if (!flushed) {
        fill_wav_header(output_buffer, length, rate);
        if (!put_bytes(out, output_buffer, used)) return report_write_failure(out_path);
    } else if (!put_bytes(out, output_buffer, used) || !put_header(out, length, rate)) {
        return report_write_failure(out_path);
    }
    return 0;
}

int decode_voice(const char* out_path, const char* work, const koe_header& header, const koe_entry& entry,
                 FILE* archive, const char* archive_path) {
    if (!read_size_table(entry, archive, archive_path)) return 1;

    voice_output out = {nullptr, create_work_file(work), 0};
    if (!out.file) {
        error_box("%sを作成できません。", out_path);
        return 1;
    }
    if (write_voice(&out, out_path, header, entry, archive, archive_path) != 0) {
        // No file claims samples it lacks.
        discard_work_file(out.file);
        return 1;
    }
    // The voice takes its name only whole; a run cut off before leaves just the work file.
    errno = 0;
    int finished = finish_work_file(out.file, out_path);
    if (finished == -1) {
        error_box("%sの書き込みに失敗しました: %s", out_path, strerror(errno ? errno : EIO));
        return 1;
    }
    if (finished != 0) {
        error_box("%sを%sにリネームできません: %s", work, out_path, strerror(errno));
        return 1;
    }
    return 0;
}

int decode_voice_into(FILE* out, const char* out_name, const koe_header& header, const koe_entry& entry,
                      FILE* archive, const char* archive_path) {
    if (!read_size_table(entry, archive, archive_path)) return 1;
    voice_output into = {out, nullptr, 0};
    if (write_voice(&into, out_name, header, entry, archive, archive_path) != 0) return 1;
    errno = 0;
    if (fflush(out) != 0) return report_write_failure(out_name);
    return 0;
}
