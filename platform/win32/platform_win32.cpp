// The Windows backend: each call passes straight to the Win32 or msvcrt function the tools are
// defined by, with the same arguments.
#include "platform/platform.h"

#include <windows.h>
#include <direct.h>
#include <io.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

int show_box(const char* text, const char* caption, unsigned type) {
    return MessageBoxA(NULL, text, caption, type);
}

size_t text_fit(const char* text, size_t room) {
    // Walk whole CP932 characters: a lead byte takes the next byte with it.
    size_t i = 0;
    while (i < room && text[i]) {
        size_t width = IsDBCSLeadByteEx(932, static_cast<BYTE>(text[i])) ? 2 : 1;
        if (i + width > room || (width == 2 && !text[i + 1])) break;
        i += width;
    }
    return i;
}

long reg_open_key(const char* subkey, unsigned access, reg_key* out) {
    HKEY key = NULL;
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, access, &key);
    *out = reinterpret_cast<reg_key>(key);
    return result;
}

long reg_query_value(reg_key key, const char* name, unsigned char* data, uint32_t* size) {
    DWORD length = *size;
    LONG result = RegQueryValueExA(reinterpret_cast<HKEY>(key), name, NULL, NULL, data, &length);
    *size = length;
    return result;
}

long reg_set_value(reg_key key, const char* name, uint32_t type, const unsigned char* data,
                   uint32_t size) {
    return RegSetValueExA(reinterpret_cast<HKEY>(key), name, 0, type, data, size);
}

long reg_close_key(reg_key key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

static void copy_entry(const WIN32_FIND_DATAA& data, find_entry* out) {
    strncpy(out->name, data.cFileName, sizeof out->name - 1);
    out->name[sizeof out->name - 1] = '\0';
    out->attrib = data.dwFileAttributes;
}

// The search calls report through GetLastError; the tools read errno, as after _findfirst, where
// running out of names is ENOENT and anything else a real failure.
static void set_search_errno() {
    DWORD error = GetLastError();
    errno = error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                ? ENOENT
                : error == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

find_state* find_first_file(const char* pattern, find_entry* out) {
    WIN32_FIND_DATAA data;
    HANDLE handle = FindFirstFileA(pattern, &data);
    if (handle == INVALID_HANDLE_VALUE) {
        set_search_errno();
        return nullptr;
    }
    copy_entry(data, out);
    return reinterpret_cast<find_state*>(handle);
}

int find_next_file(find_state* search, find_entry* out) {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(reinterpret_cast<HANDLE>(search), &data)) {
        set_search_errno();
        return 0;
    }
    copy_entry(data, out);
    return 1;
}

void find_close(find_state* search) { FindClose(reinterpret_cast<HANDLE>(search)); }

static void copy_entry(const _finddata_t& data, find_entry* out) {
    strncpy(out->name, data.name, sizeof out->name - 1);
    out->name[sizeof out->name - 1] = '\0';
    out->attrib = data.attrib;
}

intptr_t findfirst(const char* pattern, find_entry* out) {
    _finddata_t data;
    intptr_t handle = _findfirst(pattern, &data);
    if (handle != -1) copy_entry(data, out);
    return handle;
}

int findnext(intptr_t handle, find_entry* out) {
    _finddata_t data;
    int result = _findnext(handle, &data);
    if (result == 0) copy_entry(data, out);
    return result;
}

int findclose(intptr_t handle) { return _findclose(handle); }

int file_access(const char* path, int mode) { return _access(path, mode); }
int make_dir(const char* path) { return _mkdir(path); }
int change_dir(const char* path) { return _chdir(path); }
int remove_file(const char* path) { return remove(path); }
int rename_file(const char* from, const char* to) { return rename(from, to); }
FILE* open_file(const char* path, const char* mode) { return fopen(path, mode); }
// The runtime buffers its streams fully when they go to a pipe or a file, and system() does not
// flush them: without this, lines written before a command would come out after the command's own.
// CP932 text as UTF-16, whatever the system's ANSI code page. -1 when it is not CP932 or does not
// fit in room units with the terminator.
size_t cp932_to_utf16(const char* text, uint16_t* out, size_t room) {
    if (room == 0 || room > 0x7fffffff) return static_cast<size_t>(-1);
    if (!*text) {
        out[0] = 0;
        return 0;
    }
    int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text, -1, reinterpret_cast<wchar_t*>(out),
                                static_cast<int>(room));
    return n > 0 ? static_cast<size_t>(n - 1) : static_cast<size_t>(-1);
}

unsigned ansi_code_page() { return GetACP(); }

int replace_file(const char* from, const char* to) {
    wchar_t wide_from[MAX_PATH], wide_to[MAX_PATH];
    if (cp932_to_utf16(from, reinterpret_cast<uint16_t*>(wide_from), MAX_PATH) == static_cast<size_t>(-1) ||
        cp932_to_utf16(to, reinterpret_cast<uint16_t*>(wide_to), MAX_PATH) == static_cast<size_t>(-1)) {
        errno = ENOENT;
        return -1;
    }
    if (MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
            : error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC
                                                                          : EACCES;
    return -1;
}

void begin_run(int*, char***) {}

int end_run(int status) { return status; }
