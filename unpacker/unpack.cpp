// The voice unpacker's main flow. Every archive's header and index is read, and what the run will
// write added up, before the game is changed at all: an archive that cannot be unpacked, or a
// disk that cannot hold the voices, stops the run with the game as it was.
#include "unpacker/unpack.h"

#include <algorithm>
#include <atomic>
#include <new>
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

// Each voice is written in a folder of its own inside koewav and moved to its name once whole. On
// a system that compares every new name with all the names of its folder in any letter case
// (Windows over a case-sensitive disk, as under Wine), a name made in this nearly empty folder
// costs next to nothing, so the archive's growing folder is looked through once per voice, not
// twice. Its name is no archive code (the MP3 converter takes only three-character folders), and
// it holds at most the one voice being written.
static const char WORK_FOLDER[] = "~unpacking";

// Files take whole clusters; 4 KiB is the common cluster of the disks games are installed on.
static constexpr uint64_t CLUSTER = 4096;

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

static uint64_t on_disk(uint64_t bytes) { return (bytes + CLUSTER - 1) / CLUSTER * CLUSTER; }

static void report_read_failure(FILE* archive, const char* archive_path) {
    if (ferror(archive))
        error_box("%sの読み込みに失敗しました: %s\n何も変更していません。", archive_path, strerror(errno));
    else
        error_box("%sは壊れています。ファイルが途中で切れています。\n何も変更していません。", archive_path);
}

void free_archive_scan(archive_scan* scan) {
    free(scan->entries);
    free(scan->fates);
    free(scan->wav_sizes);
    scan->entries = nullptr;
    scan->fates = nullptr;
    scan->wav_sizes = nullptr;
}

// Entry numbers in the order of their voices' place in the file: entries that share a voice come
// together and are measured once (an index of 65,536 entries naming one long voice reads its size
// table once), and the archive is read front to back.
static const koe_entry* sort_entries;
static int by_place(const void* a, const void* b) {
    const koe_entry& x = sort_entries[*static_cast<const int32_t*>(a)];
    const koe_entry& y = sort_entries[*static_cast<const int32_t*>(b)];
    if (x.offset != y.offset) return x.offset < y.offset ? -1 : 1;
    if (x.block_count != y.block_count) return x.block_count < y.block_count ? -1 : 1;
    return 0;
}

static unsigned char size_table[2 * 65535];
static unsigned char block_bytes[65535];
static unsigned char samples_scratch[4 * 65535];

// Measures every voice: its size table must lie inside the file (else the index is impossible and
// the scan answers 0 after a message); a voice whose blocks run past the end is marked broken.
// With exact, coded blocks are read and their samples counted; else a coded block counts as many
// samples as it has nibbles, the most it can give.
static int measure_voices(FILE* archive, const char* archive_path, archive_scan* scan, uint64_t file_size,
                          bool exact) {
    int32_t count = scan->header.entry_count;
    int32_t* order = static_cast<int32_t*>(malloc(sizeof(int32_t) * static_cast<size_t>(count ? count : 1)));
    if (!order) {
        error_box("%sの索引を読むメモリが足りません。\n何も変更していません。", archive_path);
        return 0;
    }
    for (int32_t k = 0; k < count; ++k) order[k] = k;
    sort_entries = scan->entries;
    qsort(order, static_cast<size_t>(count), sizeof *order, by_place);

    int32_t k = 0;
    while (k < count) {
        const koe_entry& entry = scan->entries[order[k]];
        uint64_t table_end = uint64_t{entry.offset} + 2 * uint64_t{entry.block_count};
        if (table_end > file_size) {
            error_box("%sは壊れています。音声%05uのデータがファイルに収まりません。\n何も変更していません。",
                      archive_path, unsigned{entry.id});
            free(order);
            return 0;
        }
        if (fseek(archive, static_cast<long>(entry.offset), SEEK_SET) != 0 ||
            fread(size_table, 2, entry.block_count, archive) != entry.block_count) {
            report_read_failure(archive, archive_path);
            free(order);
            return 0;
        }
        uint64_t end = table_end, samples = 0;
        for (unsigned b = 0; b < entry.block_count && end <= file_size; ++b) {
            unsigned size = read_u16le(size_table + 2 * b);
            end += size;
            if (!exact || size == 0 || end > file_size) {
                samples += max_block_samples(size);
            } else if (size == KOE_RAW_BLOCK) {
                samples += KOE_RAW_BLOCK;
                if (fseek(archive, static_cast<long>(size), SEEK_CUR) != 0) {
                    report_read_failure(archive, archive_path);
                    free(order);
                    return 0;
                }
            } else if (fread(block_bytes, 1, size, archive) == size) {
                samples += decode_block(block_bytes, size, samples_scratch);
            } else {
                report_read_failure(archive, archive_path);
                free(order);
                return 0;
            }
        }
        bool broken = end > file_size;
        // Every entry of the same place and length is the same voice.
        int32_t same = k;
        for (; same < count && by_place(&order[k], &order[same]) == 0; ++same) {
            scan->wav_sizes[order[same]] = WAV_HEADER_SIZE + 2 * samples;
            if (broken) scan->fates[order[same]] = VOICE_BROKEN;
        }
        k = same;
    }
    free(order);
    return 1;
}

int scan_archive(FILE* archive, const char* archive_path, archive_scan* scan) {
    scan->entries = nullptr;
    scan->fates = nullptr;
    scan->wav_sizes = nullptr;
    unsigned char bytes[KOE_HEADER_SIZE] = {};
    size_t got = fread(bytes, 1, sizeof bytes, archive);
    scan->header = parse_koe_header(bytes);
    // The magic's terminator is part of it: a file that ends within it is not an archive.
    if (got < 7 || !is_koepac(scan->header)) {
        if (ferror(archive))
            report_read_failure(archive, archive_path);
        else
            error_box("%sはKOE形式ではないようです。\n何も変更していません。", archive_path);
        return 0;
    }
    if (got < sizeof bytes) {
        report_read_failure(archive, archive_path);
        return 0;
    }

    long end = -1;
    if (fseek(archive, 0, SEEK_END) == 0) end = ftell(archive);
    if (end < 0) {
        error_box("%sの読み込みに失敗しました: %s\n何も変更していません。", archive_path, strerror(errno));
        return 0;
    }
    uint64_t file_size = static_cast<uint64_t>(end);
    // Offsets are taken as seek positions, which the runtime holds in a long.
    if (file_size > 0x7FFFFFFFu) file_size = 0x7FFFFFFFu;

    int32_t count = scan->header.entry_count;
    // Ids are 16 bits wide: more entries cannot name distinct voices, and the index of such a
    // count is never read (it could claim gigabytes of memory).
    if (count > KOE_MAX_ENTRIES) {
        error_box("%sは壊れています。索引の項目数%ldは%ldを超えています。\n何も変更していません。", archive_path,
                  static_cast<long>(count), static_cast<long>(KOE_MAX_ENTRIES));
        return 0;
    }
    if (count < 0 || KOE_HEADER_SIZE + uint64_t{KOE_ENTRY_SIZE} * static_cast<uint32_t>(count) > file_size) {
        error_box("%sは壊れています。索引の項目数%ldがファイルに収まりません。\n何も変更していません。", archive_path,
                  static_cast<long>(count));
        return 0;
    }
    if (count == 0) return 1;

    size_t index_size = KOE_ENTRY_SIZE * static_cast<size_t>(count);
    unsigned char* raw = static_cast<unsigned char*>(malloc(index_size));
    scan->entries = static_cast<koe_entry*>(malloc(sizeof(koe_entry) * static_cast<size_t>(count)));
    scan->fates = static_cast<voice_fate*>(calloc(static_cast<size_t>(count), sizeof(voice_fate)));
    scan->wav_sizes = static_cast<uint64_t*>(calloc(static_cast<size_t>(count), sizeof(uint64_t)));
    if (!raw || !scan->entries || !scan->fates || !scan->wav_sizes) {
        error_box("%sの索引を読むメモリが足りません。\n何も変更していません。", archive_path);
        free(raw);
        free_archive_scan(scan);
        return 0;
    }
    if (fseek(archive, static_cast<long>(KOE_HEADER_SIZE), SEEK_SET) != 0 ||
        fread(raw, 1, index_size, archive) != index_size) {
        report_read_failure(archive, archive_path);
        free(raw);
        free_archive_scan(scan);
        return 0;
    }
    for (int32_t k = 0; k < count; ++k) scan->entries[k] = parse_koe_entry(raw + KOE_ENTRY_SIZE * k);
    free(raw);
    if (!measure_voices(archive, archive_path, scan, file_size, false)) {
        free_archive_scan(scan);
        return 0;
    }

    // Two entries of one id write one file: the later whole voice is the one written, as the
    // game's own reading of the index would find it last.
    static unsigned char seen[65536 / 8];
    memset(seen, 0, sizeof seen);
    for (int32_t k = count - 1; k >= 0; --k) {
        unsigned id = scan->entries[k].id;
        if (scan->fates[k] == VOICE_BROKEN) continue;
        if (seen[id / 8] & (1u << (id % 8))) scan->fates[k] = VOICE_REPLACED;
        seen[id / 8] |= static_cast<unsigned char>(1u << (id % 8));
    }
    return 1;
}

int read_archive_index(FILE* archive, const char* archive_path, koe_header* header, koe_entry** entries) {
    archive_scan scan;
    if (!scan_archive(archive, archive_path, &scan)) return 0;
    *header = scan.header;
    for (int32_t k = 0; k < scan.header.entry_count; ++k) {
        if (scan.fates[k] != VOICE_WRITE) {
            free_archive_scan(&scan);
            return 0;
        }
    }
    *entries = scan.entries;
    scan.entries = nullptr;
    free_archive_scan(&scan);
    return 1;
}

static void free_plan(unpack_plan* plan) {
    for (size_t a = 0; a < plan->archive_count; ++a) free_archive_scan(&plan->archives[a]);
    free(plan->archives);
    plan->archives = nullptr;
    plan->archive_count = 0;
}

// The search ends with errno ENOENT, or leaves errno alone where the system does not set it; any
// other error number means it failed.
static bool search_failed() { return errno != 0 && errno != ENOENT; }

// Opens and scans one archive found in old_folder (as seen from the current folder, the game's).
static int scan_one(const char* old_folder, const char* name, archive_scan* scan) {
    char archive_path[600];
    snprintf(archive_path, sizeof archive_path, "%s\\%s", old_folder, name);
    snprintf(scan->name, sizeof scan->name, "%s", name);
    if (!take_archive_code(name, scan->code)) {
        error_box("%sの名前からフォルダ名を作れません。\n何も変更していません。", archive_path);
        return 0;
    }
    FILE* archive = open_file(archive_path, "rb");
    if (!archive) {
        error_box("%sをオープンできません。\n何も変更していません。", archive_path);
        return 0;
    }
    setvbuf(archive, nullptr, _IOFBF, 1 << 16);
    int ok = scan_archive(archive, archive_path, scan);
    fclose(archive);
    return ok;
}

// Reads every archive of old_folder into plan, in the order of the search. 1, or 0 after a message.
static int scan_voice_folder(const char* old_folder, unpack_plan* plan) {
    memset(plan, 0, sizeof *plan);
    char pattern[320];
    snprintf(pattern, sizeof pattern, "%s\\Z???.KOE", old_folder);
    find_entry found;
    errno = 0;
    find_state* search = find_first_file(pattern, &found);
    if (!search) {
        if (search_failed())
            error_box("フォルダ %s を検索できません: %s\n何も変更していません。", old_folder, strerror(errno));
        else
            error_box("フォルダ %s 内にKOEファイルが見つかりません。\n何も変更していません。", old_folder);
        return 0;
    }
    size_t room = 0;
    int ok = 1;
    for (;;) {
        if (plan->archive_count == room) {
            room = room ? 2 * room : 64;
            archive_scan* grown = static_cast<archive_scan*>(realloc(plan->archives, room * sizeof(archive_scan)));
            if (!grown) {
                error_box("フォルダ %s のKOEファイルを読むメモリが足りません。\n何も変更していません。", old_folder);
                ok = 0;
                break;
            }
            plan->archives = grown;
        }
        if (!scan_one(old_folder, found.name, &plan->archives[plan->archive_count])) {
            ok = 0;
            break;
        }
        ++plan->archive_count;
        errno = 0;
        if (!find_next_file(search, &found)) {
            // A search that breaks off must not pass for the end of the list: the archives after
            // it would go missing from a run that looks complete.
            if (search_failed()) {
                error_box("フォルダ %s を検索できません: %s\n何も変更していません。", old_folder, strerror(errno));
                ok = 0;
            }
            break;
        }
    }
    find_close(search);
    if (!ok) {
        free_plan(plan);
        return 0;
    }

    for (size_t a = 0; a < plan->archive_count; ++a) {
        const archive_scan& scan = plan->archives[a];
        for (int32_t k = 0; k < scan.header.entry_count; ++k) {
            if (scan.fates[k] == VOICE_WRITE) ++plan->voices;
            if (scan.fates[k] == VOICE_BROKEN) ++plan->broken;
            if (scan.fates[k] != VOICE_REPLACED) continue;
            if (plan->repeated++ == 0) {
                snprintf(plan->first_odd_archive, sizeof plan->first_odd_archive, "%s\\%s", old_folder, scan.name);
                plan->first_repeated_id = scan.entries[k].id;
            }
            notice("%s\\%s: 音声%05uが索引に二度あります。後の項目の音声を書き出します。", old_folder, scan.name,
                   unsigned{scan.entries[k].id});
        }
    }
    return 1;
}

// The voice's WAV path inside koewav (from_game: seen from the game folder).
static void form_voice_path(const archive_scan& scan, int32_t k, bool from_game, char* out, size_t room) {
    snprintf(out, room, "%s%s\\Z%s%05u.WAV", from_game ? "koewav\\" : "", scan.code, scan.code,
             unsigned{scan.entries[k].id});
}

// Marks the voices whose WAV is in koewav already (a whole voice: a voice takes its .WAV name only
// complete) and adds up the space the others and their folders need.
static void count_missing(unpack_plan* plan, bool look) {
    plan->present = 0;
    plan->bytes = CLUSTER;
    for (size_t a = 0; a < plan->archive_count; ++a) {
        archive_scan& scan = plan->archives[a];
        plan->bytes += CLUSTER;
        for (int32_t k = 0; k < scan.header.entry_count; ++k) {
            if (scan.fates[k] != VOICE_WRITE && scan.fates[k] != VOICE_PRESENT) continue;
            char path[64];
            form_voice_path(scan, k, true, path, sizeof path);
            scan.fates[k] = look && file_exists(path) ? VOICE_PRESENT : VOICE_WRITE;
            if (scan.fates[k] == VOICE_PRESENT)
                ++plan->present;
            else
                plan->bytes += on_disk(scan.wav_sizes[k]);
        }
    }
}

// The bounds of coded blocks replaced by their exact sizes, read from the archives again.
static int count_exactly(const char* old_folder, unpack_plan* plan) {
    for (size_t a = 0; a < plan->archive_count; ++a) {
        archive_scan& scan = plan->archives[a];
        if (scan.header.entry_count == 0) continue;
        char archive_path[600];
        snprintf(archive_path, sizeof archive_path, "%s\\%s", old_folder, scan.name);
        FILE* archive = open_file(archive_path, "rb");
        if (!archive) {
            error_box("%sをオープンできません。\n何も変更していません。", archive_path);
            return 0;
        }
        setvbuf(archive, nullptr, _IOFBF, 1 << 16);
        long end = -1;
        if (fseek(archive, 0, SEEK_END) == 0) end = ftell(archive);
        int ok = end >= 0 && measure_voices(archive, archive_path, &scan, static_cast<uint64_t>(end), true);
        fclose(archive);
        if (!ok) return 0;
    }
    plan->exact = true;
    return 1;
}

// Writes sizes the way a player reads them.
static void format_size(uint64_t bytes, char* out, size_t room) {
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof *units) {
        value /= 1024;
        ++unit;
    }
    snprintf(out, room, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
}

// 1 when the disk that holds folder has room for what plan still has to write; else 0 after a
// message. Bounds that do not fit are made exact first, so the run is never refused on a guess.
static int check_free_space(const char* old_folder, const char* folder, unpack_plan* plan, bool look) {
    uint64_t free_bytes = 0;
    if (free_disk_space(folder, &free_bytes) != 0) return 1;   // unknown: every write is checked anyway
    if (plan->bytes > free_bytes && !plan->exact) {
        if (!count_exactly(old_folder, plan)) return 0;
        count_missing(plan, look);
    }
    if (plan->bytes <= free_bytes) return 1;
    char needed[32], have[32];
    format_size(plan->bytes, needed, sizeof needed);
    format_size(free_bytes, have, sizeof have);
    error_box("音声を展開するには%sの空きが必要ですが、koewavを置くディスクには%sしか空いていません。\n"
              "空きを作ってから、もう一度実行してください。何も変更していません。",
              needed, have);
    return 0;
}

// What the run has done so far, for the box of a run that stops after the switch.
struct unpack_tally {
    unsigned long written;
    unsigned long skipped;
    char first_skipped[600];
    unsigned first_skipped_id;
};

// What became of a voice a thread took.
enum : uint8_t { VOICE_BEING_WRITTEN, VOICE_WRITTEN, VOICE_FAILED };

// A voice to write, and what became of it.
struct voice_job {
    int32_t entry;
    std::atomic<uint8_t> outcome;
    voice_failure failure;             // valid once the outcome is VOICE_FAILED
};

// One archive's voices, shared by the threads that write them. A thread takes the next few voices
// in the index's order (neighbours in the archive, so its stream reads on where it left off),
// decodes and writes each whole with a stream on the archive and buffers of its own, and leaves
// what became of it in outcome (and failures). Only the first thread talks to the
// user: it says what became of the voices in the index's order, whichever thread wrote them.
struct archive_work {
    const archive_scan* scan;
    bool resume;
    voice_job* jobs;                   // the voices to write, in index order
    int32_t job_count;
    int32_t batch;                     // jobs taken at a time
    std::atomic<int32_t> next;         // the next job to take
    std::atomic<bool> stop;            // take no more: a voice failed, or the user cancelled
};

// A thread takes this many neighbouring voices at a time where an archive has many, and reads them
// through a buffer that holds them all (a voice of 3 s takes about 40 KB): the reads of one voice
// then seldom cost a system call.
static constexpr int32_t VOICE_BATCH = 8;
static constexpr size_t VOICE_READ_BUFFER = 1 << 18;

struct voice_worker {
    archive_work* work;
    FILE* archive;
    voice_buffers* buffers;
    uint64_t archive_at;   // where the stream stands, UNKNOWN_PLACE when that is not known
};

// The work file of entry k, in the work folder.
static void form_work_path(const archive_scan& scan, int32_t k, char* out, size_t room) {
    snprintf(out, room, "%s\\Z%s%05u.WAV.part", WORK_FOLDER, scan.code, unsigned{scan.entries[k].id});
}

// The next jobs for a thread, [*first, *end); false when none is left or the run stops.
static bool take_jobs(archive_work* work, int32_t* first, int32_t* end) {
    if (work->stop.load(std::memory_order_relaxed)) return false;
    *first = work->next.fetch_add(work->batch);
    if (*first >= work->job_count) return false;
    *end = std::min(*first + work->batch, work->job_count);
    return true;
}

// Writes the voice of a job and leaves what became of it.
static void write_job(voice_worker* worker, int32_t job) {
    archive_work& work = *worker->work;
    const archive_scan& scan = *work.scan;
    int32_t k = work.jobs[job].entry;
    char out_path[32], part[48];
    form_voice_path(scan, k, false, out_path, sizeof out_path);
    form_work_path(scan, k, part, sizeof part);
    if (work.resume) {
        // A part left beside the voices by a run of an earlier version, which wrote them there.
        char beside[40];
        snprintf(beside, sizeof beside, "%s.part", out_path);
        remove_file(beside);
    }
    bool failed = write_voice_file(worker->buffers, out_path, part, scan.header, scan.entries[k], worker->archive,
                                   &worker->archive_at, &work.jobs[job].failure) != 0;
    if (failed) work.stop.store(true);
    work.jobs[job].outcome.store(failed ? VOICE_FAILED : VOICE_WRITTEN, std::memory_order_release);
}

static void run_helper(void* helper) {
    voice_worker* worker = static_cast<voice_worker*>(helper);
    int32_t job, end;
    while (take_jobs(worker->work, &job, &end))
        for (; job < end && !worker->work->stop.load(std::memory_order_relaxed); ++job) write_job(worker, job);
}

// How far the first thread has told the user about an archive's voices.
struct archive_report {
    int32_t entry;
    int32_t job;
    int32_t first_failure;   // the job, or -1
    bool stopped;            // a voice was left out when the run stopped
};

// Tells, in the index's order, what became of every voice up to the first still being written (at
// the end, when no thread writes any more: of every voice): a broken voice's notice; a written
// voice's line and step of the progress. After a failure or a cancel only the voices the other
// thread finished meanwhile are told, so the count matches what is on the disk.
static void report_finished(const archive_work& work, const char* archive_path, bool at_end, archive_report* report,
                            unpack_tally* tally) {
    const archive_scan& scan = *work.scan;
    for (; report->entry < scan.header.entry_count; ++report->entry) {
        int32_t k = report->entry;
        if (scan.fates[k] == VOICE_BROKEN && report->first_failure < 0 && !report->stopped) {
            notice("%s: 音声%05uのデータがファイルに収まりません。この音声は飛ばします。", archive_path,
                   unsigned{scan.entries[k].id});
            if (tally->skipped++ == 0) {
                snprintf(tally->first_skipped, sizeof tally->first_skipped, "%s", archive_path);
                tally->first_skipped_id = scan.entries[k].id;
            }
        }
        if (scan.fates[k] != VOICE_WRITE) continue;
        uint8_t outcome = work.jobs[report->job].outcome.load(std::memory_order_acquire);
        if (outcome == VOICE_BEING_WRITTEN && !at_end) return;
        if (outcome == VOICE_BEING_WRITTEN) {   // never taken: the run stopped before it
            report->stopped = true;
            ++report->job;
            continue;
        }
        // The line in one call: the runtime's formatted output puts it out a character at a time.
        char out_path[32], line[sizeof scan.name + sizeof out_path + 8];
        form_voice_path(scan, k, false, out_path, sizeof out_path);
        int length = snprintf(line, sizeof line, "%s -> %s\n", scan.name, out_path);
        write_output(line, static_cast<size_t>(length));
        if (outcome == VOICE_WRITTEN) {
            ++tally->written;
            step_unpack_progress(archive_path);
        } else if (report->first_failure < 0) {
            report->first_failure = report->job;
        }
        ++report->job;
    }
}

// A second thread for an archive of many voices where the system has a second processor; null
// (the first thread writes every voice) where it has not, or the thread cannot be had.
static thread_s* start_helper(const char* open_path, archive_work* work, voice_worker* helper) {
    helper->work = work;
    helper->archive_at = UNKNOWN_PLACE;
    helper->archive = nullptr;
    helper->buffers = nullptr;
    if (work->job_count < 2 || count_processors() < 2) return nullptr;
    helper->buffers = new_voice_buffers();
    helper->archive = helper->buffers ? open_file(open_path, "rb") : nullptr;
    thread_s* thread = nullptr;
    if (helper->archive) {
        setvbuf(helper->archive, nullptr, _IOFBF, VOICE_READ_BUFFER);
        thread = start_thread(run_helper, helper);
    }
    return thread;
}

static void end_helper(thread_s* thread, voice_worker* helper) {
    if (thread) join_thread(thread);
    if (helper->archive) fclose(helper->archive);
    free_voice_buffers(helper->buffers);
}

// Unpacks one scanned archive into koewav (the current folder). 0 when every voice it has to write
// is written, 1 after a message.
static int unpack_scanned(const char* old_folder, const archive_scan& scan, bool resume, unpack_tally* tally) {
    char base[300];
    resolve_voice_folder(old_folder, base, sizeof base);
    char open_path[600], archive_path[600];
    snprintf(open_path, sizeof open_path, "%s\\%s", base, scan.name);
    snprintf(archive_path, sizeof archive_path, "%s\\%s", old_folder, scan.name);

    // A run that finishes another's takes the folders that run made.
    if (make_dir(scan.code) != 0 && !(resume && errno == EEXIST)) {
        error_box("フォルダ %s を作成できません: %s", scan.code, strerror(errno));
        return 1;
    }
    int32_t count = scan.header.entry_count;
    bool any = false;
    for (int32_t k = 0; k < count && !any; ++k) any = scan.fates[k] == VOICE_WRITE || scan.fates[k] == VOICE_BROKEN;
    if (!any) return 0;

    archive_work work;
    work.scan = &scan;
    work.resume = resume;
    work.job_count = 0;
    work.batch = 1;
    work.next = 0;
    work.stop = false;
    work.jobs = new (std::nothrow) voice_job[static_cast<size_t>(count)];
    FILE* archive = work.jobs ? open_file(open_path, "rb") : nullptr;
    if (!archive) {
        if (work.jobs)
            error_box("%sをオープンできません。", archive_path);
        else
            error_box("%sを展開するメモリが足りません。", archive_path);
        delete[] work.jobs;
        return 1;
    }
    setvbuf(archive, nullptr, _IOFBF, VOICE_READ_BUFFER);
    for (int32_t k = 0; k < count; ++k) {
        if (scan.fates[k] != VOICE_WRITE) continue;
        work.jobs[work.job_count].outcome = VOICE_BEING_WRITTEN;
        work.jobs[work.job_count++].entry = k;
    }
    if (work.job_count >= 64) work.batch = VOICE_BATCH;

    voice_worker first = {&work, archive, shared_voice_buffers(), UNKNOWN_PLACE}, helper;
    thread_s* thread = start_helper(open_path, &work, &helper);
    archive_report report = {0, 0, -1, false};
    bool cancelled = false;
    int32_t job, end;
    while (take_jobs(&work, &job, &end)) {
        for (; job < end; ++job) {
            // Cancel stops between voices: the voices being written are always finished.
            if (progress_cancelled()) {
                cancelled = true;
                work.stop = true;
            }
            if (work.stop.load()) break;
            write_job(&first, job);
            report_finished(work, archive_path, false, &report, tally);
        }
    }
    end_helper(thread, &helper);
    report_finished(work, archive_path, true, &report, tally);
    fclose(archive);

    int result = cancelled ? 1 : 0;
    if (report.first_failure >= 0) {
        const voice_job& failed = work.jobs[report.first_failure];
        char out_path[32], part[48];
        form_voice_path(scan, failed.entry, false, out_path, sizeof out_path);
        form_work_path(scan, failed.entry, part, sizeof part);
        report_voice_failure(failed.failure, out_path, part, archive_path);
        result = 1;
    }
    delete[] work.jobs;
    return result;
}

// Removes the files of a work folder a run cut off left (folder: as seen from the current folder):
// the part of the voice that run was writing.
static void clear_work_folder(const char* folder) {
    char pattern[300];
    snprintf(pattern, sizeof pattern, "%s\\*", folder);
    find_entry found;
    find_state* search = find_first_file(pattern, &found);
    if (!search) return;
    do {
        if (found.attrib & ATTR_FOLDER) continue;
        char path[600];
        snprintf(path, sizeof path, "%s\\%s", folder, found.name);
        remove_file(path);
    } while (find_next_file(search, &found));
    find_close(search);
}

// Makes the work folder in the current folder (koewav), or takes the one a run cut off left.
// 1, or 0 after a message.
static int open_work_folder() {
    if (make_dir(WORK_FOLDER) == 0) return 1;
    if (errno != EEXIST) {
        error_box("フォルダ %s を作成できません: %s", WORK_FOLDER, strerror(errno));
        return 0;
    }
    clear_work_folder(WORK_FOLDER);
    return 1;
}

// The work folder goes with the run. Where it cannot (something else put a file in it), it stays:
// an empty or foreign folder beside the voices misleads neither the game nor the MP3 converter.
static void close_work_folder() { remove_dir(WORK_FOLDER); }

int unpack_archive(const char* old_folder, const char* name) {
    char base[300];
    resolve_voice_folder(old_folder, base, sizeof base);
    archive_scan scan;
    if (!scan_one(base, name, &scan)) return 1;
    unpack_tally tally = {};
    int result = 1;
    if (open_work_folder()) {
        result = unpack_scanned(old_folder, scan, false, &tally);
        close_work_folder();
    }
    free_archive_scan(&scan);
    return result != 0 || tally.skipped != 0;
}

// Everything after the switch, or after the question whether to finish: koewav, and the archives
// one after the other. Answers the exit status; a run that stops says where it leaves the game.
static int unpack_voice_folder(const char* old_folder, const unpack_plan* plan, bool resume) {
    unpack_tally tally = {};
    int failed = 0;
    if (make_dir(NEW_FOLDER) != 0 && !(resume && errno == EEXIST)) {
        error_box("フォルダ koewav を作成できません: %s", strerror(errno));
        failed = 1;
    } else if (change_dir(NEW_FOLDER) != 0) {
        // Unpacking into the game folder instead would scatter folders where the game does not look.
        error_box("フォルダ koewav に移動できません: %s", strerror(errno));
        failed = 1;
    }
    if (!failed && !open_work_folder()) failed = 1;
    if (!failed) {
        begin_unpack_progress(plan->voices, plan->present);
        for (size_t a = 0; a < plan->archive_count && !failed; ++a)
            failed = unpack_scanned(old_folder, plan->archives[a], resume, &tally);
        close_work_folder();
    }
    fflush(stdout);

    if (failed && progress_cancelled()) {
        end_unpack_progress(plan->present + tally.written, 1);
        return 1;
    }
    if (failed) {
        error_box("展開を途中で止めました。音声%lu個のうち%lu個を書き出してあります。\n"
                  "ゲームは今、音声をkoewavフォルダから読みます（まだ書き出していない音声は鳴りません）。\n"
                  "続きを展開するには、原因を取り除いてからplovenakをもう一度実行してください。"
                  "元に戻すには、koe_restore.regを取り込んでから（ダブルクリック）、koewavフォルダを削除してください。",
                  plan->voices, plan->present + tally.written);
        end_unpack_progress(plan->present + tally.written, -1);
        return 1;
    }
    if (plan->repeated)
        info_box("音声をすべて書き出しました。ただし、索引に二度ある音声番号が%lu個ありました（最初は%sの音声%05u）。"
                 "それぞれ後の項目の音声を書き出しています。",
                 plan->repeated, plan->first_odd_archive, plan->first_repeated_id);
    if (tally.skipped)
        error_box("データが壊れている音声%lu個を飛ばしました（最初は%sの音声%05u）。"
                  "ほかの音声%lu個はすべて書き出してあり、ゲームはkoewavフォルダから音声を読みます。",
                  tally.skipped, tally.first_skipped, tally.first_skipped_id, plan->voices);
    end_unpack_progress(plan->present + tally.written, 0);
    return tally.skipped ? 1 : 0;
}

// KOE_FOLDER is koewav already: a run before was cut off or has finished. The archives the restore
// file's folder holds tell which: finish the unpacking, or put the game's own folder back.
static int finish_or_restore(voice_setting* setting) {
    char old_folder[600];
    if (!read_restore_file(setting->key_path, old_folder, sizeof old_folder)) {
        error_box("%s\\KOE_FOLDERは既にkoewavを指していますが、元の値をkoe_restore.regから読めません。"
                  "何も変更していません。\n"
                  "元に戻すには、KOE_FOLDERをゲームの元の音声フォルダ名に設定し直してください。",
                  setting->key_path);
        return 1;
    }
    if (names_new_folder(old_folder)) {
        error_box("%s\\KOE_FOLDERは既にkoewavを指していて、koe_restore.regに記録された値もkoewavです。"
                  "ゲームの元の音声フォルダが分からないため、何も変更していません。",
                  setting->key_path);
        return 1;
    }
    unpack_plan plan;
    if (!scan_voice_folder(old_folder, &plan)) return 1;
    count_missing(&plan, true);

    int status = 1;
    if (plan.present < plan.voices) {
        if (ask_yes_no("KOE_FOLDERは既にkoewavを指していますが、koewavには音声%lu個のうち%lu個しかありません"
                       "（前の展開が途中で終わっています）。\n残りの%lu個を展開しますか？\n"
                       "「いいえ」なら何も変更しません。元に戻すには、koe_restore.regを取り込んでから、"
                       "koewavフォルダを削除してください。",
                       plan.voices, plan.present, plan.voices - plan.present) == ANSWER_YES &&
            check_free_space(old_folder, file_exists(NEW_FOLDER) ? NEW_FOLDER : ".", &plan, true))
            status = unpack_voice_folder(old_folder, &plan, true);
    } else if (ask_yes_no("koewavには音声が全部（%lu個）そろっています。\n"
                          "KOE_FOLDERをkoe_restore.regに記録された元の値「%s」に戻しますか？\n"
                          "「いいえ」なら何も変更しません。",
                          plan.voices, old_folder) == ANSWER_YES &&
               set_voice_folder(setting, old_folder)) {
        // A run cut off after its last voice may have left its work folder.
        char work[32];
        snprintf(work, sizeof work, "%s\\%s", NEW_FOLDER, WORK_FOLDER);
        clear_work_folder(work);
        remove_dir(work);
        info_box("KOE_FOLDERを「%s」に戻しました。koewavフォルダは削除してかまいません。", old_folder);
        status = 0;
    }
    free_plan(&plan);
    return status;
}

static int unpack_first_time(voice_setting* setting) {
    // A folder the run did not make may hold anything: unpacking would mix with it.
    if (file_exists(NEW_FOLDER)) {
        error_box("フォルダ koewav が既にあります。中身を確かめ、要らなければ削除してから、もう一度実行してください。"
                  "何も変更していません。");
        return 1;
    }
    unpack_plan plan;
    if (!scan_voice_folder(setting->value, &plan)) return 1;
    count_missing(&plan, false);
    int status = 1;
    if (check_free_space(setting->value, ".", &plan, false) && switch_voice_folder(setting))
        status = unpack_voice_folder(setting->value, &plan, false);
    free_plan(&plan);
    return status;
}

int run_unpacker() {
    voice_setting setting;
    if (!open_voice_setting(&setting)) return 1;
    build_decode_tables();
    int status = names_new_folder(setting.value) ? finish_or_restore(&setting) : unpack_first_time(&setting);
    close_voice_setting(&setting);
    return status;
}
