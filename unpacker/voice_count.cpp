// plovenak's progress: the count of voices from the scan of every archive before the first voice is
// written, each voice as it is done, and the closing words of the run.
#include "unpacker/voice_count.h"

#include "common/common.h"
#include "platform/platform.h"

static unsigned long voices_total, voices_done;

void begin_unpack_progress(unsigned long total, unsigned long done) {
    voices_total = total;
    voices_done = done;
    progress_begin(voices_total, tool_title);
    if (done) progress_step(done, "");
}

void step_unpack_progress(const char* archive) { progress_step(++voices_done, archive); }

void end_unpack_progress(unsigned long done, int how) {
    if (how == 1)
        end_progress("キャンセルしました。%lu / %lu 個の音声を展開したところで止めました。書きかけのファイルは残っていません。\n"
                     "続きを展開するには、plovenakをもう一度実行してください。"
                     "元に戻すには、koe_restore.regを取り込んでから（ダブルクリック）、koewavフォルダを削除してください。",
                     done, voices_total);
    else if (how == 0)
        end_progress("展開が終わりました。%lu 個の音声をkoewavフォルダに書き出しました。", done);
    else
        progress_end(nullptr);
}
