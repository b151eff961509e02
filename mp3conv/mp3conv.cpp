// drusel: hands every WAV of the three-character folders of koewav to the encoder and puts the
// MP3 data under the WAV file's own name. Up to a chosen number of encoders run at once; their
// results are settled strictly in voice order, so the questions come in the order of a run with one
// encoder and the same answers lead to the same files.
#include "mp3conv/mp3conv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "common/common.h"
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
        fputs(translate_message("レジストリの読みとりに失敗しました。。\n"), stderr);
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

int is_mp3_start(const unsigned char* bytes, unsigned long count) {
    if (count >= 3 && bytes[0] == 'I' && bytes[1] == 'D' && bytes[2] == '3') return 1;
    return count >= 2 && bytes[0] == 0xFF && (bytes[1] & 0xE0) == 0xE0;
}

// 1 when the file starts with MP3 data; a file that cannot be read is left to the encoder to judge.
static int holds_mp3(const char* path) {
    FILE* f = open_file(path, "rb");
    if (!f) return 0;
    unsigned char start[4];
    size_t n = fread(start, 1, sizeof start, f);
    fclose(f);
    return is_mp3_start(start, n);
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
};

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
    if (job->program > 0) return STEP_RUNNING;
    job->program = 0;
    job->status = 1;
    return STEP_FAILED;
}

// Prints the voice's command line and starts its encoder, unless the voice is passed over.
// *too_long is set when its names do not fit.
static int start_voice(voice_job* job, int* too_long, int folder_had_mp3s) {
    int n = snprintf(job->mp3_path, sizeof job->mp3_path, "%s.mp3", job->wav_path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof job->mp3_path) {
        fprintf(stderr, translate_message("%s: パスが長すぎます。\n"), job->wav_path);
        *too_long = 1;
        return STEP_DONE;
    }
    // A voice converted by an earlier run must not be encoded a second time.
    if (holds_mp3(job->wav_path)) {
        fprintf(stderr, translate_message("%s: すでにMP3データです。変換しません。\n"), job->wav_path);
        return STEP_DONE;
    }
    printf("%s -e -w %s %s\n", encoder_path, job->wav_path, job->mp3_path);
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
        if (job->status == 0 && has_data(job->mp3_path)) return put_in_place(job->mp3_path, job->wav_path, aborted);
        if (aborted) return STEP_DONE;
        int again = ask_again(
            ask_abort_retry_ignore("%s: scmpxを起動できないか、変換に失敗しました。", job->wav_path));
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

// Converts every voice of the walk with up to jobs encoders at once. Finished voices are settled
// in voice order; a later voice waits, its encoder ended, until the ones before it are settled.
static void convert_voices(voice_walk* walk, int jobs) {
    std::deque<voice_job> queue;
    int running = 0;
    bool walk_over = false;
    for (;;) {
        // Cancel in the progress window stops the run as Abort would.
        if (progress_cancelled()) walk->aborted = 1;
        while (!queue.empty() && queue.front().program == 0) {
            int step = finish_voice(&queue.front(), walk->aborted);
            if (step == STEP_RUNNING) {
                ++running;
                break;
            }
            if (step == STEP_ABORT) walk->aborted = 1;
            else step_conversion_progress(queue.front().wav_path);
            queue.pop_front();
        }
        // A voice held for its question blocks the start of others: with one encoder the next
        // command line must not come before the answer.
        while (!walk->aborted && !walk_over && running < jobs && queue.size() < 2 * static_cast<size_t>(jobs) &&
               (queue.empty() || queue.front().program != 0)) {
            voice_job job;
            if (!next_voice(walk, job.wav_path, sizeof job.wav_path)) {
                walk_over = true;
                break;
            }
            int step = start_voice(&job, &walk->too_long, walk->folder_had_mp3s);
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
        long ended = wait_any_program(&status);
        for (voice_job& job : queue) {
            // When the wait itself fails, every running encoder counts as failed.
            if (job.program == 0 || (ended >= 0 && job.program != ended)) continue;
            job.program = 0;
            job.status = ended >= 0 ? status : 1;
            --running;
        }
    }
}

int run_drusel(int jobs) {
    // The game folder holds the game's own WAV music, which must never be converted or removed.
    errno = 0;
    if (file_access("GAMEEXE.INI", 0) == 0) {
        error_box("GAMEEXE.INIのあるフォルダでは実行できません。plovenakで作成されたkoewavフォルダで実行してください。");
        return 1;
    }
    find_encoder();
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
    int status = walk.aborted || walk.incomplete || walk.too_long ? 1 : 0;
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
