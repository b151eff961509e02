// Windows path rules over a POSIX file system, and the msvcrt file calls built on them (_access,
// _mkdir, _chdir, remove, rename). Names may be CP932 (from game files and the registry) or UTF-8.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <ctime>
#include <mutex>
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

int is_also_cp932(const char* s, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    int high = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < 0x80) continue;
        high = 1;
        if (p[i] >= 0xA1 && p[i] <= 0xDF) continue;                    // half-width katakana
        if (!is_cp932_lead(p[i]) || i + 1 == n) return 0;
        unsigned char t = p[++i];
        if (t < 0x40 || t == 0x7F || t > 0xFC) return 0;
    }
    return high;
}

size_t char_length(const char* s, size_t left, int cp932) {
    unsigned char c = static_cast<unsigned char>(s[0]);
    if (left < 2) return left;
    if (cp932) return is_cp932_lead(c) ? 2 : 1;
    if (c < 0xC0) return 1;
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return n <= left ? n : left;
}

static unsigned char fold_upper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

unsigned fold_double(unsigned char lead, unsigned char trail) {
    // Windows folds case beyond ASCII: CP932's full-width Latin letters, Greek, Cyrillic and the
    // Roman numerals name one file in either case (and the numerals under each of their codes).
    unsigned code = static_cast<unsigned>(lead) << 8 | trail;
    if (code >= 0x8281 && code <= 0x829A) return code - 0x21;               // full-width a-z
    if (code >= 0x83BF && code <= 0x83D6) return code - 0x20;               // Greek
    if (code >= 0x8470 && code <= 0x847E) return code - 0x30;               // Cyrillic, before the gap
    if (code >= 0x8480 && code <= 0x8491) return code - 0x31;               // Cyrillic, after it
    if (code >= 0xFA40 && code <= 0xFA49) return code - 0xFA40 + 0x8754;    // small Roman numerals
    if (code >= 0xEEEF && code <= 0xEEF8) return code - 0xEEEF + 0x8754;    // the same, NEC-selected
    if (code >= 0xFA4A && code <= 0xFA53) return code - 0xFA4A + 0x8754;    // capital ones, IBM codes
    return code;
}

int compare_folded(const char* a, size_t an, const char* b, size_t bn, int cp932) {
    size_t i = 0, j = 0;
    while (i < an && j < bn) {
        size_t la = char_length(a + i, an - i, cp932);
        size_t lb = char_length(b + j, bn - j, cp932);
        if (la == 1 && lb == 1) {
            int d = fold_upper(static_cast<unsigned char>(a[i])) - fold_upper(static_cast<unsigned char>(b[j]));
            if (d != 0) return d;
        } else if (cp932 && la == 2 && lb == 2) {
            // A double-byte character's trail byte is no letter: the character folds whole.
            unsigned x = fold_double(static_cast<unsigned char>(a[i]), static_cast<unsigned char>(a[i + 1]));
            unsigned y = fold_double(static_cast<unsigned char>(b[j]), static_cast<unsigned char>(b[j + 1]));
            if (x != y) return x < y ? -1 : 1;
        } else {
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

// Listings of the folders looked into lately, by names without regard to case (and CP932 or UTF-8
// spelling). A name that does not exist exactly is looked up here rather than by reading its folder
// again: a GAMEEXE.INI naming 1,000 tracks in a lower-case "bgm" folder, or thousands of voices
// made in one folder, would otherwise read the folder for every name.
//
// A listing is trusted while its folder keeps its identity and time stamps, checked with one
// status call per use. Changes this process makes through the calls here are put into the listing
// as they happen; the folder's new stamps then fall between the check before them and the moment
// after them, which tells them from another program's later change without a further call. (A
// change by another program within the same clock tick can go unseen, so a name looked for to be
// read and not found is looked for again in a folder read afresh.)
constexpr size_t MAX_LISTINGS = 64;

struct folder_listing {
    dev_t dev;
    ino_t ino;
    struct timespec mtime, ctime;
    int changed_by_us;             // stamps may have moved since, within [checked, changed_until]
    struct timespec checked, changed_until;
    unsigned long used;
    unsigned long epoch;           // the resolution that last checked it
    std::unordered_map<std::string, std::vector<std::string>> names;   // key -> spellings on disk
};

static std::recursive_mutex path_mutex;

// A call holds the rules for one or two system calls: a thread that finds them taken waits for
// that a few microseconds on its processor before it sleeps (a sleep and its wake-up cost two
// system calls more than the wait).
path_guard::path_guard() {
    for (int spin = 0; spin < 4000; ++spin) {
        if (path_mutex.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    path_mutex.lock();
}
path_guard::~path_guard() { path_mutex.unlock(); }

static std::unordered_map<std::string, folder_listing> listings;
static unsigned long listing_uses;
static unsigned long resolution_epoch;
static int hold_epoch;           // the next resolution belongs to the same call as the last one
static int read_afresh;          // folders are read again, not checked
static int reading_as_cp932;     // names that also read as UTF-8 are being taken for CP932
static int consulted_listing;    // the last resolution looked a name up in a listing

// The clock the file system stamps changes with, read without a system call: the coarse clock
// is never ahead of a stamp given later, the fine one never behind a stamp given earlier (a file
// system may stamp a change finely when its folder was looked at in the same tick).
static struct timespec stamp_clock(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return t;
}

static int before_or_at(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

// The key a name is listed under: its CP932 form (a UTF-8 name converted where it can be),
// ASCII letters in upper case; trail bytes stay as they are.
static std::string name_key(const char* s, size_t n, int cp932) {
    std::string text(s, n);
    int as_cp932 = cp932;
    if (!cp932 && has_high_bytes(s, n)) {
        std::string converted;
        if (utf8_to_cp932(s, n, &converted)) {
            text = converted;
            as_cp932 = 1;
        }
    }
    std::string key;
    key.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t l = char_length(text.data() + i, text.size() - i, as_cp932);
        if (l == 1) {
            key.push_back(static_cast<char>(fold_upper(static_cast<unsigned char>(text[i]))));
        } else if (as_cp932 && l == 2) {
            unsigned folded = fold_double(static_cast<unsigned char>(text[i]), static_cast<unsigned char>(text[i + 1]));
            key.push_back(static_cast<char>(folded >> 8));
            key.push_back(static_cast<char>(folded & 0xFF));
        } else {
            key.append(text.data() + i, l);
        }
        i += l;
    }
    return key;
}

static std::string host_key(const char* name) {
    size_t len = strlen(name);
    return name_key(name, len, is_cp932_text(name, len));
}

static int same_stamp(const folder_listing& l, const struct stat& st) {
    if (l.dev != st.st_dev || l.ino != st.st_ino) return 0;
    if (l.changed_by_us)
        return before_or_at(l.checked, st.st_mtim) && before_or_at(st.st_mtim, l.changed_until) &&
               before_or_at(l.checked, st.st_ctim) && before_or_at(st.st_ctim, l.changed_until);
    return l.mtime.tv_sec == st.st_mtim.tv_sec && l.mtime.tv_nsec == st.st_mtim.tv_nsec &&
           l.ctime.tv_sec == st.st_ctim.tv_sec && l.ctime.tv_nsec == st.st_ctim.tv_nsec;
}

static void take_stamp(folder_listing& l, const struct stat& st) {
    l.dev = st.st_dev;
    l.ino = st.st_ino;
    l.mtime = st.st_mtim;
    l.ctime = st.st_ctim;
    l.changed_by_us = 0;
    l.checked = stamp_clock(CLOCK_REALTIME_COARSE);
    l.epoch = resolution_epoch;
}

// 1 when the folder's last stamp lies so close to the taking of its listing that another change
// in the same clock tick would not have moved it.
static int stamped_lately(const folder_listing& l) {
    if (l.changed_by_us) return 1;
    double gap = static_cast<double>(l.checked.tv_sec - l.mtime.tv_sec) + (l.checked.tv_nsec - l.mtime.tv_nsec) / 1e9;
    return gap < 0.05;
}

static void forget_oldest_listing() {
    auto oldest = listings.begin();
    for (auto it = listings.begin(); it != listings.end(); ++it)
        if (it->second.used < oldest->second.used) oldest = it;
    if (oldest != listings.end()) listings.erase(oldest);
}

// The listing of folder, checked or read afresh (always with reread); null when the folder cannot
// be read.
static folder_listing* listing_of(const std::string& folder, int reread = 0) {
    consulted_listing = 1;
    auto found = listings.find(folder);
    if (found != listings.end()) {
        found->second.used = ++listing_uses;
        if (reread) found->second.changed_by_us = 1;   // taken as stamped lately: read again
        if (found->second.epoch == resolution_epoch && !((read_afresh || reread) && stamped_lately(found->second)))
            return &found->second;
        // Checked in this very clock tick: another program's change in the tick could go unseen by
        // a check as well, so the status call would tell nothing more. This keeps a folder being
        // filled with voices at one check per tick instead of one per name.
        if (!read_afresh && !reread) {
            struct timespec now = stamp_clock(CLOCK_REALTIME_COARSE);
            if (now.tv_sec == found->second.checked.tv_sec && now.tv_nsec == found->second.checked.tv_nsec) {
                found->second.epoch = resolution_epoch;
                return &found->second;
            }
        }
    }
    const char* where = folder.empty() ? "." : folder.c_str();
    struct stat st;
    if (stat(where, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (found != listings.end()) listings.erase(found);
        return nullptr;
    }
    // Read afresh only where a change can hide: stamps given in the tick the listing was taken.
    if (found != listings.end() && !((read_afresh || reread) && stamped_lately(found->second)) &&
        same_stamp(found->second, st)) {
        take_stamp(found->second, st);
        return &found->second;
    }
    if (found == listings.end()) {
        if (listings.size() >= MAX_LISTINGS) forget_oldest_listing();
        found = listings.emplace(folder, folder_listing()).first;
        found->second.used = ++listing_uses;
    }
    folder_listing& l = found->second;
    l.names.clear();
    DIR* dir = opendir(where);
    if (!dir) {
        listings.erase(found);
        return nullptr;
    }
    while (dirent* e = readdir(dir)) l.names[host_key(e->d_name)].push_back(e->d_name);
    closedir(dir);
    // Stamped as before the reading: a change made meanwhile shows at the next look.
    take_stamp(l, st);
    return &l;
}

// The entry of folder whose name is name without regard to case or encoding: the exact spelling
// when it exists, else its UTF-8 form, else the first variant in byte order (a repeatable choice).
// "" when there is none (or the folder cannot be read).
// The spelling listing l has for name: exact, its UTF-8 form, else the first variant in byte order
// (a repeatable choice); "" when there is none.
static std::string spelling_in(const folder_listing& l, const std::string& name, const std::string& utf8, int cp932) {
    auto found = l.names.find(name_key(name.data(), name.size(), cp932));
    if (found == l.names.end()) return "";
    std::string best;
    for (const std::string& spelling : found->second) {
        if (spelling == name || spelling == utf8) return spelling;
        if (best.empty() || spelling < best) best = spelling;
    }
    return best;
}

// The entry of folder whose name is name without regard to case or encoding; "" when there is none
// (or the folder cannot be read). A variant in another case is made sure of before it is taken:
// a name removed by another program in the tick of a change of ours would otherwise live on.
static std::string find_variant(const std::string& folder, const std::string& name, const std::string& utf8) {
    int cp932 = reading_as_cp932 || is_cp932_text(name.data(), name.size());
    folder_listing* l = listing_of(folder);
    if (!l) return "";
    std::string spelling = spelling_in(*l, name, utf8, cp932);
    struct stat st;
    if (spelling.empty() || spelling == name || spelling == utf8 || lstat(join_path(folder, spelling).c_str(), &st) == 0)
        return spelling;
    l = listing_of(folder, 1);
    return l ? spelling_in(*l, name, utf8, cp932) : "";
}

static void split_last(const std::string& path, std::string* folder, std::string* name) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t cut = p.find_last_of('/');
    *folder = cut == std::string::npos ? "" : cut == 0 ? "/" : p.substr(0, cut);
    *name = cut == std::string::npos ? p : p.substr(cut + 1);
}

void note_folder_change(const std::string& path, int added) {
    std::string folder, name;
    split_last(path, &folder, &name);
    auto found = listings.find(folder);
    if (found != listings.end()) {
        folder_listing& l = found->second;
        std::string key = host_key(name.c_str());
        std::vector<std::string>& spellings = l.names[key];
        for (size_t k = 0; k < spellings.size(); ++k) {
            if (spellings[k] == name) {
                spellings.erase(spellings.begin() + static_cast<long>(k));
                break;
            }
        }
        if (added) spellings.push_back(name);
        if (spellings.empty()) l.names.erase(key);
        // Only a listing checked just before the change can tell the change's stamps as ours.
        if (l.epoch == resolution_epoch) {
            l.changed_by_us = 1;
            l.changed_until = stamp_clock(CLOCK_REALTIME);
        } else {
            listings.erase(found);
        }
    }
    std::string self = path;
    while (self.size() > 1 && self.back() == '/') self.pop_back();
    listings.erase(self);
}

void note_folder_made(const std::string& path) {
    // An empty folder this process has just made needs no reading; its stamps are ours.
    std::string self = path;
    while (self.size() > 1 && self.back() == '/') self.pop_back();
    struct stat st;
    if (stat(self.c_str(), &st) != 0) return;
    if (listings.size() >= MAX_LISTINGS) forget_oldest_listing();
    folder_listing& l = listings[self];
    l.names.clear();
    l.names["."].push_back(".");
    l.names[".."].push_back("..");
    take_stamp(l, st);
    l.used = ++listing_uses;
}

void forget_listings() { listings.clear(); }

int resolved_by_trust() { return consulted_listing; }

// The component as a name on this host: CP932 in its UTF-8 form, where it has one.
static std::string host_spelling(const std::string& part, int cp932) {
    std::string utf8;
    if (cp932 && has_high_bytes(part.data(), part.size()) && cp932_to_utf8(part.data(), part.size(), &utf8)) return utf8;
    return part;
}

static std::string resolve_components(const std::string& posix, int cp932) {
    std::string out = posix[0] == '/' ? "/" : "";
    size_t pos = 0;
    int missing = 0;
    while (pos < posix.size()) {
        size_t slash = posix.find('/', pos);
        if (slash == std::string::npos) slash = posix.size();
        std::string part = posix.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty()) continue;
        std::string host = host_spelling(part, cp932);
        if (!missing && part != "." && part != "..") {
            std::string found = find_variant(out, part, host);
            if (found.empty()) {
                missing = 1;
                part = host;
            } else {
                part = found;
            }
        } else {
            part = host;
        }
        out = join_path(out, part);
    }
    if (posix.back() == '/' && out.back() != '/') out.push_back('/');
    return out;
}

static std::string resolve_spelled(const char* path, size_t n, int cp932);

std::string resolve_path(const char* path) {
    consulted_listing = 0;
    if (!hold_epoch) ++resolution_epoch;
    hold_epoch = 0;
    if (!path) return "";
    size_t n = strlen(path);
    int cp932 = is_cp932_text(path, n);
    std::string found = resolve_spelled(path, n, cp932);
    // Bytes that read as UTF-8 and as CP932 alike (half-width katakana from a game's files) name
    // what exists under either reading; a name still to be made keeps the UTF-8 one.
    struct stat st;
    if (!cp932 && is_also_cp932(path, n) && lstat(found.c_str(), &st) != 0) {
        reading_as_cp932 = 1;
        std::string other = resolve_spelled(path, n, 1);
        reading_as_cp932 = 0;
        if (lstat(other.c_str(), &st) == 0) return other;
    }
    return found;
}

static std::string resolve_spelled(const char* path, size_t n, int cp932) {
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
    if (posix.empty()) return posix;
    // A name in a folder listed lately is looked up there: one status call for the folder, none
    // for the name (a voice made in a folder being filled costs no look-up of its own).
    std::string folder, name;
    split_last(posix, &folder, &name);
    if (posix.back() != '/' && name != "." && name != ".." && !has_high_bytes(posix.data(), posix.size()) &&
        listings.count(folder)) {
        std::string spelling = find_variant(folder, name, name);
        if (listings.count(folder)) return spelling.empty() ? posix : join_path(folder, spelling);
    }
    struct stat st;
    if (lstat(posix.c_str(), &st) == 0) return posix;
    if (cp932 && has_high_bytes(posix.data(), posix.size())) {
        std::string utf8;
        if (cp932_to_utf8(posix.data(), posix.size(), &utf8) && lstat(utf8.c_str(), &st) == 0) return utf8;
    }
    return resolve_components(posix, cp932);
}

std::string resolve_path_checked(const char* path) {
    read_afresh = 1;
    std::string p = resolve_path(path);
    read_afresh = 0;
    return p;
}

std::string resolve_path_too(const char* path) {
    hold_epoch = 1;
    return resolve_path(path);
}

// Windows keeps a read-only attribute; here a file with no write permission bit plays its part.
static int is_read_only(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

int file_access(const char* path, int mode) {
    path_guard guard;
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
    int found = !p.empty() && stat(p.c_str(), &st) == 0;
    if (!found && !p.empty() && errno == ENOENT && resolved_by_trust()) {
        p = resolve_path_checked(path);
        found = stat(p.c_str(), &st) == 0;
    }
    if (!found) {
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
    path_guard guard;
    std::string p;
    if (!begin_file_call(path, 1, &p)) return -1;
    if (mkdir(p.c_str(), 0777) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    note_folder_change(p, 1);
    note_folder_made(p);
    return 0;
}

int change_dir(const char* path) {
    path_guard guard;
    std::string p;
    if (!begin_file_call(path, 0, &p)) return -1;
    if (chdir(p.c_str()) != 0 && !(errno == ENOENT && resolved_by_trust() &&
                                    chdir(resolve_path_checked(path).c_str()) == 0)) {
        errno = map_errno(errno);
        return -1;
    }
    forget_listings();
    return 0;
}

int remove_dir(const char* path) {
    path_guard guard;
    std::string p;
    if (!begin_file_call(path, 1, &p)) return -1;
    if (rmdir(p.c_str()) != 0 && !(errno == ENOENT && resolved_by_trust() &&
                                   rmdir(resolve_path_checked(path).c_str()) == 0)) {
        errno = map_errno(errno);
        return -1;
    }
    note_folder_change(p, 0);
    return 0;
}

int remove_file(const char* path) {
    path_guard guard;
    std::string p;
    if (!begin_file_call(path, 0, &p)) return -1;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 && !(errno == ENOENT && resolved_by_trust() &&
                                        lstat((p = resolve_path_checked(path)).c_str(), &st) == 0)) {
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
    return folder + host_spelling(std::string(path + last), cp932);
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
    path_guard guard;
    std::string source = resolve_path(from);
    int trusted = resolved_by_trust();
    std::string target = resolve_path_too(to);
    trusted |= resolved_by_trust();
    // The common case in one call: a name that exists to one that does not (a same-tick change by
    // another program aside, the listings have just shown that).
    if (!source.empty() && !target.empty() && source != target &&
        renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return note_rename(source, target);
    if (trusted) {
        source = resolve_path_checked(from);
        target = resolve_path_checked(to);
    }
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

int replace_file(const char* from, const char* to) {
    path_guard guard;
    if (int e = fault_check(1)) {
        errno = e;
        return -1;
    }
    std::string source = resolve_path(from);
    std::string target = resolve_path_too(to);
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
    // over a file, and so is a read-only file (root included: the attribute is checked here).
    int target_found = lstat(target.c_str(), &tst) == 0;
    if (S_ISDIR(sst.st_mode) ||
        (target_found && (S_ISDIR(tst.st_mode) || (S_ISREG(tst.st_mode) && is_read_only(tst))))) {
        errno = EACCES;
        return -1;
    }
    if (rename(source.c_str(), target.c_str()) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    // The folder is not synced: either name then holds a whole file, which is what a reader needs,
    // and a sync per voice would cost drusel more than the encoder's own start.
    return note_rename(source, target);
}

// A file with no write bit for anyone is read-only (a copy from a CD); clearing gives the owner the
// write bit back, as the attribute's absence does on Windows.
int set_read_only(const char* path, int read_only) {
    path_guard guard;
    std::string p;
    if (!begin_file_call(path, 1, &p)) return -1;
    struct stat st;
    if (stat(p.c_str(), &st) != 0 && !(errno == ENOENT && resolved_by_trust() &&
                                       stat((p = resolve_path_checked(path)).c_str(), &st) == 0)) {
        errno = map_errno(errno);
        return -1;
    }
    mode_t mode = st.st_mode & 07777;
    mode = read_only ? mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH) : is_read_only(st) ? mode | S_IWUSR : mode;
    if (chmod(p.c_str(), mode) != 0) {
        errno = map_errno(errno);
        return -1;
    }
    return 0;
}

// Windows' sharing, as far as one program holding a file against another goes: an advisory lock,
// and a file removed while it was being taken counts as held (its holder is ending).
intptr_t lock_file(const char* path) {
    path_guard guard;
    std::string p;
    if (!begin_file_call(path, 1, &p)) return -1;
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        errno = map_errno(errno);
        return -1;
    }
    struct stat held, named;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &held) != 0 || stat(p.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
        close(fd);
        errno = EBUSY;
        return -1;
    }
    note_folder_change(p, 1);
    return fd;
}

void unlock_file(intptr_t handle) { close(static_cast<int>(handle)); }
