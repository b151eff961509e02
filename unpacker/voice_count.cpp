// plovenak's progress: the count of voices taken from the archives' headers before the first voice
// is written, each voice as it is done, and the closing words of the run.
#include "unpacker/voice_count.h"

#include <cstdio>

#include "common/common.h"
#include "platform/platform.h"
#include "unpacker/koepac.h"

static unsigned long voices_total, voices_done;

unsigned long count_archive_voices(const char* base) {
    char pattern[320];
    snprintf(pattern, sizeof pattern, "%s\\Z???.KOE", base);
    unsigned long total = 0;
    find_entry found;
    find_state* search = find_first_file(pattern, &found);
    if (!search) return 0;
    do {
        char path[600];
        snprintf(path, sizeof path, "%s\\%s", base, found.name);
        FILE* archive = open_file(path, "rb");
        if (!archive) continue;
        unsigned char bytes[KOE_HEADER_SIZE];
        if (fread(bytes, 1, sizeof bytes, archive) == sizeof bytes) {
            koe_header header = parse_koe_header(bytes);
            if (is_koepac(header) && header.entry_count > 0) total += static_cast<unsigned long>(header.entry_count);
        }
        fclose(archive);
    } while (find_next_file(search, &found));
    find_close(search);
    return total;
}

void begin_unpack_progress(const char* base) {
    voices_total = count_archive_voices(base);
    voices_done = 0;
    progress_begin(voices_total, tool_title);
}

void step_unpack_progress(const char* archive) { progress_step(++voices_done, archive); }

void end_unpack_progress(int status) {
    if (progress_cancelled())
        end_progress("キャンセルしました。%lu / %lu 個の音声を展開したところで止めました。書きかけのファイルは残っていません。\n"
                     "やり直すには、koe_restore.regを取り込んで元の設定に戻し、koewavフォルダを削除してから、"
                     "もう一度実行してください。",
                     voices_done, voices_total);
    else if (status != 0)
        end_progress("エラーのため止まりました。%lu / %lu 個の音声を展開しました。", voices_done, voices_total);
    else
        end_progress("展開が終わりました。%lu 個の音声をkoewavフォルダに書き出しました。", voices_done);
}
