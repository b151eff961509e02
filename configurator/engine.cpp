// GAMEEXE.INI's line form and the scanf-style matching that the rewriting rules use.
#include "configurator/engine.h"

#include <cstring>

const char REALLIVE_EXECUTABLE[] = "REALLIVE.EXE";
const char* const AVG32_EXECUTABLES[4] = {"AVG3216M.EXE", "AVG3216D.EXE", "AVG3217M.EXE",
                                          "AVG3217D.EXE"};

size_t read_line(FILE* stream, char line[LINE_SIZE]) {
    // fgets is much faster than a getc per byte, but its count is lost when a line holds a NUL
    // byte. With the buffer filled beforehand with something other than NUL, the terminator fgets
    // writes is the last NUL in the buffer, which gives the count in every case.
    memset(line, '\n', LINE_SIZE);
    if (!fgets(line, LINE_SIZE, stream)) {
        line[0] = '\0';
        return 0;
    }
    size_t length = strlen(line);
    // A line that ends in its line end, or fills the buffer, cannot hold a NUL before its end.
    if (length == LINE_SIZE - 1 || (length > 0 && line[length - 1] == '\n')) return length;
    length = LINE_SIZE - 1;
    while (line[length] != '\0') --length;
    return length;
}

// White space as the runtime's isspace sees it in the "C" locale; bytes above 0x7F never are.
static bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static const char* skip_blanks(const char* s) {
    while (is_blank(*s)) ++s;
    return s;
}

// Takes an optionally signed decimal number at s. Answers the position behind it, or null when
// no digit stands there or the value is kept and does not fit 32 bits.
static const char* take_number(const char* s, size_t width, int32_t* out) {
    size_t taken = 0;
    bool negative = false;
    if ((*s == '+' || *s == '-') && (width == 0 || width > 1)) {
        negative = *s == '-';
        ++s;
        ++taken;
    }
    int64_t value = 0;
    bool too_big = false;
    const char* digits = s;
    while (*s >= '0' && *s <= '9' && (width == 0 || taken < width)) {
        if (!too_big) {
            value = value * 10 + (*s - '0');
            if (value > int64_t{INT32_MAX} + 1) too_big = true;
        }
        ++s;
        ++taken;
    }
    if (s == digits) return nullptr;
    if (negative) value = -value;
    if (value > INT32_MAX) too_big = true;
    if (out) {
        if (too_big) return nullptr;
        *out = static_cast<int32_t>(value);
    }
    return s;
}

// Copies the count bytes at s into the field, or answers false when they do not fit.
static bool take_text(const char* s, size_t count, const scan_field& field) {
    if (count == 0 || !field.text || count >= field.size) return false;
    memcpy(field.text, s, count);
    field.text[count] = '\0';
    return true;
}

int scan_line(const char* line, const char* pattern, const scan_field* fields, int count) {
    const char* s = line;
    const char* p = pattern;
    int filled = 0;
    while (*p) {
        if (is_blank(*p)) {
            p = skip_blanks(p);
            s = skip_blanks(s);
            continue;
        }
        if (*p != '%') {
            if (*s != *p) return filled;
            ++s;
            ++p;
            continue;
        }
        ++p;
        if (filled == count) return filled;
        const scan_field& field = fields[filled];
        size_t width = 0;
        while (*p >= '0' && *p <= '9') width = width * 10 + static_cast<size_t>(*p++ - '0');
        const char* start;
        size_t n = 0;
        switch (*p) {
        case 'd':
            ++p;
            s = take_number(skip_blanks(s), width, field.number);
            if (!s) return filled;
            break;
        case 's':
            ++p;
            start = s = skip_blanks(s);
            while (*s && !is_blank(*s) && (width == 0 || n < width)) ++s, ++n;
            if (!take_text(start, n, field)) return filled;
            break;
        case '[': {
            // Only the negated single-character set that the rules use: %[^c].
            if (p[1] != '^' || !p[2] || p[3] != ']') return filled;
            char stop = p[2];
            p += 4;
            start = s;
            while (*s && *s != stop && (width == 0 || n < width)) ++s, ++n;
            if (!take_text(start, n, field)) return filled;
            break;
        }
        default:
            return filled;
        }
        ++filled;
    }
    return filled;
}

int find_registry_name(FILE* ini, char name[REGNAME_SIZE], size_t* too_long) {
    char line[LINE_SIZE], whole[LINE_SIZE];
    const scan_field field{nullptr, whole, sizeof whole};
    while (read_line(ini, line) > 0) {
        if (scan_line(line, "#REGNAME = \"%[^\"]\"", &field, 1) != 1) continue;
        size_t length = strlen(whole);
        if (length > MAX_REGNAME_LENGTH) {
            *too_long = length;
            return -1;
        }
        memcpy(name, whole, length + 1);
        return 1;
    }
    return 0;
}

int format_game_key(char key[REGNAME_SIZE], const char* name) {
    int n = snprintf(key, REGNAME_SIZE, "Software\\%s", name);
    return n >= 0 && static_cast<size_t>(n) < REGNAME_SIZE;
}
