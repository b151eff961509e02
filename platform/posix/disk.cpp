// The disk as the tools see it: the free space on the disk of a folder (statvfs; a test may state
// it in VNAUDIO_FREE_SPACE, in bytes, to meet a nearly full disk without filling one) and the
// current folder in the tools' form.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

int free_disk_space(const char* folder, uint64_t* bytes) {
    if (int e = fault_check(0)) {
        errno = e;
        return -1;
    }
    const char* stated = getenv("VNAUDIO_FREE_SPACE");
    if (stated && *stated) {
        char* end = nullptr;
        unsigned long long value = strtoull(stated, &end, 10);
        if (*end == '\0') {
            *bytes = value;
            return 0;
        }
    }
    path_guard guard;
    std::string p = resolve_path(folder);
    struct statvfs disk;
    if (p.empty() || statvfs(p.c_str(), &disk) != 0) {
        errno = map_errno(p.empty() ? ENOENT : errno);
        return -1;
    }
    *bytes = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
    return 0;
}

int current_folder(char* out, size_t room) {
    char host[4096];
    std::string name;
    if (!getcwd(host, sizeof host)) {
        errno = map_errno(errno);
        return -1;
    }
    if (!host_name_to_cp932(host, strlen(host), &name) || name.size() + 1 > room) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (char& c : name)
        if (c == '/') c = '\\';
    memcpy(out, name.c_str(), name.size() + 1);
    return 0;
}
