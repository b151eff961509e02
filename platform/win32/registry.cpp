// The registry through its wide calls: key paths, value names and string data are CP932 to the tools
// and UTF-16 to the system, converted with code page 932, so a game's Japanese key is found and its
// values read and written the same on every system locale.
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

#include <cstring>
#include <vector>

unsigned long reg_unheld_char, reg_unheld_place;

// Finds the first character of the text that CP932 lacks, for the tools to name it.
static void find_unheld(const wchar_t* text, int units) {
    reg_unheld_char = 0;
    reg_unheld_place = 0;
    for (int i = 0, place = 1; i < units; ++place) {
        int width = i + 1 < units && text[i] >= 0xD800 && text[i] < 0xDC00 ? 2 : 1;
        char out[8];
        BOOL lost = FALSE;
        int n = WideCharToMultiByte(TEXT_CODE_PAGE, WC_NO_BEST_FIT_CHARS, text + i, width, out, sizeof out, NULL, &lost);
        if (n <= 0 || lost) {
            reg_unheld_char = width == 2 ? 0x10000 + ((text[i] - 0xD800UL) << 10) + (text[i + 1] - 0xDC00UL) : text[i];
            reg_unheld_place = static_cast<unsigned long>(place);
            return;
        }
        i += width;
    }
}

static bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

long reg_open_key(const char* subkey, unsigned access, reg_key* out) {
    *out = nullptr;
    wchar_t wide[WIDE_PATH_ROOM];
    if (!widen_name(subkey, wide, WIDE_PATH_ROOM)) return REG_NOT_FOUND;
    HKEY key = NULL;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, wide, 0, access, &key);
    *out = reinterpret_cast<reg_key>(key);
    return result;
}

// As RegQueryValueExA answers: string data in CP932 with the length it has there, other data as it is.
long reg_query_value(reg_key key, const char* name, unsigned char* data, uint32_t* size) {
    HKEY hkey = reinterpret_cast<HKEY>(key);
    wchar_t wide_name[WIDE_PATH_ROOM];
    if (name && !widen_name(name, wide_name, WIDE_PATH_ROOM)) return REG_NOT_FOUND;
    const wchar_t* value = name ? wide_name : nullptr;
    DWORD type = 0, bytes = 0;
    LONG result = RegQueryValueExW(hkey, value, NULL, &type, NULL, &bytes);
    if (result != ERROR_SUCCESS) return result;
    if (!is_string_type(type)) {
        DWORD length = size ? *size : 0;
        result = RegQueryValueExW(hkey, value, NULL, NULL, data, size ? &length : NULL);
        if (size) *size = length;
        return result;
    }
    std::vector<wchar_t> wide;
    do {  // the value may grow between the two calls
        wide.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
        result = RegQueryValueExW(hkey, value, NULL, &type, reinterpret_cast<BYTE*>(wide.data()), &bytes);
    } while (result == ERROR_MORE_DATA);
    if (result != ERROR_SUCCESS) return result;
    int units = static_cast<int>(bytes / sizeof(wchar_t));
    std::vector<char> text(static_cast<size_t>(units) * 2 + 1);
    int length = units ? narrow_text(wide.data(), units, text.data(), static_cast<int>(text.size())) : 0;
    // A value with a character CP932 lacks is unreadable to the tools: they report the key and value
    // as they do for any value they cannot read, never go on with a look-alike name.
    if (length < 0) {
        find_unheld(wide.data(), units);
        return REG_NOT_CP932;
    }
    if (!size) return REG_OK;
    if (data && *size < static_cast<uint32_t>(length)) {
        *size = static_cast<uint32_t>(length);
        return REG_MORE_DATA;
    }
    if (data) memcpy(data, text.data(), static_cast<size_t>(length));
    *size = static_cast<uint32_t>(length);
    return REG_OK;
}

long reg_set_value(reg_key key, const char* name, uint32_t type, const unsigned char* data, uint32_t size) {
    HKEY hkey = reinterpret_cast<HKEY>(key);
    wchar_t wide_name[WIDE_PATH_ROOM];
    if (name && !widen_name(name, wide_name, WIDE_PATH_ROOM)) return REG_NOT_CP932;
    const wchar_t* value = name ? wide_name : nullptr;
    if (!is_string_type(type)) return RegSetValueExW(hkey, value, 0, type, data, size);
    std::vector<wchar_t> wide(static_cast<size_t>(size) + 1);
    int units = 0;
    if (size) {
        units = MultiByteToWideChar(TEXT_CODE_PAGE, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(data),
                                    static_cast<int>(size), wide.data(), static_cast<int>(wide.size()));
        if (units <= 0) return REG_NOT_CP932;
    }
    return RegSetValueExW(hkey, value, 0, type, reinterpret_cast<const BYTE*>(wide.data()),
                          static_cast<DWORD>(units * sizeof(wchar_t)));
}

long reg_close_key(reg_key key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }
