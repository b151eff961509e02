// Message boxes on the terminal: the box goes to standard error as "caption: text", and a question
// reads its answer from standard input one byte at a time, so that a program started later still
// finds the rest of the input. End of input gives the safe answer. The box's CP932 text reaches the
// terminal in UTF-8, through the converting standard error of a run or converted here.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

struct box_choice {
    const char* word;
    int answer;
};

struct box_kind {
    const char* prompt;
    box_choice choices[3];
    int at_end;           // the answer when the input has ended
};

// Indexed by the button bits of the box type (MB_OK .. MB_RETRYCANCEL).
const box_kind box_kinds[] = {
    {nullptr, {{"ok", ANSWER_OK}, {nullptr, 0}, {nullptr, 0}}, ANSWER_OK},
    {"[o]k, [c]ancel? ", {{"ok", ANSWER_OK}, {"cancel", 2}, {nullptr, 0}}, 2},
    {"[a]bort, [r]etry, [i]gnore? ", {{"abort", ANSWER_ABORT}, {"retry", ANSWER_RETRY}, {"ignore", ANSWER_IGNORE}},
     ANSWER_ABORT},
    {"[y]es, [n]o, [c]ancel? ", {{"yes", ANSWER_YES}, {"no", ANSWER_NO}, {"cancel", 2}}, 2},
    {"[y]es, [n]o? ", {{"yes", ANSWER_YES}, {"no", ANSWER_NO}, {nullptr, 0}}, ANSWER_NO},
    {"[r]etry, [c]ancel? ", {{"retry", ANSWER_RETRY}, {"cancel", 2}, {nullptr, 0}}, 2},
};

// One line of standard input without its line end; 0 at end of input (or when it cannot be read).
int read_answer_line(char* line, size_t room) {
    size_t len = 0;
    int got_any = 0;
    for (;;) {
        char c;
        ssize_t k = read(0, &c, 1);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        got_any = 1;
        if (c == '\n') {
            line[len] = '\0';
            return 1;
        }
        if (len + 1 < room) line[len++] = c;
    }
    line[len] = '\0';
    return got_any && len > 0;
}

int answer_for(const box_kind& kind, const char* line) {
    const char* start = line;
    while (*start == ' ' || *start == '\t') ++start;
    size_t len = strlen(start);
    while (len > 0 && (start[len - 1] == ' ' || start[len - 1] == '\t' || start[len - 1] == '\r')) --len;
    if (len == 0) return 0;
    for (const box_choice& choice : kind.choices) {
        if (!choice.word) continue;
        size_t wl = strlen(choice.word);
        if (len != 1 && len != wl) continue;
        if (strncasecmp(start, choice.word, len) == 0) return choice.answer;
    }
    return 0;
}

// "caption: text" in the host's encoding.
std::string box_line(const char* caption, const char* text) {
    std::string line = std::string(caption ? caption : "Error") + ": " + (text ? text : "") + "\n";
    std::string host;
#ifdef VNAUDIO_UTF8_MESSAGES
    return line;
#endif
    if (standard_streams_convert() || !cp932_to_utf8(line.data(), line.size(), &host)) return line;
    return host;
}

}  // namespace

int show_box(const char* text, const char* caption, unsigned type) {
    unsigned buttons = type & 0xF;
    if (buttons >= sizeof box_kinds / sizeof box_kinds[0]) return 0;
    const box_kind& kind = box_kinds[buttons];
    // Progress lines written before the box must come out before it.
    fflush(stdout);
    fputs(box_line(caption, text).c_str(), stderr);
    if (!kind.prompt) {
        fflush(stderr);
        return ANSWER_OK;
    }
    for (;;) {
        fputs(kind.prompt, stderr);
        fflush(stderr);
        char line[256];
        if (!read_answer_line(line, sizeof line)) {
            fputc('\n', stderr);
            return kind.at_end;
        }
        if (int answer = answer_for(kind, line)) return answer;
    }
}

size_t text_fit(const char* text, size_t room) {
    // The tools' text is CP932 on every host: a lead byte takes the byte after it along. A lead
    // byte whose trail lies beyond room, or was cut off already, is left out with it.
    size_t i = 0;
    while (i < room && text[i] != '\0') {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
            if (i + 1 >= room || text[i + 1] == '\0') break;
            i += 2;
        } else {
            ++i;
        }
    }
    return i;
}
