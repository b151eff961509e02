// drusel's progress: the voices counted from the folder listings before the first encoder starts,
// each voice as it is settled, and the closing words of the run.
#include "mp3conv/voice_count.h"

#include <cstdio>

#include "common/common.h"
#include "platform/platform.h"

static unsigned long voices_total, voices_done;

unsigned long count_wav_files() {
    unsigned long total = 0;
    find_entry folder;
    intptr_t folders = findfirst("???", &folder);
    if (folders == -1) return 0;
    do {
        if (folder.name[0] == '.' || !(folder.attrib & ATTR_FOLDER)) continue;
        char pattern[270];
        snprintf(pattern, sizeof pattern, "%s\\*.wav", folder.name);
        find_entry file;
        intptr_t files = findfirst(pattern, &file);
        if (files == -1) continue;
        do ++total;
        while (findnext(files, &file) == 0);
        findclose(files);
    } while (findnext(folders, &folder) == 0);
    findclose(folders);
    return total;
}

void begin_conversion_progress() {
    voices_total = count_wav_files();
    voices_done = 0;
    // A folder without voices gets its box alone, without a window that would count nothing.
    if (voices_total) progress_begin(voices_total, tool_title);
}

void step_conversion_progress(const char* wav_path) { progress_step(++voices_done, wav_path); }

void show_waited_voice(const char* wav_path) { progress_step(voices_done, wav_path); }

void end_conversion_progress(int status, int with_summary) {
    if (!with_summary)
        progress_end(nullptr);
    else if (progress_cancelled())
        end_progress("キャンセルしました。%lu / %lu 個の音声を処理したところで止めました。"
                     "変換中だった音声はエンコーダを止めて、WAVのまま残しました。\n"
                     "もう一度実行すると、続きから変換します。",
                     voices_done, voices_total);
    else if (status != 0)
        end_progress("変換を最後まで終えられませんでした。%lu / %lu 個の音声を処理しました。\n"
                     "もう一度実行すると、残りの音声を変換します。",
                     voices_done, voices_total);
    else
        end_progress("変換が終わりました。%lu 個の音声を処理しました。", voices_done);
}
