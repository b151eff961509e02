// CP932 <-> UTF-16 for the Windows backend, always with code page 932: the system's ANSI code page
// (1252 on a Western Windows) would turn every Japanese name into another name.
#include "platform/platform.h"
#include "platform/messages.h"
#include "platform/win32/win32_internal.h"

#include <cerrno>

bool widen_name(const char* text, wchar_t* out, size_t room) {
    if (!*text) {
        out[0] = L'\0';
        return true;
    }
    int n = MultiByteToWideChar(TEXT_CODE_PAGE, MB_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(room));
    if (n > 0) return true;
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : ENOENT;
    return false;
}

int narrow_text(const wchar_t* text, int length, char* out, int room) {
    if (length == 0) return 0;
    BOOL used_default = FALSE;
    int n = WideCharToMultiByte(TEXT_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text, length, out, room, nullptr,
                                &used_default);
    return n > 0 && !used_default ? n : -1;
}

int narrow_for_display(const wchar_t* text, int length, char* out, int room) {
    if (length == 0) return 0;
    int n = WideCharToMultiByte(TEXT_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text, length, out, room, "?", nullptr);
    return n > 0 ? n : -1;
}

size_t cp932_to_utf16(const char* text, uint16_t* out, size_t room) {
    if (room == 0 || room > 0x7fffffff) return static_cast<size_t>(-1);
    if (!*text) {
        out[0] = 0;
        return 0;
    }
    int n = MultiByteToWideChar(TEXT_CODE_PAGE, MB_ERR_INVALID_CHARS, text, -1, reinterpret_cast<wchar_t*>(out),
                                static_cast<int>(room));
    return n > 0 ? static_cast<size_t>(n - 1) : static_cast<size_t>(-1);
}

size_t utf16_to_cp932(const uint16_t* text, size_t length, char* out, size_t room) {
    if (room == 0 || room > 0x7fffffff || length > 0x7fffffff) return static_cast<size_t>(-1);
    int n = narrow_text(reinterpret_cast<const wchar_t*>(text), static_cast<int>(length), out, static_cast<int>(room - 1));
    if (n < 0) return static_cast<size_t>(-1);
    out[n] = '\0';
    return static_cast<size_t>(n);
}

unsigned ansi_code_page() { return GetACP(); }

size_t text_fit(const char* text, size_t room) {
    // Walk whole CP932 characters: a lead byte takes the next byte with it.
    size_t i = 0;
    while (i < room && text[i]) {
        size_t width = IsDBCSLeadByteEx(TEXT_CODE_PAGE, static_cast<BYTE>(text[i])) ? 2 : 1;
        if (i + width > room || (width == 2 && !text[i + 1])) break;
        i += width;
    }
    return i;
}

int user_language_japanese() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE;
}
