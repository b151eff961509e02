// Windows path rules over a POSIX file system, and the msvcrt file calls built on them (_access,
// _mkdir, _chdir, remove, rename). Names may be CP932 (from game files and the registry) or UTF-8.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

int is_cp932_text(const char* s, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t need;
        unsigned min;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            min = 0x10000;
        } else {
            return 1;
        }
        if (n - i <= need) return 1;
        unsigned value = c & (0x3F >> need);
        for (size_t k = 1; k <= need; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return 1;
            value = (value << 6) | (p[i + k] & 0x3F);
        }
        if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 1;
        i += need + 1;
    }
    return 0;
}

static int is_cp932_lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

size_t char_length(const char* s, size_t left, int cp932) {
    unsigned char c = static_cast<unsigned char>(s[0]);
    if (left < 2) return left;
    if (cp932) return is_cp932_lead(c) ? 2 : 1;
    if (c < 0xC0) return 1;
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return n <= left ? n : left;
}

static unsigned char fold_upper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

int compare_folded(const char* a, size_t an, const char* b, size_t bn, int cp932) {
    size_t i = 0, j = 0;
    while (i < an && j < bn) {
        size_t la = char_length(a + i, an - i, cp932);
        size_t lb = char_length(b + j, bn - j, cp932);
        if (la == 1 && lb == 1) {
            int d = fold_upper(static_cast<unsigned char>(a[i])) - fold_upper(static_cast<unsigned char>(b[j]));
            if (d != 0) return d;
        } else {
            // A double-byte character compares byte for byte: its trail byte is no letter.
            size_t l = la < lb ? la : lb;
            int d = memcmp(a + i, b + j, l);
            if (d != 0) return d;
            if (la != lb) return la < lb ? -1 : 1;
        }
        i += la;
        j += lb;
    }
    if (i < an) return 1;
    if (j < bn) return -1;
    return 0;
}

int map_errno(int e) {
    switch (e) {
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return ENOENT;
    case EISDIR:
    case EPERM:
    case EROFS:
    case ETXTBSY:
        return EACCES;
    default:
        return e;
    }
}

static std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// The listing of the folder searched last, by names without regard to case. Creating thousands of
// files in one folder would otherwise read the whole folder for every new name. The listing is
// trusted only while the folder keeps its identity and time stamps, and the calls here that change
// the folder right after looking it up keep it up to date themselves.
struct folder_listing {
    int valid;
    int fresh;            // checked against the folder by the path resolution going on
    std::string folder;
    dev_t dev;
    ino_t ino;
    struct timespec mtime, ctime;
    std::unordered_map<std::string, std::vector<std::string>> names;   // folded -> spellings
};

static folder_listing listing;

static std::string fold_name(const char* s, size_t n, int cp932) {
    std::string key;
    key.reserve(n);
    for (size_t i = 0; i < n;) {
        size_t l = char_length(s + i, n - i, cp932);
        if (l == 1) {
            key.push_back(static_cast<char>(fold_upper(static_cast<unsigned char>(s[i]))));
        } else {
            key.append(s + i, l);
        }
        i += l;
    }
    return key;
}

static int same_stamp(const struct stat& st) {
    return listing.dev == st.st_dev && listing.ino == st.st_ino && listing.mtime.tv_sec == st.st_mtim.tv_sec &&
           listing.mtime.tv_nsec == st.st_mtim.tv_nsec && listing.ctime.tv_sec == st.st_ctim.tv_sec &&
           listing.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

static void take_stamp(const struct stat& st) {
    listing.dev = st.st_dev;
    listing.ino = st.st_ino;
    listing.mtime = st.st_mtim;
    listing.ctime = st.st_ctim;
}

static int read_listing(const std::string& folder) {
    const char* where = folder.empty() ? "." : folder.c_str();
    struct stat st;
    if (stat(where, &st) != 0) return 0;
    if (listing.valid && listing.folder == folder && same_stamp(st)) return 1;
    listing.valid = 0;
    listing.names.clear();
    DIR* dir = opendir(where);
    if (!dir) return 0;
    while (dirent* e = readdir(dir)) {
        size_t len = strlen(e->d_name);
        listing.names[fold_name(e->d_name, len, is_cp932_text(e->d_name, len))].push_back(e->d_name);
    }
    closedir(dir);
    // Stamped as before the reading: a change made meanwhile shows at the next look.
    take_stamp(st);
    listing.folder = folder;
    listing.valid = 1;
    return 1;
}

// The entry of folder whose name equals name without regard to case; the exact spelling when it
// exists, else the first case variant in byte order so that the choice is repeatable.
static std::string find_case_variant(const std::string& folder, const std::string& name, int cp932) {
    std::string exact = join_path(folder, name);
    struct stat st;
    if (lstat(exact.c_str(), &st) == 0) return name;
    if (!read_listing(folder)) return "";
    listing.fresh = 1;
    auto found = listing.names.find(fold_name(name.data(), name.size(), cp932));
    if (found == listing.names.end()) {
        // Time stamps only tick every few milliseconds: another program adding a name in the tick
        // of this process's own last change goes unseen. The common spellings are looked at anyway.
        for (int upper = 1; upper >= 0; --upper) {
            std::string spelling = name;
            for (size_t i = 0; i < spelling.size();) {
                size_t l = char_length(spelling.data() + i, spelling.size() - i, cp932);
                char& c = spelling[i];
                if (l == 1 && upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
                if (l == 1 && !upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                i += l;
            }
            if (spelling != name && lstat(join_path(folder, spelling).c_str(), &st) == 0) {
                listing.valid = 0;
                return spelling;
            }
        }
        return "";
    }
    std::string best;
    for (const std::string& spelling : found->second)
        if (best.empty() || spelling < best) best = spelling;
    return best;
}

void note_folder_change(const std::string& path, int added) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t cut = p.find_last_of('/');
    std::string folder = cut == std::string::npos ? "" : cut == 0 ? "/" : p.substr(0, cut);
    std::string name = cut == std::string::npos ? p : p.substr(cut + 1);
    if (!listing.valid || listing.folder != folder) return;
    struct stat st;
    if (!listing.fresh || stat(folder.empty() ? "." : folder.c_str(), &st) != 0 || st.st_dev != listing.dev ||
        st.st_ino != listing.ino) {
        listing.valid = 0;
        return;
    }
    std::vector<std::string>& spellings = listing.names[fold_name(name.data(), name.size(), is_cp932_text(name.data(), name.size()))];
    for (size_t k = 0; k < spellings.size(); ++k) {
        if (spellings[k] == name) {
            spellings.erase(spellings.begin() + static_cast<long>(k));
            break;
        }
    }
    if (added) spellings.push_back(name);
    take_stamp(st);
}

std::string resolve_path(const char* path) {
    listing.fresh = 0;
    if (!path) return "";
    size_t n = strlen(path);
    int cp932 = is_cp932_text(path, n);
    std::string posix;
    posix.reserve(n);
    for (size_t i = 0; i < n;) {
        size_t l = char_length(path + i, n - i, cp932);
        if (l == 1 && path[i] == '\\') {
            posix.push_back('/');
        } else {
            posix.append(path + i, l);
        }
        i += l;
    }
    struct stat st;
    if (posix.empty() || lstat(posix.c_str(), &st) == 0) return posix;

    // Walk the components; once one is missing, the rest keep their spelling.
    std::string out = posix[0] == '/' ? "/" : "";
    size_t pos = 0;
    int missing = 0;
    while (pos < posix.size()) {
        size_t slash = posix.find('/', pos);
        if (slash == std::string::npos) slash = posix.size();
        std::string part = posix.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty()) continue;
        if (!missing && part != "." && part != "..") {
            std::string found = find_case_variant(out, part, cp932);
            if (found.empty()) {
                missing = 1;
            } else {
                part = found;
            }
        }
        out = join_path(out, part);
    }
    if (posix.back() == '/' && out.back() != '/') out.push_back('/');
    return out;
}

// Windows keeps a read-only attribute; here a file with no write permission bit plays its part.
static int is_read_only(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

int file_access(const char* path, int mode) {
    if (int e = fault_check(0)) {
        errno = e;
        return -1;
    }
    if (!path || (mode & ~6) != 0) {
        errno = EINVAL;
        return -1;
    }
    std::string p = resolve_path(path);
    struct stat st;
    if (p.empty() || stat(p.c_str(), &st) != 0) {
        errno = p.empty() ? ENOENT : map_errno(errno);
        return -1;
    }
    if ((mode & 2) && is_read_only(st)) {
        errno = EACCES;
        return -1;
    }
    return 0;
}

// The common start of a file call: the fault choke point, then the name resolved. 0 (with errno
// set) when the call is to fail here.
static int begin_file_call(const char* path, int is_write, std::string* resolved) {
    if (int e = fault_check(is_write)) {
        errno = e;
        return 0;
    }
    *resolved = resolve_path(path);
    if (resolved->empty()) {
        errno = ENOENT;
        return 0;
    }
    return 1;
}

int make_dir(const char* path) {
    std::string p;
    if (!begin_file_call(path, 1, &p)) return -1;
    if (mkdir(p.c_str(), 0777) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    note_folder_change(p, 1);
    return 0;
}

int change_dir(const char* path) {
    std::string p;
    if (!begin_file_call(path, 0, &p)) return -1;
    if (chdir(p.c_str()) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    return 0;
}

int remove_file(const char* path) {
    std::string p;
    if (!begin_file_call(path, 0, &p)) return -1;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    // remove() on Windows deletes files only, and refuses read-only ones.
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && is_read_only(st))) {
        errno = EACCES;
        return -1;
    }
    if (unlink(p.c_str()) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    note_folder_change(p, 0);
    return 0;
}

// The target's folder resolved, with the last component as the caller spelled it.
static std::string resolve_as_spelled(const char* path) {
    std::string whole = resolve_path(path);
    size_t cut = whole.find_last_of('/');
    if (cut != std::string::npos && cut + 1 == whole.size()) return whole;
    std::string folder = cut == std::string::npos ? "" : whole.substr(0, cut + 1);
    size_t n = strlen(path);
    int cp932 = is_cp932_text(path, n);
    size_t last = 0;
    for (size_t i = 0; i < n;) {
        size_t l = char_length(path + i, n - i, cp932);
        if (l == 1 && (path[i] == '\\' || path[i] == '/')) last = i + 1;
        i += l;
    }
    return folder + std::string(path + last);
}

static int note_rename(const std::string& source, const std::string& target) {
    note_folder_change(source, 0);
    note_folder_change(target, 1);
    return 0;
}

int rename_file(const char* from, const char* to) {
    if (int e = fault_check(0)) {
        errno = e;
        return -1;
    }
    std::string source = resolve_path(from);
    std::string target = resolve_path(to);
    struct stat sst, tst;
    if (source.empty() || lstat(source.c_str(), &sst) != 0) {
        errno = source.empty() ? ENOENT : map_errno(errno);
        return -1;
    }
    if (target.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (lstat(target.c_str(), &tst) == 0) {
        // Windows lets a name change only its letter case; any other existing target is refused.
        std::string spelled = resolve_as_spelled(to);
        size_t a = source.find_last_of('/') + 1, b = spelled.find_last_of('/') + 1;
        int cp932 = is_cp932_text(spelled.c_str(), spelled.size());
        if (tst.st_ino != sst.st_ino || tst.st_dev != sst.st_dev ||
            compare_folded(source.c_str() + a, source.size() - a, spelled.c_str() + b, spelled.size() - b, cp932) != 0) {
            errno = EEXIST;
            return -1;
        }
        target = spelled;
        if (rename(source.c_str(), target.c_str()) != 0) {
            errno = map_errno(errno);
            return -1;
        }
        return note_rename(source, target);
    }
    // Never overwrite: a file that appears between the check and the rename is kept too.
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return note_rename(source, target);
    if (errno != EINVAL && errno != ENOSYS) {
        errno = map_errno(errno);
        return -1;
    }
    if (lstat(target.c_str(), &tst) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (rename(source.c_str(), target.c_str()) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    return note_rename(source, target);
}

// Makes a rename in folder durable: the folder's entry is on the disk once this returns.
static void sync_folder_of(const std::string& path) {
    size_t cut = path.find_last_of('/');
    std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

int replace_file(const char* from, const char* to) {
    if (int e = fault_check(1)) {
        errno = e;
        return -1;
    }
    std::string source = resolve_path(from);
    std::string target = resolve_path(to);
    struct stat sst, tst;
    if (source.empty() || lstat(source.c_str(), &sst) != 0) {
        errno = source.empty() ? ENOENT : map_errno(errno);
        return -1;
    }
    if (target.empty()) {
        errno = ENOENT;
        return -1;
    }
    // MoveFileEx replaces files only: a folder in the way is refused, as is a folder to be moved
    // over a file.
    if (S_ISDIR(sst.st_mode) || (lstat(target.c_str(), &tst) == 0 && S_ISDIR(tst.st_mode))) {
        errno = EACCES;
        return -1;
    }
    if (rename(source.c_str(), target.c_str()) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    sync_folder_of(target);
    return note_rename(source, target);
}
