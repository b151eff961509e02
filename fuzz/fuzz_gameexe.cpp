// Fuzz target: a GAMEEXE.INI and the NWA/WAV headers its tracks point at, through the whole
// rewriting of both engines (rewrite_gameexe on the program's own text streams). The output is
// walked piece by piece against the C library's sscanf, which defines how a line fits a rule:
// every line that fits no rule is copied byte for byte, every rule line becomes its fixed text,
// and every "#DSTRACK" entry gets a well-formed "#CDTRACK" line and its track table line.
//
// Input: byte 0 = flags (bit 0 RealLive, else AVG32; bit 1 the game key holds BGM_FOLDER "bgm";
// bits 2-7 three answers of two bits for the abort/retry/ignore boxes: abort, retry, ignore, none),
// then eight header slots of 45 bytes (a length byte - 0 to 44 that many bytes, 45 to 199 all 44,
// 200 and up no file - and 44 header bytes) for a.nwa, a.wav, b.nwa ... d.wav, then the INI text.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "configurator/engine.h"
#include "configurator/gameexe.h"
#include "configurator/track_timing.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"

namespace {

constexpr size_t SLOTS = 8, SLOT_SIZE = 1 + 44, PREFIX = 1 + SLOTS * SLOT_SIZE;
const char* const SLOT_NAMES[SLOTS] = {"a.nwa", "a.wav", "b.nwa", "b.wav", "c.nwa", "c.wav", "d.nwa", "d.wav"};

std::string slot_files[SLOTS];   // what each file holds now ("<missing>" when absent)
int store_state = -1;            // whether the store written holds BGM_FOLDER

void set_up_once() {
    static bool done = false;
    if (done) return;
    done = true;
    const std::string& dir = scratch_dir();
    mkdir((dir + "/BGM").c_str(), 0755);
    setenv("VNAUDIO_REGISTRY", (dir + "/registry.reg").c_str(), 1);
    for (std::string& f : slot_files) f = "<unknown>";
}

void lay_out_files(const uint8_t* prefix) {
    for (size_t k = 0; k < SLOTS; ++k) {
        const uint8_t* slot = prefix + 1 + k * SLOT_SIZE;
        std::string want = slot[0] >= 200 ? "<missing>"
                                          : std::string(reinterpret_cast<const char*>(slot + 1), slot[0] < 45 ? slot[0] : 44);
        if (want == slot_files[k]) continue;
        std::string path = std::string("BGM/") + SLOT_NAMES[k];
        if (want == "<missing>") unlink(path.c_str());
        else put_file(path, want);
        slot_files[k] = want;
    }
    int with_folder = (prefix[0] >> 1) & 1;
    if (with_folder != store_state) {
        put_file("registry.reg", with_folder ? "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\fuzz]\r\n\"BGM_FOLDER\"=\"bgm\"\r\n"
                                             : "REGEDIT4\r\n");
        store_state = with_folder;
    }
}

std::string answers_of(uint8_t flags) {
    std::string answers;
    for (int q = 0; q < 3; ++q) {
        int code = (flags >> (2 + 2 * q)) & 3;
        if (code == 3) break;
        answers += code == 0 ? "a\n" : code == 1 ? "r\n" : "i\n";
    }
    return answers;
}

// What a text stream wrote back into the text it was given: every "\n" was stored as CR LF.
std::string undo_crlf(const std::string& disk) {
    std::string out;
    for (size_t i = 0; i < disk.size(); ++i) {
        if (disk[i] == '\r' && i + 1 < disk.size() && disk[i + 1] == '\n') continue;
        out.push_back(disk[i]);
    }
    return out;
}

bool fits_32(long long v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Which rule a piece fits, by sscanf itself; the fields go to the out parameters.
enum rule { NONE, MUSIC_TYPE, KOE_DOUBLE_PAC, SYSCOM, BGM_MODE, CDDA, DSTRACK };

struct fields {
    char text[LINE_SIZE];
    long long start, end, third;
    char file_name[LINE_SIZE], track_name[LINE_SIZE];
};

rule rule_of(const char* line, int system, fields* f) {
    long long n;
    if (system == AVG32) {
        if (sscanf(line, "#MUSIC_TYPE = %lld", &n) == 1) return MUSIC_TYPE;
        if (sscanf(line, "#KOE_DOUBLE_PAC = %lld", &n) == 1) return KOE_DOUBLE_PAC;
    } else {
        if (sscanf(line, "#SYSCOM.011 = N : \"%1023[^\"]\"", f->text) == 1 && strlen(f->text) < SETTING_TEXT_SIZE)
            return SYSCOM;
        if (sscanf(line, "#BGM_MODE = %lld", &n) == 1) return BGM_MODE;
        if (sscanf(line, "#CDDA_%3s_SETUP_NEED = %lld", f->text, &n) == 2) return CDDA;
    }
    if (sscanf(line, "#DSTRACK = %lld - %lld - %lld = \"%1023[^\"]\" = \"%1023[^\"]\"", &f->start, &f->end, &f->third,
               f->file_name, f->track_name) == 5 &&
        fits_32(f->start) && fits_32(f->end) && fits_32(f->third) && strlen(f->file_name) < TRACK_NAME_SIZE &&
        strlen(f->track_name) < TRACK_NAME_SIZE)
        return DSTRACK;
    return NONE;
}

struct walker {
    const std::string& out;
    size_t at;
    bool expect(const std::string& s) {
        if (out.compare(at, s.size(), s) != 0) return false;
        at += s.size();
        return true;
    }
    // An optionally signed decimal printed with at least two characters.
    bool number(long* value) {
        size_t start = at;
        bool negative = at < out.size() && out[at] == '-';
        if (negative) ++at;
        size_t digits = at;
        long v = 0;
        while (at < out.size() && out[at] >= '0' && out[at] <= '9' && at - digits < 12) v = v * 10 + (out[at++] - '0');
        if (at == digits || at - start < 2) return false;
        *value = negative ? -v : v;
        return true;
    }
    // "TT:MM:SS:FF" for position on track.
    bool time_code(long long position, int track) {
        char tt[16];
        snprintf(tt, sizeof tt, "%02d:", track);
        long m, s, f;
        if (!expect(tt) || !number(&m) || !expect(":") || !number(&s) || !expect(":") || !number(&f)) return false;
        if (s <= -60 || s >= 60 || f <= -75 || f >= 75) return false;
        if (position == 0) return m == 0 && s == 0 && f == 0;
        if (position > 0) return m >= 0 && s >= 0 && f >= 0;
        return m <= 0 && s <= 0 && f <= 0;
    }
};

std::vector<std::string> pieces_of(const char* path) {
    std::vector<std::string> pieces;
    FILE* in = open_file(path, "rt");
    if (!in) fuzz_fail("cannot open %s again", path);
    char line[LINE_SIZE];
    size_t length;
    while ((length = read_line(in, line)) > 0) pieces.emplace_back(line, length);
    fclose(in);
    return pieces;
}

void check_rewriting(const uint8_t* data, size_t size) {
    uint8_t prefix[PREFIX] = {};
    memcpy(prefix, data, size < PREFIX ? size : PREFIX);
    const int system = (prefix[0] & 1) ? REALLIVE : AVG32;
    lay_out_files(prefix);
    if (size > PREFIX) put_file("GAMEEXE.INI", data + PREFIX, size - PREFIX);
    else put_file("GAMEEXE.INI", "");

    last_rate = START_RATE;
    feed_answers(answers_of(prefix[0]));
    FILE* input = open_file("GAMEEXE.INI", "rt");
    FILE* output = open_file("new.ini", "wt");
    FILE* table = open_file("table.ini", "wt");
    if (!input || !output || !table) fuzz_fail("cannot open the streams");
    int result = rewrite_gameexe(input, output, table, system);
    fclose(input);
    fclose(output);
    fclose(table);
    if (result != 0 && result != 1) fuzz_fail("rewrite_gameexe answered %d", result);

    const std::string out = undo_crlf(get_file("new.ini"));
    const std::string table_text = undo_crlf(get_file("table.ini"));
    std::vector<std::string> pieces = pieces_of("GAMEEXE.INI");

    static fields f;
    // The music folder: the game key's BGM_FOLDER when the first "#REGNAME" line names that key.
    std::string folder = "BGM";
    for (const std::string& piece : pieces) {
        if (sscanf(piece.c_str(), "#REGNAME = \"%1023[^\"]\"", f.text) == 1 && strlen(f.text) < REGNAME_SIZE) {
            if (store_state && strcasecmp(f.text, "fuzz") == 0) folder = "bgm";
            break;
        }
    }

    walker w{out, 0};
    std::string expected_table;
    int track = FIRST_TRACK;
    bool stopped = false;
    for (size_t k = 0; k < pieces.size() && !stopped; ++k) {
        const std::string& piece = pieces[k];
        bool ok = true;
        switch (rule_of(piece.c_str(), system, &f)) {
        case NONE: ok = w.expect(piece); break;
        case MUSIC_TYPE: ok = w.expect("#MUSIC_TYPE = 003\n"); break;
        case KOE_DOUBLE_PAC: ok = w.expect("#KOE_DOUBLE_PAC = 000\n"); break;
        case SYSCOM: ok = w.expect(std::string("#SYSCOM.011 = U:\"") + f.text + "\"\n"); break;
        case BGM_MODE: ok = w.expect("#BGM_MODE = 1\n"); break;
        case CDDA: ok = w.expect(std::string("#CDDA_") + f.text + "_SETUP_NEED = 0\n"); break;
        case DSTRACK: {
            if (system == REALLIVE) ok = w.expect(piece) && (piece.back() == '\n' || w.expect("\n"));
            bool whole = f.end == WHOLE_TRACK_END;
            bool whole_file = system == REALLIVE && f.start == 0 && whole && f.third == 0;
            if (ok && !whole_file && result == 0 && w.at == out.size()) {
                stopped = true;   // the track's timing stopped the rewriting here
                break;
            }
            size_t cd_start = w.at;
            ok = ok && w.expect("#CDTRACK = ");
            if (ok && whole_file) {
                char codes[64];
                snprintf(codes, sizeof codes, "%02d:00:00:00 - 00:00:00:00 - 00:00:00:00", track);
                ok = w.expect(codes);
            } else if (ok) {
                ok = w.time_code(f.start, track) && w.expect(" - ") &&
                     (whole && system == REALLIVE ? w.expect("00:00:00:00") : w.time_code(whole ? 1 : f.end, track)) &&
                     w.expect(" - ") && w.time_code(f.third, track);
            }
            ok = ok && w.expect(std::string(" = \"") + f.track_name + "\"\n");
            expected_table += folder + "\\" + f.file_name + ".wav\n";
            ++track;
            // The entry's very own "#CDTRACK" line, left by an earlier run, is not written twice.
            if (ok && k + 1 < pieces.size()) {
                std::string cd = out.substr(cd_start, w.at - cd_start - 1), next = pieces[k + 1];
                if (!next.empty() && next.back() == '\n') next.pop_back();
                if (next == cd) ++k;
            }
            break;
        }
        }
        if (!ok)
            fuzz_fail("piece %zu of %zu (%zu bytes, starting \"%.40s\") is not in the output as its rule says; output at %zu of %zu",
                      k, pieces.size(), piece.size(), piece.c_str(), w.at, out.size());
    }
    if (result == 0 && !stopped) fuzz_fail("the rewriting failed without a track that stopped it");
    if (w.at != out.size()) fuzz_fail("%zu bytes of output beyond what the input gives", out.size() - w.at);
    if (table_text != expected_table)
        fuzz_fail("track table of %zu bytes, expected %zu: \"%.80s\"", table_text.size(), expected_table.size(),
                  table_text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    set_up_once();
    enter_scratch();
    check_rewriting(data, size);
    leave_scratch();
    return 0;
}
