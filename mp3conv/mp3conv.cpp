// drusel: hands every WAV of the three-character folders of koewav to the encoder and puts the
// MP3 data under the WAV file's own name.
#include "mp3conv/mp3conv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "platform/platform.h"

char encoder_path[260] = "scmpx.exe";

static const char default_encoder[] = "scmpx.exe";

int find_encoder() {
    uint32_t size = sizeof encoder_path;
    reg_key key;
    if (reg_open_key("Software\\vurlo\\_inmm.dll", REG_ACCESS_QUERY, &key) != REG_OK) {
        fputs("_inmm.dllのレジストリが見つかりません。\n", stderr);
        return 0;
    }
    long result = reg_query_value(key, "SMX_Path", reinterpret_cast<unsigned char*>(encoder_path), &size);
    reg_close_key(key);
    // A value that fills the buffer without its terminator is as unusable as one that is too long.
    if (result == REG_OK && size >= sizeof encoder_path && encoder_path[sizeof encoder_path - 1] != '\0')
        result = REG_MORE_DATA;
    if (result != REG_OK) {
        // The buffer's contents are undefined after a failed query.
        strcpy(encoder_path, default_encoder);
        fputs("レジストリの読みとりに失敗しました。。\n", stderr);
        return 0;
    }
    if (size < 2)
        strcpy(encoder_path, default_encoder);
    else if (size < sizeof encoder_path)
        encoder_path[size] = '\0';
    return 1;
}

// Asks what to do about a failed step: 1 to try it again, 0 to skip the file, -1 to end the run.
// Any answer but Retry or Ignore (0 when the box itself failed) ends the run rather than loop.
static int ask_again(int answer) {
    if (answer == ANSWER_RETRY) return 1;
    if (answer == ANSWER_IGNORE) return 0;
    return -1;
}

int convert_wav(const char* wav_path) {
    char mp3_path[260];
    char command[782];
    int n = snprintf(mp3_path, sizeof mp3_path, "%s.mp3", wav_path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof mp3_path) {
        fprintf(stderr, "%s: パスが長すぎます。\n", wav_path);
        return CONVERT_DONE;
    }
    snprintf(command, sizeof command, "%s -e -w %s %s", encoder_path, wav_path, mp3_path);
    printf("%s\n", command);

    for (;;) {
        // An encoder that answers success without writing its file must not cost the voice.
        if (run_command(command) == 0 && file_access(mp3_path, 0) == 0) break;
        int again = ask_again(ask_abort_retry_ignore("%s: scmpxを起動できないか、変換に失敗しました。", wav_path));
        if (again < 0) return CONVERT_ABORTED;
        if (again == 0) return CONVERT_DONE;
    }
    while (remove_file(wav_path) != 0) {
        int again = ask_again(ask_abort_retry_ignore("%sの削除に失敗しました: %s", wav_path, strerror(errno)));
        if (again < 0) return CONVERT_ABORTED;
        if (again == 0) return CONVERT_DONE;
    }
    while (rename_file(mp3_path, wav_path) != 0) {
        int again = ask_again(
            ask_abort_retry_ignore("%sを%sにリネームできません: %s", mp3_path, wav_path, strerror(errno)));
        if (again < 0) return CONVERT_ABORTED;
        if (again == 0) return CONVERT_DONE;
    }
    return CONVERT_DONE;
}

// A search ends with errno ENOENT; any other error number means it broke off, and the entries
// after that point were never seen.
static bool search_broke_off() { return errno != 0 && errno != ENOENT; }

static void report_broken_search(const char* folder) {
    if (folder)
        error_box("フォルダ %s を検索できません: %s", folder, strerror(errno));
    else
        error_box("音声フォルダを検索できません: %s", strerror(errno));
}

// The next entry of a search: 1, or 0 at its end, or -1 when it broke off (after a box). folder
// names the folder searched, null for the voice folders of the current one.
static int take_next(intptr_t search, find_entry* entry, const char* folder) {
    errno = 0;
    if (findnext(search, entry) == 0) return 1;
    if (!search_broke_off()) return 0;
    report_broken_search(folder);
    return -1;
}

int convert_folder(const char* folder) {
    char pattern[260];
    int n = snprintf(pattern, sizeof pattern, "%s\\*.wav", folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return CONVERT_NONE;
    find_entry entry;
    errno = 0;
    intptr_t search = findfirst(pattern, &entry);
    if (search == -1) {
        if (search_broke_off()) {
            report_broken_search(folder);
            return CONVERT_INCOMPLETE;
        }
        fprintf(stderr, "%s: wavファイルがありません。\n", folder);
        return CONVERT_NONE;
    }
    int result = CONVERT_DONE;
    int next;
    do {
        char wav_path[260];
        n = snprintf(wav_path, sizeof wav_path, "%s\\%s", folder, entry.name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof wav_path) {
            fprintf(stderr, "%s\\%s: パスが長すぎます。\n", folder, entry.name);
            next = take_next(search, &entry, folder);
            continue;
        }
        result = convert_wav(wav_path);
        next = result == CONVERT_ABORTED ? 0 : take_next(search, &entry, folder);
    } while (next > 0);
    findclose(search);
    return next < 0 ? CONVERT_INCOMPLETE : result;
}

int run_drusel() {
    int converted = 0;
    // A voice folder whose search broke off may hold voices that were never converted, so the run
    // must not end as a success.
    int incomplete = 0;
    find_encoder();
    find_entry entry;
    errno = 0;
    intptr_t search = findfirst("???", &entry);
    if (search == -1 && search_broke_off()) {
        report_broken_search(nullptr);
        return 1;
    }
    if (search != -1) {
        int next;
        do {
            next = 1;
            if (entry.name[0] == '.' || !(entry.attrib & ATTR_FOLDER)) {
                next = take_next(search, &entry, nullptr);
                continue;
            }
            int result = convert_folder(entry.name);
            if (result == CONVERT_ABORTED) {
                findclose(search);
                return 1;
            }
            if (result == CONVERT_INCOMPLETE) incomplete = 1;
            else converted |= result;
            next = take_next(search, &entry, nullptr);
        } while (next > 0);
        findclose(search);
        if (next < 0) incomplete = 1;
    }
    if (incomplete) return 1;
    if (!converted) {
        error_box("plovenakで作成されたkoewavフォルダで実行してください。");
        return 1;
    }
    return 0;
}
