// The system's text facts as the emulation states them: the ANSI code page of a Japanese Windows
// (a test may name another in VNAUDIO_ANSI_CODE_PAGE), and CP932 to UTF-16 through iconv.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>

#include "platform/platform.h"

unsigned ansi_code_page() {
    const char* named = getenv("VNAUDIO_ANSI_CODE_PAGE");
    if (named && *named) {
        char* end = nullptr;
        unsigned long page = strtoul(named, &end, 10);
        if (*end == '\0' && page > 0 && page < 65536) return static_cast<unsigned>(page);
    }
    return 932;
}

size_t cp932_to_utf16(const char* text, uint16_t* out, size_t room) {
    if (room == 0) return static_cast<size_t>(-1);
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return static_cast<size_t>(-1);
    char* in = const_cast<char*>(text);
    size_t in_left = strlen(text);
    char* to = reinterpret_cast<char*>(out);
    size_t to_left = (room - 1) * sizeof(uint16_t);
    size_t rc = iconv(cd, &in, &in_left, &to, &to_left);
    if (rc != static_cast<size_t>(-1)) rc = iconv(cd, nullptr, nullptr, &to, &to_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || in_left != 0) return static_cast<size_t>(-1);
    size_t units = static_cast<size_t>(to - reinterpret_cast<char*>(out)) / sizeof(uint16_t);
    out[units] = 0;
    return units;
}
