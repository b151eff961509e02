// File, folder and search calls: the runtime's and the system's wide calls, names converted from and
// to CP932 here, so a Japanese name means the same file on every system locale.
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"
#include "platform/messages.h"

#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int file_access(const char* path, int mode) {
    wchar_t wide[WIDE_PATH_ROOM];
    return widen_name(path, wide, WIDE_PATH_ROOM) ? _waccess(wide, mode) : -1;
}

int make_dir(const char* path) {
    wchar_t wide[WIDE_PATH_ROOM];
    return widen_name(path, wide, WIDE_PATH_ROOM) ? _wmkdir(wide) : -1;
}

int free_disk_space(const char* folder, uint64_t* bytes) {
    wchar_t wide[WIDE_PATH_ROOM];
    if (!widen_name(folder, wide, WIDE_PATH_ROOM)) return -1;
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(wide, &available, nullptr, nullptr)) {
        errno = GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EIO;
        return -1;
    }
    *bytes = available.QuadPart;
    return 0;
}

int current_folder(char* out, size_t room) {
    wchar_t wide[WIDE_PATH_ROOM];
    if (!_wgetcwd(wide, static_cast<int>(WIDE_PATH_ROOM))) return -1;
    int n = narrow_text(wide, -1, out, static_cast<int>(room));
    if (n < 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

int change_dir(const char* path) {
    wchar_t wide[WIDE_PATH_ROOM];
    return widen_name(path, wide, WIDE_PATH_ROOM) ? _wchdir(wide) : -1;
}

int remove_dir(const char* path) {
    wchar_t wide[WIDE_PATH_ROOM];
    return widen_name(path, wide, WIDE_PATH_ROOM) ? _wrmdir(wide) : -1;
}

int remove_file(const char* path) {
    wchar_t wide[WIDE_PATH_ROOM];
    return widen_name(path, wide, WIDE_PATH_ROOM) ? _wremove(wide) : -1;
}

int set_read_only(const char* path, int read_only) {
    wchar_t wide[WIDE_PATH_ROOM];
    return widen_name(path, wide, WIDE_PATH_ROOM) ? _wchmod(wide, read_only ? _S_IREAD : _S_IREAD | _S_IWRITE) : -1;
}

int rename_file(const char* from, const char* to) {
    wchar_t wide_from[WIDE_PATH_ROOM], wide_to[WIDE_PATH_ROOM];
    if (!widen_name(from, wide_from, WIDE_PATH_ROOM) || !widen_name(to, wide_to, WIDE_PATH_ROOM)) return -1;
    return _wrename(wide_from, wide_to);
}

FILE* open_file(const char* path, const char* mode) {
    wchar_t wide[WIDE_PATH_ROOM], wide_mode[16];
    size_t n = strlen(mode);
    if (n >= sizeof wide_mode / sizeof wide_mode[0]) {
        errno = EINVAL;
        return nullptr;
    }
    for (size_t i = 0; i <= n; ++i) wide_mode[i] = static_cast<unsigned char>(mode[i]);
    if (!widen_name(path, wide, WIDE_PATH_ROOM)) return nullptr;
    // The runtime's handles are inheritable: a console or an encoder started while a file is open
    // would hold it too, and the file could then not be renamed or removed until that process ends.
    lock_inheritance();
    FILE* stream = _wfopen(wide, wide_mode);
    int saved = errno;
    if (stream) SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), HANDLE_FLAG_INHERIT, 0);
    unlock_inheritance();
    errno = saved;
    return stream;
}

// A spin lock: it is held for one system call at a time, and it needs no setting up (the console's
// thread may be the first to take it).
static volatile LONG inheritance_lock = 0;

void lock_inheritance() {
    while (InterlockedCompareExchange(&inheritance_lock, 1, 0) != 0) Sleep(0);
}

void unlock_inheritance() { InterlockedExchange(&inheritance_lock, 0); }

int replace_file(const char* from, const char* to) {
    wchar_t wide_from[WIDE_PATH_ROOM], wide_to[WIDE_PATH_ROOM];
    if (!widen_name(from, wide_from, WIDE_PATH_ROOM) || !widen_name(to, wide_to, WIDE_PATH_ROOM)) return -1;
    if (MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
            : error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC
                                                                          : EACCES;
    return -1;
}

struct work_file {
    HANDLE handle;
    uint64_t at;   // the file pointer
    wchar_t work[WIDE_PATH_ROOM];
};

static int errno_of(DWORD error) {
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC
           : error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST
           : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                        : EACCES;
}

work_file* create_work_file(const char* work) {
    work_file* file = static_cast<work_file*>(malloc(sizeof(work_file)));
    if (!file) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!widen_name(work, file->work, WIDE_PATH_ROOM)) {
        free(file);
        return nullptr;
    }
    // No security attributes: not inheritable from the start, so no second call marks it so.
    // DELETE lets the finished file be renamed through this handle.
    file->handle = CreateFileW(file->work, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    if (file->handle == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        free(file);
        return nullptr;
    }
    file->at = 0;
    return file;
}

int write_work_file(work_file* file, uint64_t offset, const void* data, size_t length) {
    // Moved only where a write does not follow the one before (an OVERLAPPED position would cost
    // Wine a server call for every write).
    if (offset != file->at) {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file->handle, to, nullptr, FILE_BEGIN)) {
            errno = errno_of(GetLastError());
            return -1;
        }
        file->at = offset;
    }
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length), done = 0;
        if (!WriteFile(file->handle, p, chunk, &done, nullptr)) {
            errno = errno_of(GetLastError());
            return -1;
        }
        if (done == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += done;
        file->at += done;
        length -= done;
    }
    return 0;
}

int finish_work_file(work_file* file, const char* to) {
    int result = -2;
    wchar_t wide_to[WIDE_PATH_ROOM], full[WIDE_PATH_ROOM];
    if (widen_name(to, wide_to, WIDE_PATH_ROOM)) {
        // The system takes the new name as a full path in its own form.
        DWORD n = GetFullPathNameW(wide_to, WIDE_PATH_ROOM, full, nullptr);
        if (n > 0 && n < WIDE_PATH_ROOM) {
            std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + (n + 5) * sizeof(wchar_t));
            FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
            info->RootDirectory = nullptr;
            info->FileNameLength = static_cast<DWORD>((n + 4) * sizeof(wchar_t));
            memcpy(info->FileName, L"\\??\\", 4 * sizeof(wchar_t));
            memcpy(info->FileName + 4, full, (n + 1) * sizeof(wchar_t));
            if (SetFileInformationByHandle(file->handle, FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
                result = 0;
            else
                errno = errno_of(GetLastError());
        } else {
            errno = ENAMETOOLONG;
        }
    }
    int saved = errno;
    CloseHandle(file->handle);
    if (result != 0) DeleteFileW(file->work);
    free(file);
    errno = saved;
    return result;
}

void discard_work_file(work_file* file) {
    CloseHandle(file->handle);
    DeleteFileW(file->work);
    free(file);
}

intptr_t lock_file(const char* path) {
    wchar_t wide[WIDE_PATH_ROOM];
    if (!widen_name(path, wide, WIDE_PATH_ROOM)) return -1;
    // Not inheritable (no security attributes): a program started meanwhile does not hold it on.
    HANDLE handle = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return reinterpret_cast<intptr_t>(handle);
    DWORD error = GetLastError();
    errno = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? EBUSY
            : error == ERROR_PATH_NOT_FOUND ? ENOENT
            : error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC
                                                                          : EACCES;
    return -1;
}

void unlock_file(intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

// A found name the tools can hold: false, after a notice, for a name with a character CP932 lacks.
// Such a file cannot be named back in CP932, and a look-alike name would be another file.
static bool take_name(const wchar_t* name, unsigned attrib, find_entry* out) {
    int n = narrow_text(name, -1, out->name, sizeof out->name);
    if (n > 0) {
        out->attrib = attrib;
        return true;
    }
    char shown[sizeof out->name];
    if (narrow_for_display(name, -1, shown, sizeof shown) < 0) strcpy(shown, "?");
    fprintf(stderr, translate_message("%s: 名前にCP932で表せない文字があるため飛ばします。\n"), shown);
    return false;
}

// The search calls report through GetLastError; the tools read errno, as after _findfirst, where
// running out of names is ENOENT and anything else a real failure.
static void set_search_errno() {
    DWORD error = GetLastError();
    errno = error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                ? ENOENT
                : error == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

int find_next_file(find_state* search, find_entry* out) {
    WIN32_FIND_DATAW data;
    do {
        if (!FindNextFileW(reinterpret_cast<HANDLE>(search), &data)) {
            set_search_errno();
            return 0;
        }
    } while (!take_name(data.cFileName, data.dwFileAttributes, out));
    return 1;
}

find_state* find_first_file(const char* pattern, find_entry* out) {
    wchar_t wide[WIDE_PATH_ROOM];
    if (!widen_name(pattern, wide, WIDE_PATH_ROOM)) return nullptr;
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(wide, &data);
    if (handle == INVALID_HANDLE_VALUE) {
        set_search_errno();
        return nullptr;
    }
    find_state* search = reinterpret_cast<find_state*>(handle);
    if (take_name(data.cFileName, data.dwFileAttributes, out) || find_next_file(search, out)) return search;
    int error = errno;
    FindClose(handle);
    errno = error;
    return nullptr;
}

void find_close(find_state* search) { FindClose(reinterpret_cast<HANDLE>(search)); }

int findnext(intptr_t handle, find_entry* out) {
    _wfinddata_t data;
    int result;
    while ((result = static_cast<int>(_wfindnext(handle, &data))) == 0 && !take_name(data.name, data.attrib, out)) {
    }
    return result;
}

intptr_t findfirst(const char* pattern, find_entry* out) {
    wchar_t wide[WIDE_PATH_ROOM];
    if (!widen_name(pattern, wide, WIDE_PATH_ROOM)) return -1;
    _wfinddata_t data;
    intptr_t handle = _wfindfirst(wide, &data);
    if (handle == -1 || take_name(data.name, data.attrib, out) || findnext(handle, out) == 0) return handle;
    int error = errno;
    _findclose(handle);
    errno = error;
    return -1;
}

int findclose(intptr_t handle) { return _findclose(handle); }
