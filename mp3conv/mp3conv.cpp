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

int convert_folder(const char* folder) {
    char pattern[260];
    int n = snprintf(pattern, sizeof pattern, "%s\\*.wav", folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return CONVERT_NONE;
    find_entry entry;
    intptr_t search = findfirst(pattern, &entry);
    if (search == -1) {
        fprintf(stderr, "%s: wavファイルがありません。\n", folder);
        return CONVERT_NONE;
    }
    int result = CONVERT_DONE;
    do {
        char wav_path[260];
        n = snprintf(wav_path, sizeof wav_path, "%s\\%s", folder, entry.name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof wav_path) {
            fprintf(stderr, "%s\\%s: パスが長すぎます。\n", folder, entry.name);
            continue;
        }
        result = convert_wav(wav_path);
    } while (result != CONVERT_ABORTED && findnext(search, &entry) == 0);
    findclose(search);
    return result;
}

int run_drusel() {
    int converted = 0;
    find_encoder();
    find_entry entry;
    intptr_t search = findfirst("???", &entry);
    if (search != -1) {
        do {
            if (entry.name[0] == '.' || !(entry.attrib & ATTR_FOLDER)) continue;
            int result = convert_folder(entry.name);
            if (result == CONVERT_ABORTED) {
                findclose(search);
                return 1;
            }
            converted |= result;
        } while (findnext(search, &entry) == 0);
        findclose(search);
    }
    if (!converted) {
        error_box("plovenakで作成されたkoewavフォルダで実行してください。");
        return 1;
    }
    return 0;
}
