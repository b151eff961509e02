// The voice unpacker's main flow and the unpacking of one archive.
#include "unpacker/unpack.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "platform/platform.h"
#include "unpacker/koepac.h"
#include "unpacker/voice.h"
#include "unpacker/voice_count.h"
#include "unpacker/voice_folder.h"

static const char NEW_FOLDER[] = "koewav";

void resolve_voice_folder(const char* old_folder, char* base, unsigned room) {
    bool absolute = old_folder[0] == '\\' || old_folder[0] == '/' ||
                    (old_folder[0] != '\0' && old_folder[1] == ':');
    snprintf(base, room, absolute ? "%s" : "..\\%s", old_folder);
}

// The code names the archive's folder inside koewav: a separator in it would put the voices
// somewhere else, half a character would make a name the game never used. A 0x5C that is the
// second byte of a double-byte character is no separator.
static int take_archive_code(const char* name, char code[4]) {
    if (strlen(name) < 4) return 0;
    memcpy(code, name + 1, 3);
    code[3] = '\0';
    if (text_fit(code, 3) != 3) return 0;
    for (size_t i = 0; i < 3; ++i)
        if (strchr("\\/:", code[i]) && text_fit(code, i) == i) return 0;
    return 1;
}

static void report_broken(const char* archive_path, const char* what) {
    error_box("%sは壊れています。%s", archive_path, what);
}

static void report_read_failure(FILE* archive, const char* archive_path) {
    if (ferror(archive))
        error_box("%sの読み込みに失敗しました: %s", archive_path, strerror(errno));
    else
        report_broken(archive_path, "ファイルが途中で切れています。");
}

// Makes sure every voice's size table and blocks lie inside the file before anything of the
// archive is written, so a broken archive leaves no half-unpacked folder behind.
static int check_voices(FILE* archive, const char* archive_path, const koe_entry* entries,
                        int32_t count, uint64_t file_size) {
    static unsigned char sizes[2 * 65535];
    for (int32_t k = 0; k < count; ++k) {
        const koe_entry& entry = entries[k];
        uint64_t table_end = uint64_t{entry.offset} + 2 * uint64_t{entry.block_count};
        char what[128];
        snprintf(what, sizeof what, "音声%05uのデータがファイルに収まりません。", entry.id);
        if (table_end > file_size) {
            report_broken(archive_path, what);
            return 0;
        }
        if (fseek(archive, static_cast<long>(entry.offset), SEEK_SET) != 0 ||
            fread(sizes, 2, entry.block_count, archive) != entry.block_count) {
            report_read_failure(archive, archive_path);
            return 0;
        }
        uint64_t end = table_end;
        for (unsigned b = 0; b < entry.block_count; ++b) end += read_u16le(sizes + 2 * b);
        if (end > file_size) {
            report_broken(archive_path, what);
            return 0;
        }
    }
    return 1;
}

int read_archive_index(FILE* archive, const char* archive_path, koe_header* header, koe_entry** entries) {
    unsigned char bytes[KOE_HEADER_SIZE] = {};
    size_t got = fread(bytes, 1, sizeof bytes, archive);
    *header = parse_koe_header(bytes);
    // The magic's terminator is part of it: a file that ends within it is not an archive.
    if (got < 7 || !is_koepac(*header)) {
        if (ferror(archive))
            report_read_failure(archive, archive_path);
        else
            error_box("%sはKOE形式ではないようです。", archive_path);
        return 0;
    }
    if (got < sizeof bytes) {
        report_read_failure(archive, archive_path);
        return 0;
    }

    long end = -1;
    if (fseek(archive, 0, SEEK_END) == 0) end = ftell(archive);
    if (end < 0) {
        error_box("%sの読み込みに失敗しました: %s", archive_path, strerror(errno));
        return 0;
    }
    uint64_t file_size = static_cast<uint64_t>(end);
    // Offsets are taken as seek positions, which the runtime holds in a long.
    if (file_size > 0x7FFFFFFFu) file_size = 0x7FFFFFFFu;

    int32_t count = header->entry_count;
    // Ids are 16 bits wide: more entries cannot name distinct voices, and the index of such a
    // count is never read (it could claim gigabytes of memory).
    if (count > KOE_MAX_ENTRIES) {
        char what[128];
        snprintf(what, sizeof what, "索引の項目数%ldは%ldを超えています。", static_cast<long>(count),
                 static_cast<long>(KOE_MAX_ENTRIES));
        report_broken(archive_path, what);
        return 0;
    }
    if (count < 0 || KOE_HEADER_SIZE + uint64_t{KOE_ENTRY_SIZE} * static_cast<uint32_t>(count) > file_size) {
        char what[128];
        snprintf(what, sizeof what, "索引の項目数%ldがファイルに収まりません。", static_cast<long>(count));
        report_broken(archive_path, what);
        return 0;
    }
    *entries = nullptr;
    if (count == 0) return 1;

    size_t index_size = KOE_ENTRY_SIZE * static_cast<size_t>(count);
    unsigned char* raw = static_cast<unsigned char*>(malloc(index_size));
    koe_entry* parsed = static_cast<koe_entry*>(malloc(sizeof(koe_entry) * static_cast<size_t>(count)));
    if (!raw || !parsed) {
        error_box("%sの索引を読むメモリが足りません。", archive_path);
        free(raw);
        free(parsed);
        return 0;
    }
    if (fseek(archive, static_cast<long>(KOE_HEADER_SIZE), SEEK_SET) != 0 ||
        fread(raw, 1, index_size, archive) != index_size) {
        report_read_failure(archive, archive_path);
        free(raw);
        free(parsed);
        return 0;
    }
    for (int32_t k = 0; k < count; ++k) parsed[k] = parse_koe_entry(raw + KOE_ENTRY_SIZE * k);
    free(raw);
    // Two entries of one id would write one file, the later voice silently over the earlier.
    static unsigned char seen[65536 / 8];
    memset(seen, 0, sizeof seen);
    for (int32_t k = 0; k < count; ++k) {
        unsigned id = parsed[k].id;
        if (seen[id / 8] & (1u << (id % 8))) {
            char what[128];
            snprintf(what, sizeof what, "音声%05uが索引に二度あります。", id);
            report_broken(archive_path, what);
            free(parsed);
            return 0;
        }
        seen[id / 8] |= static_cast<unsigned char>(1u << (id % 8));
    }
    if (!check_voices(archive, archive_path, parsed, count, file_size)) {
        free(parsed);
        return 0;
    }
    *entries = parsed;
    return 1;
}

int unpack_archive(const char* old_folder, const char* name) {
    char base[300];
    resolve_voice_folder(old_folder, base, sizeof base);
    char archive_path[600];   // as the user knows it: the folder as stored
    char open_path[600];
    snprintf(archive_path, sizeof archive_path, "%s\\%s", old_folder, name);
    snprintf(open_path, sizeof open_path, "%s\\%s", base, name);

    char code[4];
    if (!take_archive_code(name, code)) {
        error_box("%sの名前からフォルダ名を作れません。", archive_path);
        return 1;
    }

    FILE* archive = open_file(open_path, "rb");
    if (!archive) {
        error_box("%sをオープンできません。", archive_path);
        return 1;
    }
    setvbuf(archive, nullptr, _IOFBF, 1 << 16);

    koe_header header;
    koe_entry* entries = nullptr;
    if (!read_archive_index(archive, archive_path, &header, &entries)) {
        fclose(archive);
        return 1;
    }

    if (make_dir(code) != 0) {
        error_box("フォルダ %s を作成できません: %s", code, strerror(errno));
        free(entries);
        fclose(archive);
        return 1;
    }

    int result = 0;
    for (int32_t k = 0; k < header.entry_count; ++k) {
        char out_path[32];
        snprintf(out_path, sizeof out_path, "%s\\Z%s%05u.WAV", code, code, unsigned{entries[k].id});
        if (progress_cancelled()) {
            result = 1;
            break;
        }
        printf("%s -> %s\n", name, out_path);
        if (decode_voice(out_path, header, entries[k], archive, archive_path) != 0) {
            result = 1;
            break;
        }
        step_unpack_progress(archive_path);
    }
    free(entries);
    fclose(archive);
    return result;
}

// The search ends with errno ENOENT, or leaves errno alone where the system does not set it; any
// other error number means it failed.
static bool search_failed() { return errno != 0 && errno != ENOENT; }

// Everything after the switch: koewav, the search, and the archives one after the other.
static int unpack_voice_folder(const char* old_folder) {
    if (make_dir(NEW_FOLDER) != 0) {
        error_box("フォルダ koewav を作成できません: %s", strerror(errno));
        return 1;
    }
    // Unpacking into the game folder instead would scatter folders where the game does not look.
    if (change_dir(NEW_FOLDER) != 0) {
        error_box("フォルダ koewav に移動できません: %s", strerror(errno));
        return 1;
    }

    char base[300];
    resolve_voice_folder(old_folder, base, sizeof base);
    char pattern[320];
    snprintf(pattern, sizeof pattern, "%s\\Z???.KOE", base);
    find_entry found;
    errno = 0;
    find_state* search = find_first_file(pattern, &found);
    if (!search) {
        if (search_failed())
            error_box("フォルダ %s を検索できません: %s", old_folder, strerror(errno));
        else
            error_box("フォルダ %s 内にKOEファイルが見つかりません。", old_folder);
        return 1;
    }

    build_decode_tables();
    begin_unpack_progress(base);
    int failed = 0;
    for (;;) {
        if (unpack_archive(old_folder, found.name) != 0) {
            failed = 1;
            break;
        }
        errno = 0;
        if (!find_next_file(search, &found)) {
            // A search that breaks off must not pass for the end of the list: the archives after
            // it would go missing from a run that looks complete.
            if (search_failed()) {
                error_box("フォルダ %s を検索できません: %s", old_folder, strerror(errno));
                failed = 1;
            }
            break;
        }
    }
    find_close(search);
    end_unpack_progress(failed);
    return failed;
}

int run_unpacker() {
    char* old_folder = switch_voice_folder();
    if (!old_folder) return 1;
    int status = unpack_voice_folder(old_folder);
    free(old_folder);
    return status;
}
