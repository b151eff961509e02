// The system's text facts as the emulation states them: the ANSI code page of a Japanese Windows
// (a test may name another in VNAUDIO_ANSI_CODE_PAGE), and the conversions between the tools'
// CP932 and the host's UTF-8 (file names, the terminal, the registry store) through iconv.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>

#include "platform/platform.h"
#include "platform/messages.h"
#include "platform/posix/posix_internal.h"

unsigned ansi_code_page() {
    const char* named = getenv("VNAUDIO_ANSI_CODE_PAGE");
    if (named && *named) {
        char* end = nullptr;
        unsigned long page = strtoul(named, &end, 10);
        if (*end == '\0' && page > 0 && page < 65536) return static_cast<unsigned>(page);
    }
    return 932;
}

namespace {

enum conversion { CP932_TO_UTF16, CP932_TO_UTF8, UTF8_TO_CP932, UTF16_TO_CP932, CONVERSIONS };

// Opening a converter costs far more than a short name's conversion, and names are converted
// for every file call: each direction is opened once and reset before each use.
iconv_t converter(conversion which) {
    static iconv_t open[CONVERSIONS];
    static int tried[CONVERSIONS];
    static const char* const names[CONVERSIONS][2] = {{"UTF-16LE", "CP932"}, {"UTF-8", "CP932"}, {"CP932", "UTF-8"}, {"CP932", "UTF-16LE"}};
    if (!tried[which]) {
        tried[which] = 1;
        open[which] = iconv_open(names[which][0], names[which][1]);
    }
    if (open[which] != reinterpret_cast<iconv_t>(-1)) iconv(open[which], nullptr, nullptr, nullptr, nullptr);
    return open[which];
}

// Converts all of s or nothing; 1 when out holds the whole text converted.
int convert(conversion which, const char* s, size_t n, std::string* out) {
    iconv_t cd = converter(which);
    if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
    out->assign(n * 4 + 8, '\0');   // a one-byte kana takes three bytes in UTF-8
    char* in = const_cast<char*>(s);
    size_t in_left = n;
    char* to = &(*out)[0];
    size_t to_left = out->size();
    size_t rc = iconv(cd, &in, &in_left, &to, &to_left);
    if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &to, &to_left);
    if (rc == static_cast<size_t>(-1) || in_left != 0) return 0;
    out->resize(out->size() - to_left);
    return 1;
}

}  // namespace

int has_high_bytes(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return 1;
    return 0;
}

int cp932_to_utf8(const char* s, size_t n, std::string* out) {
    if (!has_high_bytes(s, n)) {
        out->assign(s, n);
        return 1;
    }
    return convert(CP932_TO_UTF8, s, n, out);
}

int utf8_to_cp932(const char* s, size_t n, std::string* out) {
    if (!has_high_bytes(s, n)) {
        out->assign(s, n);
        return 1;
    }
    return convert(UTF8_TO_CP932, s, n, out);
}

int host_name_to_cp932(const char* s, size_t n, std::string* out) {
    if (is_cp932_text(s, n)) {
        out->assign(s, n);
        return 1;
    }
    return utf8_to_cp932(s, n, out);
}

size_t cp932_to_utf16(const char* text, uint16_t* out, size_t room) {
    if (room == 0) return static_cast<size_t>(-1);
    std::string wide;
    if (!convert(CP932_TO_UTF16, text, strlen(text), &wide)) return static_cast<size_t>(-1);
    size_t units = wide.size() / sizeof(uint16_t);
    if (units + 1 > room) return static_cast<size_t>(-1);
    memcpy(out, wide.data(), wide.size());
    out[units] = 0;
    return units;
}

size_t utf16_to_cp932(const uint16_t* text, size_t length, char* out, size_t room) {
    if (room == 0) return static_cast<size_t>(-1);
    std::string narrow;
    if (length > 0 && !convert(UTF16_TO_CP932, reinterpret_cast<const char*>(text), length * sizeof(uint16_t), &narrow))
        return static_cast<size_t>(-1);
    if (narrow.size() + 1 > room) return static_cast<size_t>(-1);
    memcpy(out, narrow.data(), narrow.size());
    out[narrow.size()] = '\0';
    return narrow.size();
}

int user_language_japanese() {
    // The locale that names the language of messages, in the order the C library weighs them.
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = getenv(name);
        if (value && *value) return strncmp(value, "ja", 2) == 0;
    }
    return 0;
}
