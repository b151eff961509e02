// Directory search with the Windows wildcard rules: both the FindFirstFileA and the _findfirst
// family. A search lists its folder once, in case-insensitive ordinal order as NTFS returns names.
// Names reach the tools in CP932, as on a Japanese Windows: a UTF-8 name on disk is converted, and
// one with no CP932 form is passed over with a notice rather than handed on mangled.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

struct find_state {
    std::vector<find_entry> entries;
    size_t next;
};

namespace {

// A pattern token. Windows hands its file systems '?' as DOS_QM, "*." as DOS_STAR and a '.'
// before a wildcard or at the end as DOS_DOT; those are the forms matched here.
enum token_kind { LITERAL, STAR, DOS_STAR, DOS_QM, DOS_DOT };

struct token {
    token_kind kind;
    size_t start;   // LITERAL: the character in the pattern
    size_t length;
};

struct piece {
    size_t start;
    size_t length;
};

std::vector<token> tokenize_pattern(const std::string& pattern, int cp932) {
    std::vector<token> out;
    size_t n = pattern.size();
    for (size_t i = 0; i < n;) {
        size_t l = char_length(pattern.data() + i, n - i, cp932);
        char c = l == 1 ? pattern[i] : '\0';
        char after = i + 1 < n ? pattern[i + 1] : '\0';
        if (c == '?') {
            out.push_back({DOS_QM, i, 1});
        } else if (c == '*') {
            out.push_back({after == '.' ? DOS_STAR : STAR, i, 1});
        } else if (c == '.' && (after == '?' || after == '*' || i + 1 == n)) {
            out.push_back({DOS_DOT, i, 1});
        } else {
            out.push_back({LITERAL, i, l});
        }
        i += l;
    }
    return out;
}

struct matcher {
    const std::string& pattern;
    const std::vector<token>& tokens;
    const char* name;
    std::vector<piece> chars;
    size_t last_dot;                   // index in chars of the name's last '.', or chars.size()
    std::vector<signed char> memo;     // (token, char) -> -1 unknown, 0, 1
    int cp932;                         // the name's double-byte characters are CP932 ones
};

int is_dot(const matcher& m, size_t ci) { return m.chars[ci].length == 1 && m.name[m.chars[ci].start] == '.'; }

int literal_equal(const matcher& m, const token& t, size_t ci) {
    const piece& c = m.chars[ci];
    if (t.length != c.length) return 0;
    const char* a = m.pattern.data() + t.start;
    const char* b = m.name + c.start;
    if (t.length == 2 && m.cp932)
        return fold_double(static_cast<unsigned char>(a[0]), static_cast<unsigned char>(a[1])) ==
               fold_double(static_cast<unsigned char>(b[0]), static_cast<unsigned char>(b[1]));
    if (t.length > 1) return memcmp(a, b, t.length) == 0;
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'a' && x <= 'z') x = x - 'a' + 'A';
    if (y >= 'a' && y <= 'z') y = y - 'a' + 'A';
    return x == y;
}

int match_from(matcher& m, size_t ti, size_t ci) {
    size_t nc = m.chars.size();
    if (ti == m.tokens.size()) return ci == nc;
    signed char& slot = m.memo[ti * (nc + 1) + ci];
    if (slot >= 0) return slot;
    const token& t = m.tokens[ti];
    int ok = 0;
    switch (t.kind) {
    case STAR:
        ok = match_from(m, ti + 1, ci) || (ci < nc && match_from(m, ti, ci + 1));
        break;
    case DOS_STAR:
        // Any characters, but never the name's last period: that one is left for the pattern's.
        ok = match_from(m, ti + 1, ci) || (ci < nc && ci != m.last_dot && match_from(m, ti, ci + 1));
        break;
    case DOS_QM:
        // One character, or none at a period or at the end ("???" finds "." and "ab").
        ok = (ci < nc && match_from(m, ti + 1, ci + 1)) || ((ci == nc || is_dot(m, ci)) && match_from(m, ti + 1, ci));
        break;
    case DOS_DOT:
        ok = (ci < nc && is_dot(m, ci) && match_from(m, ti + 1, ci + 1)) || (ci == nc && match_from(m, ti + 1, ci));
        break;
    case LITERAL:
        ok = ci < nc && literal_equal(m, t, ci) && match_from(m, ti + 1, ci + 1);
        break;
    }
    slot = static_cast<signed char>(ok);
    return ok;
}

int match_name(const std::string& pattern, const std::vector<token>& tokens, const char* name, int cp932) {
    size_t n = strlen(name);
    int name_cp932 = cp932 || is_cp932_text(name, n);
    matcher m{pattern, tokens, name, {}, 0, {}, name_cp932};
    for (size_t i = 0; i < n;) {
        size_t l = char_length(name + i, n - i, name_cp932);
        m.chars.push_back({i, l});
        i += l;
    }
    m.last_dot = m.chars.size();
    for (size_t ci = 0; ci < m.chars.size(); ++ci)
        if (is_dot(m, ci)) m.last_dot = ci;
    m.memo.assign((tokens.size() + 1) * (m.chars.size() + 1), -1);
    return match_from(m, 0, 0);
}

int is_before(const find_entry& a, const find_entry& b) {
    size_t an = strlen(a.name), bn = strlen(b.name);
    int d = compare_folded(a.name, an, b.name, bn, 1);
    if (d != 0) return d < 0;
    return strcmp(a.name, b.name) < 0;
}

// Lists the matches of pattern; null with errno ENOENT when there are none.
find_state* start_search(const char* pattern) {
    path_guard guard;
    if (!pattern) {
        errno = ENOENT;
        return nullptr;
    }
    size_t n = strlen(pattern);
    int cp932 = is_cp932_text(pattern, n);
    size_t name_at = 0;
    for (size_t i = 0; i < n;) {
        size_t l = char_length(pattern + i, n - i, cp932);
        if (l == 1 && (pattern[i] == '\\' || pattern[i] == '/')) name_at = i + 1;
        i += l;
    }
    std::string name_pattern;
    if (!host_name_to_cp932(pattern + name_at, n - name_at, &name_pattern) || name_pattern.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::string folder = name_at == 0 ? "." : resolve_path(std::string(pattern, name_at).c_str());
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        errno = ENOENT;
        return nullptr;
    }
    // A drive's root has no "." and "..".
    int is_root = folder.find_first_not_of('/') == std::string::npos;
    std::vector<token> tokens = tokenize_pattern(name_pattern, 1);
    find_state* state = new find_state{{}, 0};
    int saved = errno;
    while (dirent* e = readdir(dir)) {
        std::string name;
        if (!host_name_to_cp932(e->d_name, strlen(e->d_name), &name)) {
            std::string notice = folder + "/" + e->d_name + ": the name has no CP932 form; passed over\n";
            fflush(stderr);
            if (write(2, notice.data(), notice.size()) < 0) {
                // Nothing more to be done about a notice that cannot be written.
            }
            continue;
        }
        if (name.size() >= sizeof(find_entry::name)) continue;
        int dots = name == "." || name == "..";
        if (dots && is_root) continue;
        if (!match_name(name_pattern, tokens, name.c_str(), 1)) continue;
        find_entry entry;
        memcpy(entry.name, name.c_str(), name.size() + 1);
        struct stat st;
        int is_folder = dots || (fstatat(dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode));
        entry.attrib = is_folder ? ATTR_FOLDER : 0x20;
        state->entries.push_back(entry);
    }
    closedir(dir);
    errno = saved;
    if (state->entries.empty()) {
        delete state;
        errno = ENOENT;
        return nullptr;
    }
    std::sort(state->entries.begin(), state->entries.end(), is_before);
    return state;
}

// Hands out the next entry; 0 with errno ENOENT at the end.
int take_next(find_state* state, find_entry* out) {
    if (state->next >= state->entries.size()) {
        errno = ENOENT;
        return 0;
    }
    *out = state->entries[state->next++];
    return 1;
}

}  // namespace

find_state* find_first_file(const char* pattern, find_entry* out) {
    if (int e = fault_check(0)) {
        errno = e;
        return nullptr;
    }
    find_state* state = start_search(pattern);
    if (state) take_next(state, out);
    return state;
}

int find_next_file(find_state* search, find_entry* out) {
    if (int e = fault_check(0)) {
        errno = e;
        return 0;
    }
    if (!search) {
        errno = EINVAL;
        return 0;
    }
    return take_next(search, out);
}

void find_close(find_state* search) { delete search; }

intptr_t findfirst(const char* pattern, find_entry* out) {
    find_state* state = find_first_file(pattern, out);
    return state ? reinterpret_cast<intptr_t>(state) : -1;
}

int findnext(intptr_t handle, find_entry* out) {
    if (handle == -1 || handle == 0) {
        fault_check(0);
        errno = EINVAL;
        return -1;
    }
    return find_next_file(reinterpret_cast<find_state*>(handle), out) ? 0 : -1;
}

int findclose(intptr_t handle) {
    if (handle == -1 || handle == 0) {
        errno = EINVAL;
        return -1;
    }
    find_close(reinterpret_cast<find_state*>(handle));
    return 0;
}
