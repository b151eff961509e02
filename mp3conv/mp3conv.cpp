// drusel: hands every WAV of the three-character folders of koewav to the encoder and puts the
// MP3 data under the WAV file's own name. Up to a chosen number of encoders run at once; their
// results are settled strictly in voice order, so the questions come in the order of a run with one
// encoder and the same answers lead to the same files.
#include "mp3conv/mp3conv.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "common/common.h"
#include "mp3conv/mp3_check.h"
#include "mp3conv/voice_count.h"
#include "platform/platform.h"
#include "platform/messages.h"

char encoder_path[260] = "scmpx.exe";

static const char default_encoder[] = "scmpx.exe";

int find_encoder() {
    uint32_t size = sizeof encoder_path;
    reg_key key;
    if (reg_open_key("Software\\vurlo\\_inmm.dll", REG_ACCESS_QUERY, &key) != REG_OK) {
        fputs(translate_message("_inmm.dllのレジストリが見つかりません。\n"), stderr);
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
        if (result == REG_NOT_CP932)
            fprintf(stderr, translate_message(
                    "SMX_Pathの値の%lu文字目（U+%04lX）はCP932で表せないため、値を読めません。"
                    "エンコーダをその文字を含まないフォルダに置いて指定し直してください。\n"),
                    reg_unheld_place, reg_unheld_char);
        else
            fputs(translate_message("レジストリの読みとりに失敗しました。。\n"), stderr);
        return 0;
    }
    if (size < sizeof encoder_path) encoder_path[size] = '\0';
    // Quotes were once the way round a blank in the path; the program is started by its name alone.
    size_t length = strlen(encoder_path);
    if (length >= 2 && encoder_path[0] == '"' && encoder_path[length - 1] == '"') {
        memmove(encoder_path, encoder_path + 1, length - 2);
        encoder_path[length - 2] = '\0';
    }
    if (encoder_path[0] == '\0') strcpy(encoder_path, default_encoder);
    return 1;
}

int is_batch_file(const char* path) {
    // Windows drops trailing dots and blanks from a name, so "x.bat." runs x.bat.
    size_t end = strlen(path);
    while (end > 0 && (path[end - 1] == '.' || path[end - 1] == ' ')) --end;
    if (end < 4 || path[end - 4] != '.') return 0;
    char ext[4];
    for (int i = 0; i < 3; ++i) ext[i] = static_cast<char>(path[end - 3 + i] | 0x20);
    ext[3] = '\0';
    return strcmp(ext, "bat") == 0 || strcmp(ext, "cmd") == 0;
}

// Asks what to do about a failed step: 1 to try it again, 0 to skip the file, -1 to end the run.
// Any answer but Retry or Ignore (0 when the box itself failed) ends the run rather than loop.
static int ask_again(int answer) {
    if (answer == ANSWER_RETRY) return 1;
    if (answer == ANSWER_IGNORE) return 0;
    return -1;
}

// The whole file in memory: voices are small. 0 when it cannot be read.
static int read_whole(const char* path, std::vector<unsigned char>* bytes) {
    FILE* f = open_file(path, "rb");
    if (!f) return 0;
    bytes->clear();
    unsigned char buf[16384];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
    int ok = !ferror(f);
    fclose(f);
    return ok;
}

// What a voice file holds as a run comes to it.
constexpr int HOLDS_OTHER = 0;      // not MP3 data (a WAV): to be encoded
constexpr int HOLDS_MP3 = 1;        // a whole MP3: converted by an earlier run
constexpr int HOLDS_CUT_MP3 = 2;    // starts as MP3 but is not whole: a voice damaged earlier

// A file that cannot be read is left to the encoder to judge.
static int voice_holds(const char* path) {
    std::vector<unsigned char> bytes;
    if (!read_whole(path, &bytes) || !is_mp3_start(bytes.data(), bytes.size())) return HOLDS_OTHER;
    mp3_facts facts;
    return check_mp3(bytes.data(), bytes.size(), &facts) ? HOLDS_MP3 : HOLDS_CUT_MP3;
}

// 1 when the encoder's output is a whole MP3 as long as the WAV; otherwise 0 after asking what to
// do about it, with *again set as ask_again answers (left alone when quiet).
static int check_output(const char* wav_path, const char* mp3_path, int* again, int quiet) {
    std::vector<unsigned char> mp3, wav;
    mp3_facts facts;
    if (!read_whole(mp3_path, &mp3)) {
        remove_file(mp3_path);
        if (!quiet)
            *again = ask_again(ask_abort_retry_ignore("%s: scmpxを起動できないか、変換に失敗しました。", wav_path));
        return 0;
    }
    int whole = check_mp3(mp3.data(), mp3.size(), &facts);
    uint64_t samples = 0;
    unsigned long rate = 0;
    // A source that is not a WAV this can measure leaves only the check of the MP3's form.
    int measured = whole && read_whole(wav_path, &wav) && read_wav_length(wav.data(), wav.size(), wav.size(), &samples, &rate);
    if (whole && (!measured || mp3_length_matches(&facts, samples, rate))) return 1;
    // A cut or foreign file must never be taken for this voice, now or by a later run.
    remove_file(mp3_path);
    if (quiet) return 0;
    if (!whole) {
        *again = ask_again(ask_abort_retry_ignore(
            "%s: エンコーダが書いたファイルは完全なMP3ではありません（%lu / %lu バイト目から先が読めません）。"
            "ディスクの空きやエンコーダを確かめてください。WAVファイルはそのまま残します。",
            wav_path, static_cast<unsigned long>(facts.fault_at), static_cast<unsigned long>(mp3.size())));
    } else {
        unsigned long mp3_ms = static_cast<unsigned long>(
            static_cast<uint64_t>(facts.audio_frames) * facts.samples_per_frame * 1000 / facts.rate);
        unsigned long wav_ms = static_cast<unsigned long>(samples * 1000 / rate);
        *again = ask_again(ask_abort_retry_ignore(
            "%s: エンコーダが書いたMP3の長さ（%lu ミリ秒）が音声の長さ（%lu ミリ秒）と合いません。"
            "WAVファイルはそのまま残します。",
            wav_path, mp3_ms, wav_ms));
    }
    return 0;
}

// 1 when the file exists and holds at least one byte.
static int has_data(const char* path) {
    FILE* f = open_file(path, "rb");
    if (!f) return 0;
    int c = fgetc(f);
    fclose(f);
    return c != EOF;
}

// Step results.
constexpr int STEP_DONE = 0;      // the voice is settled: converted, passed over or skipped
constexpr int STEP_RUNNING = 1;   // its encoder runs
constexpr int STEP_FAILED = 2;    // its encoder could not be started: to be asked about
constexpr int STEP_ABORT = 3;     // the user chose Abort

// One voice between the start of its encoder and its settling.
struct voice_job {
    char wav_path[260];
    char mp3_path[260];
    long program;   // the running encoder, 0 once it has ended
    int status;     // the encoder's exit status once it has ended
    uint64_t deadline;   // when the running encoder is taken for hung
    int timed_out;       // its encoder was ended for passing that time
    int shown;           // its command line has been printed
};

// How long an encoder may take over a voice before it is taken for hung: a minute, and twenty
// times the voice's playing time on top (read from the WAV header; a file without one is taken for
// the slowest voice, 8 kHz mono). VNAUDIO_ENCODER_LIMIT_MS replaces it, for the tests alone.
static uint64_t encoder_time_limit(const char* wav_path) {
    if (const char* ms = getenv("VNAUDIO_ENCODER_LIMIT_MS")) return strtoull(ms, nullptr, 10);
    unsigned long bytes_per_second = 16000;
    long size = 0;
    if (FILE* f = open_file(wav_path, "rb")) {
        unsigned char head[32];
        if (fread(head, 1, sizeof head, f) == sizeof head && memcmp(head, "RIFF", 4) == 0 &&
            memcmp(head + 8, "WAVEfmt ", 8) == 0) {
            unsigned long rate = head[28] | head[29] << 8 | head[30] << 16 | static_cast<unsigned long>(head[31]) << 24;
            if (rate >= 1000 && rate <= 1000000) bytes_per_second = rate;
        }
        if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
        fclose(f);
    }
    uint64_t seconds = size > 0 ? static_cast<uint64_t>(size) / bytes_per_second + 1 : 0;
    return 60000 + seconds * 20000;
}

// Whatever an earlier run or encoder left under the MP3 name must not be taken for this run's result.
static int remove_stale_mp3(const char* mp3_path) {
    errno = 0;
    while (remove_file(mp3_path) != 0 && errno != ENOENT) {
        int again = ask_again(ask_abort_retry_ignore("%sの削除に失敗しました: %s", mp3_path, strerror(errno)));
        if (again < 0) return STEP_ABORT;
        if (again == 0) return STEP_DONE;
        errno = 0;
    }
    return STEP_RUNNING;
}

// may_be_left: a file may already stand under the MP3 name (a failed try of this voice, or one that
// was in the folder when the run came to it). Otherwise no lookup is made for it: a name that is
// not there costs the Linux build a fresh read of the folder, which the encoders keep changing.
static int launch_encoder(voice_job* job, int may_be_left) {
    int step = may_be_left ? remove_stale_mp3(job->mp3_path) : STEP_RUNNING;
    if (step != STEP_RUNNING) return step;
    const char* args[] = {encoder_path, "-e", "-w", job->wav_path, job->mp3_path, nullptr};
    job->program = start_program(args);
    job->timed_out = 0;
    if (job->program > 0) {
        job->deadline = clock_ms() + encoder_time_limit(job->wav_path);
        return STEP_RUNNING;
    }
    job->program = 0;
    job->status = 1;
    return STEP_FAILED;
}

static void show_command(voice_job* job) {
    printf("%s -e -w %s %s\n", encoder_path, job->wav_path, job->mp3_path);
    job->shown = 1;
    show_waited_voice(job->wav_path);
}

// Starts the voice's encoder, unless the voice is passed over; its command line is printed first
// when it is the voice to be waited for.
// *too_long is set when its names do not fit.
static int start_voice(voice_job* job, int* too_long, int* damaged, int folder_had_mp3s, int first) {
    int n = snprintf(job->mp3_path, sizeof job->mp3_path, "%s.mp3", job->wav_path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof job->mp3_path) {
        fprintf(stderr, translate_message("%s: パスが長すぎます。\n"), job->wav_path);
        *too_long = 1;
        return STEP_DONE;
    }
    // A voice converted by an earlier run must not be encoded a second time.
    int holds = voice_holds(job->wav_path);
    if (holds == HOLDS_MP3) {
        fprintf(stderr, translate_message("%s: すでにMP3データです。変換しません。\n"), job->wav_path);
        // An MP3 of an earlier try beside it is of no use any more.
        return folder_had_mp3s && remove_stale_mp3(job->mp3_path) == STEP_ABORT ? STEP_ABORT : STEP_DONE;
    }
    if (holds == HOLDS_CUT_MP3) {
        fprintf(stderr, translate_message("%s: MP3データが途中で切れています。この音声はplovenakで書き出し直してください。\n"),
                job->wav_path);
        *damaged = 1;
        return STEP_DONE;
    }
    if (first) show_command(job);
    return launch_encoder(job, folder_had_mp3s);
}

// The MP3 takes the WAV's name in one step, so a run cut off here leaves the voice whole under
// one of its two names. quiet: after an Abort nothing more is asked.
static int put_in_place(const char* mp3_path, const char* wav_path, int quiet) {
    while (replace_file(mp3_path, wav_path) != 0) {
        if (quiet) return STEP_DONE;
        int again = ask_again(
            ask_abort_retry_ignore("%sを%sにリネームできません: %s", mp3_path, wav_path, strerror(errno)));
        if (again < 0) return STEP_ABORT;
        if (again == 0) return STEP_DONE;
    }
    return STEP_DONE;
}

// Settles a voice whose encoder has ended; STEP_RUNNING when a Retry started it again.
static int finish_voice(voice_job* job, int aborted) {
    for (;;) {
        // An encoder that answers success without writing its file must not cost the voice.
        int again = 0;
        if (job->status == 0 && has_data(job->mp3_path)) {
            if (check_output(job->wav_path, job->mp3_path, &again, aborted))
                return put_in_place(job->mp3_path, job->wav_path, aborted);
            if (aborted) return STEP_DONE;
        } else {
            // What a failed encoder left (a crash in the middle of its write), or an empty file that
            // one answering success left on a full disk, is no MP3 of the voice.
            remove_file(job->mp3_path);
            if (aborted) return STEP_DONE;
            again = ask_again(
                ask_abort_retry_ignore("%s: scmpxを起動できないか、変換に失敗しました。", job->wav_path));
        }
        if (again < 0) return STEP_ABORT;
        if (again == 0) return STEP_DONE;
        int step = launch_encoder(job, 1);
        if (step != STEP_FAILED) return step;
    }
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

// Where the walk over the voices of the tree stands, and what it has met so far.
struct voice_walk {
    intptr_t folders;   // the search of the voice folders, -1 once it is over
    intptr_t files;     // the search of the current folder's WAV files, -1 between folders
    find_entry folder;
    find_entry file;
    int folder_taken;   // folder holds an entry not yet looked at when 0
    int converted;      // some voice folder held WAV files
    int incomplete;     // a search broke off: voices may have been missed
    int too_long;       // a voice was skipped because its names do not fit
    int damaged;        // a voice holds a cut MP3 an earlier run or encoder left
    int aborted;
    int folder_had_mp3s;   // the current folder held MP3 files beside their WAVs when the walk came to it
};

// A voice left only under its MP3 name, by a run killed between its steps, takes its WAV name back;
// the walk then finds it as a voice already converted. 1, or 0 after a broken search or on Abort.
static int restore_lone_mp3s(const char* folder, voice_walk* walk) {
    // Until the folder is known to hold none, any voice may have a leftover MP3 beside it.
    walk->folder_had_mp3s = 1;
    char pattern[260];
    int n = snprintf(pattern, sizeof pattern, "%s\\*.wav.mp3", folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return 1;
    find_entry entry;
    errno = 0;
    intptr_t search = findfirst(pattern, &entry);
    if (search == -1) {
        if (!search_broke_off()) {
            walk->folder_had_mp3s = 0;
            return 1;
        }
        report_broken_search(folder);
        walk->incomplete = 1;
        return 0;
    }
    int next;
    do {
        char mp3_path[260], wav_path[260];
        n = snprintf(mp3_path, sizeof mp3_path, "%s\\%s", folder, entry.name);
        if (n > 4 && static_cast<size_t>(n) < sizeof mp3_path && !(entry.attrib & ATTR_FOLDER)) {
            snprintf(wav_path, sizeof wav_path, "%.*s", n - 4, mp3_path);
            errno = 0;
            if (file_access(wav_path, 0) != 0 && errno == ENOENT && has_data(mp3_path)) {
                fprintf(stderr, translate_message("%s: %sに戻します。\n"), mp3_path, wav_path);
                if (put_in_place(mp3_path, wav_path, 0) == STEP_ABORT) {
                    walk->aborted = 1;
                    findclose(search);
                    return 0;
                }
            }
        }
        next = take_next(search, &entry, folder);
    } while (next > 0);
    findclose(search);
    if (next < 0) {
        walk->incomplete = 1;
        return 0;
    }
    return 1;
}

// Opens the WAV search of a voice folder: 1 with its first entry in walk->file, 0 when the folder
// gives no voices.
static int open_folder(const char* folder, voice_walk* walk) {
    if (!restore_lone_mp3s(folder, walk)) return 0;
    char pattern[260];
    int n = snprintf(pattern, sizeof pattern, "%s\\*.wav", folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return 0;
    errno = 0;
    walk->files = findfirst(pattern, &walk->file);
    if (walk->files != -1) {
        walk->converted = 1;
        return 1;
    }
    if (search_broke_off()) {
        report_broken_search(folder);
        walk->incomplete = 1;
    } else {
        fprintf(stderr, translate_message("%s: wavファイルがありません。\n"), folder);
    }
    return 0;
}

// The next voice of the tree, in search order, folder by folder: 1 with its path, 0 at the end.
static int next_voice(voice_walk* walk, char* wav_path, size_t room) {
    for (;;) {
        if (walk->aborted) return 0;
        if (walk->files != -1) {
            int n = snprintf(wav_path, room, "%s\\%s", walk->folder.name, walk->file.name);
            int fits = n >= 0 && static_cast<size_t>(n) < room;
            if (!fits) {
                fprintf(stderr, translate_message("%s\\%s: パスが長すぎます。\n"), walk->folder.name, walk->file.name);
                walk->too_long = 1;
            }
            int next = take_next(walk->files, &walk->file, walk->folder.name);
            if (next <= 0) {
                findclose(walk->files);
                walk->files = -1;
                if (next < 0) walk->incomplete = 1;
            }
            if (fits) return 1;
            continue;
        }
        if (walk->folders == -1) return 0;
        if (walk->folder_taken) {
            int next = take_next(walk->folders, &walk->folder, nullptr);
            if (next <= 0) {
                findclose(walk->folders);
                walk->folders = -1;
                if (next < 0) walk->incomplete = 1;
                return 0;
            }
        }
        walk->folder_taken = 1;
        if (walk->folder.name[0] == '.' || !(walk->folder.attrib & ATTR_FOLDER)) continue;
        open_folder(walk->folder.name, walk);
    }
}

// Abort or Cancel: no voice that is not settled yet changes. Its encoder is ended and what it
// wrote removed, so the files are those a run with one encoder leaves when stopped at the same voice
// (what cannot be removed now is removed by the next run before it encodes the voice).
static void abandon_voices(std::deque<voice_job>* queue) {
    for (voice_job& job : *queue) {
        if (job.program) end_program(job.program);
        job.program = 0;
        remove_file(job.mp3_path);
    }
    queue->clear();
}

// Ends the encoders that have run past their time; their voices count as failed.
static void end_overdue(std::deque<voice_job>* queue, int* running) {
    uint64_t now = clock_ms();
    for (voice_job& job : *queue) {
        if (job.program == 0 || job.deadline > now) continue;
        end_program(job.program);
        job.program = 0;
        job.status = 1;
        job.timed_out = 1;
        --*running;
    }
}

// How long to wait for an encoder to end: until the nearest time limit, and never so long that
// Cancel goes unseen.
static unsigned long wait_slice(const std::deque<voice_job>& queue) {
    uint64_t now = clock_ms();
    uint64_t slice = 250;
    for (const voice_job& job : queue)
        if (job.program != 0) slice = job.deadline <= now ? 0 : std::min(slice, job.deadline - now);
    return static_cast<unsigned long>(slice);
}

// Converts every voice of the walk with up to jobs encoders at once. Finished voices are settled
// in voice order; a later voice waits, its encoder ended, until the ones before it are settled. The
// command line shown is always the one of the voice waited for, the oldest unsettled one, so the
// output is the same whatever the number of encoders.
static void convert_voices(voice_walk* walk, int jobs) {
    std::deque<voice_job> queue;
    int running = 0;
    bool walk_over = false;
    // Abort answered for a voice, or Cancel: every voice after it stays as it is. An Abort met by
    // the walk (walk->aborted alone) concerns a voice after every started one: those are finished.
    bool stop_now = false;
    for (;;) {
        if (progress_cancelled()) stop_now = true;
        if (stop_now) {
            walk->aborted = 1;
            abandon_voices(&queue);
            return;
        }
        while (!queue.empty() && queue.front().program == 0) {
            voice_job& front = queue.front();
            if (!front.shown) show_command(&front);
            if (front.timed_out)
                notice("%s: エンコーダが%lu秒たっても終わらないので止めました。", front.wav_path,
                       static_cast<unsigned long>(encoder_time_limit(front.wav_path) / 1000));
            int step = finish_voice(&front, walk->aborted);
            if (step == STEP_RUNNING) {
                ++running;
                break;
            }
            // The voice answered Abort is abandoned with the rest: what its encoder left goes too.
            if (step == STEP_ABORT) {
                stop_now = true;
                break;
            }
            step_conversion_progress(front.wav_path);
            queue.pop_front();
        }
        if (stop_now) continue;
        if (!queue.empty() && !queue.front().shown) show_command(&queue.front());
        // A voice held for its question blocks the start of others: with one encoder the next
        // command line must not come before the answer.
        while (!walk->aborted && !walk_over && running < jobs && queue.size() < 2 * static_cast<size_t>(jobs) &&
               (queue.empty() || queue.front().program != 0)) {
            voice_job job;
            job.shown = 0;
            if (!next_voice(walk, job.wav_path, sizeof job.wav_path)) {
                walk_over = true;
                break;
            }
            int step = start_voice(&job, &walk->too_long, &walk->damaged, walk->folder_had_mp3s, queue.empty());
            if (step == STEP_ABORT) walk->aborted = 1;
            if (step == STEP_RUNNING) ++running;
            if (step == STEP_RUNNING || step == STEP_FAILED) queue.push_back(job);
            else step_conversion_progress(job.wav_path);
        }
        if (queue.empty()) {
            if (walk_over || walk->aborted) return;
            continue;
        }
        if (queue.front().program == 0) continue;
        int status = 1;
        long ended = wait_program(&status, wait_slice(queue));
        if (ended == 0) {
            end_overdue(&queue, &running);
            continue;
        }
        for (voice_job& job : queue) {
            // When the wait itself fails, every running encoder counts as failed.
            if (job.program == 0 || (ended >= 0 && job.program != ended)) continue;
            if (ended < 0) end_program(job.program);
            job.program = 0;
            job.status = ended >= 0 ? status : 1;
            --running;
        }
    }
}

static char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

static bool same_text(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// A name plovenak gives a voice of folder: "Z", the folder's name, five digits, ".WAV".
static bool is_voice_name(const char* name, const char* folder) {
    if (strlen(name) != 13 || strlen(folder) != 3 || lower(name[0]) != 'z' || !same_text(name + 1, folder, 3) ||
        !same_text(name + 9, ".wav", 4))
        return false;
    for (int i = 4; i < 9; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

// A folder that is not plovenak's koewav - a copy of the game's music, any folder of three-letter
// folders of WAV files - is converted only after the player says so. 0 when the answer is No.
static int confirm_folder() {
    char here[260] = "";
    const char* name = "";
    if (current_folder(here, sizeof here) == 0) {
        const char* slash = strrchr(here, '\\');
        name = slash ? slash + 1 : here;
    }
    bool like_koewav = strlen(name) == 6 && same_text(name, "koewav", 6);
    unsigned long wavs = 0;
    find_entry folder;
    intptr_t folders = findfirst("???", &folder);
    if (folders != -1) {
        do {
            if (folder.name[0] == '.' || !(folder.attrib & ATTR_FOLDER)) continue;
            char pattern[270];
            snprintf(pattern, sizeof pattern, "%s\\*.wav", folder.name);
            find_entry file;
            intptr_t files = findfirst(pattern, &file);
            if (files == -1) continue;
            do {
                ++wavs;
                if (!is_voice_name(file.name, folder.name)) like_koewav = false;
            } while (findnext(files, &file) == 0);
            findclose(files);
        } while (findnext(folders, &folder) == 0);
        findclose(folders);
    }
    if (like_koewav || wavs == 0) return 1;
    return ask_yes_no("このフォルダ（%s）はplovenakで作成されたkoewavフォルダには見えません。\n"
                      "続けると、中の%lu個のWAVファイルをMP3で置き換えます。元のWAVファイルは残りません。\n"
                      "変換しますか？",
                      here, wavs) == ANSWER_YES;
}

int run_drusel(int jobs) {
    // The game folder holds the game's own WAV music, which must never be converted or removed.
    errno = 0;
    if (file_access("GAMEEXE.INI", 0) == 0) {
        error_box("GAMEEXE.INIのあるフォルダでは実行できません。plovenakで作成されたkoewavフォルダで実行してください。");
        return 1;
    }
    find_encoder();
    // The system runs a batch file through the command interpreter whatever it is given, and a
    // voice's name would be read there as commands.
    if (is_batch_file(encoder_path)) {
        error_box("エンコーダ %s はバッチファイルです。バッチファイルでは音声の名前がコマンドとして読まれるおそれがあるため、"
                  "使えません。SMX_Pathにはエンコーダの.exeファイルを指定してください。",
                  encoder_path);
        return 1;
    }
    if (!confirm_folder()) return 1;
    voice_walk walk;
    memset(&walk, 0, sizeof walk);
    walk.files = -1;
    errno = 0;
    walk.folders = findfirst("???", &walk.folder);
    if (walk.folders == -1 && search_broke_off()) {
        report_broken_search(nullptr);
        return 1;
    }
    begin_conversion_progress();
    convert_voices(&walk, jobs < 1 ? 1 : jobs);
    if (walk.files != -1) findclose(walk.files);
    if (walk.folders != -1) findclose(walk.folders);
    // A voice folder whose search broke off may hold voices that were never converted, and a
    // voice skipped for its length was never converted either: the run must not end as a success.
    int status = walk.aborted || walk.incomplete || walk.too_long || walk.damaged ? 1 : 0;
    if (!status && !walk.converted) {
        error_box("plovenakで作成されたkoewavフォルダで実行してください。");
        status = 1;
    }
    end_conversion_progress(status, walk.converted);
    return status;
}

int parse_jobs(int argc, const char* const* argv) {
    if (argc <= 1) return 1;
    if (strcmp(argv[1], "-j") != 0 || argc > 3) return 0;
    if (argc == 2) return count_processors();
    const char* digits = argv[2];
    int n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || n > MAX_PROGRAMS) return 0;
        n = n * 10 + (*p - '0');
    }
    return n >= 1 && n <= MAX_PROGRAMS ? n : 0;
}
