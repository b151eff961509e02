// What the progress window and the terminal's progress line say, in one place, and the estimate
// of the time left that both show.
#ifndef VNAUDIO_PROGRESS_TEXT_H
#define VNAUDIO_PROGRESS_TEXT_H

#include <cstdio>

#include "platform/messages.h"

constexpr const char* PROGRESS_COUNT = "%lu / %lu 個の音声";       // done, total
constexpr const char* PROGRESS_COUNT_UNKNOWN = "%lu 個の音声";      // done
constexpr const char* PROGRESS_LEFT_HOURS = "残り約%lu時間%02lu分";
constexpr const char* PROGRESS_LEFT_MINUTES = "残り約%lu分%02lu秒";
constexpr const char* PROGRESS_LEFT_SECONDS = "残り約%lu秒";
constexpr const char* PROGRESS_ESTIMATING = "残り時間を計算しています";
constexpr const char* PROGRESS_CANCEL_BUTTON = "キャンセル";
constexpr const char* PROGRESS_NOTICES = "次のお知らせがありました（%lu件）:";    // count
constexpr const char* PROGRESS_NOTICES_LAST = "（最後の%lu件）";                // lines shown
constexpr const char* PROGRESS_STOPPING = "今の音声を終えてから止めます…";

// Seconds left after done of total items took elapsed_ms, or -1 while too little is known: the
// first two seconds and the first item tell little about the rest.
inline long progress_seconds_left(unsigned long done, unsigned long total, unsigned long elapsed_ms) {
    if (done == 0 || total <= done || elapsed_ms < 2000) return done >= total && total ? 0 : -1;
    double per_item = static_cast<double>(elapsed_ms) / 1000.0 / static_cast<double>(done);
    return static_cast<long>(per_item * static_cast<double>(total - done) + 0.5);
}

// The time left as the person reads it (empty when nothing is known yet and estimating is null).
inline void format_time_left(long seconds, char* out, size_t room, const char* estimating) {
    unsigned long s = static_cast<unsigned long>(seconds);
    if (seconds < 0)
        snprintf(out, room, "%s", estimating ? translate_message(estimating) : "");
    else if (s >= 3600)
        snprintf(out, room, translate_message(PROGRESS_LEFT_HOURS), s / 3600, s / 60 % 60);
    else if (s >= 60)
        snprintf(out, room, translate_message(PROGRESS_LEFT_MINUTES), s / 60, s % 60);
    else
        snprintf(out, room, translate_message(PROGRESS_LEFT_SECONDS), s);
}

#endif
