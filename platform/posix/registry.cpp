// HKEY_CURRENT_USER as a REGEDIT4 text file ($VNAUDIO_REGISTRY, else the user's config folder).
// Every call reads the file afresh; a change rewrites it whole through a temporary file and a
// rename, keeping every other line as it was, so a crash leaves the old or the new file, never half.
// A change holds a lock (flock on "<store>.lock" beside it) from reading to renaming, so two tools
// changing one store lose nothing; the temporary file has one name ("<store>.new"), so one left by
// a killed run is taken up and renamed away by the next change.
//
// Text: the tools speak CP932, a person editing the store writes UTF-8. Each line is read as UTF-8
// when it is valid UTF-8 and as CP932 otherwise (stores written before were CP932), so a key path
// or value typed by hand means what the game's CP932 name means. Lines the tools write are UTF-8;
// a string with no exact UTF-8 form is written as hex(1): bytes, a name with none in CP932 bytes.
// Anything but a regular file is refused unread (never a wait on a FIFO), as is a store larger than
// any sane registry (MAX_STORE_BYTES).
//
// Value lines: "name"="string" (\\ and \" escaped byte by byte, CP932 kept as it is), @= for the
// unnamed value, dword:xxxxxxxx, hex:bb,bb,... and hex(n):... (a line ending in \ goes on), and
// "name"=- (no value). Strings set without their terminating zero, or holding a zero or a line
// end, are written in the hex(1): form so that they read back byte for byte.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

struct reg_key_s {
    std::string path;     // below HKEY_CURRENT_USER, as the caller spelled it
    unsigned access;
};

namespace {

constexpr long REG_INVALID_HANDLE = 6;      // ERROR_INVALID_HANDLE
constexpr long REG_DISK_FULL = 112;         // ERROR_DISK_FULL
constexpr long REG_INVALID_PARAMETER = 87;  // ERROR_INVALID_PARAMETER
constexpr long REG_IO_FAILED = 1016;        // ERROR_REGISTRY_IO_FAILED
constexpr long REG_KEY_DELETED = 1018;      // ERROR_KEY_DELETED
constexpr uint32_t REG_TYPE_DWORD = 4;
constexpr uint32_t REG_TYPE_BINARY = 3;
const char HKCU[] = "HKEY_CURRENT_USER";
constexpr off_t MAX_STORE_BYTES = 64 << 20;

struct store_value {
    size_t first_line, last_line;
    std::string name;
    int absent;           // "name"=- : no such value
    int string_form;      // "name"="..." : the data reads back with a terminating zero
    uint32_t type;
    std::string data;
};

struct store_key {
    size_t line;
    int is_hkcu;
    std::string path;     // below HKEY_CURRENT_USER
    std::vector<store_value> values;
};

struct store {
    std::string file;
    int exists;
    std::string eol;
    std::vector<std::string> lines;
    std::vector<store_key> keys;
};

// A name, path or string of a line as the tools see it: a UTF-8 line's (unescaped) text in CP932.
std::string as_cp932(const std::string& line, const std::string& text) {
    std::string cp932;
    if (is_cp932_text(line.data(), line.size()) || !utf8_to_cp932(text.data(), text.size(), &cp932)) return text;
    return cp932;
}

// 1 when text (CP932) has a UTF-8 form that reads back as the same bytes.
int has_exact_utf8(const std::string& text, std::string* utf8) {
    std::string back;
    return cp932_to_utf8(text.data(), text.size(), utf8) && !is_cp932_text(utf8->data(), utf8->size()) &&
           utf8_to_cp932(utf8->data(), utf8->size(), &back) && back == text;
}

// A line the tools made (CP932) as it goes into the file.
std::string line_for_file(const std::string& line) {
    std::string utf8;
    return has_exact_utf8(line, &utf8) ? utf8 : line;
}

// The store's name as this process prints it: its standard error may take CP932 to the host.
std::string shown(const std::string& file) {
    std::string cp932;
    return standard_streams_convert() && host_name_to_cp932(file.data(), file.size(), &cp932) ? cp932 : file;
}

long fault_code(int e) { return e == ENOSPC ? REG_DISK_FULL : REG_IO_FAILED; }

std::string store_file() {
    const char* own = getenv("VNAUDIO_REGISTRY");
    if (own && *own) return own;
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/vnaudio/registry.reg";
    const char* home = getenv("HOME");
    if (home && *home) return std::string(home) + "/.config/vnaudio/registry.reg";
    return "";
}

int equal_folded(const std::string& a, const std::string& b) {
    return compare_folded(a.data(), a.size(), b.data(), b.size(), 1) == 0;
}

// 1 when section is the key path itself, 2 when it lies below it, else 0. Registry text is CP932,
// so a double-byte character (its trail byte may be '\' or a letter) is one unit throughout.
int match_key(const std::string& section, const std::string& key) {
    size_t i = 0, j = 0;
    while (i < section.size() && j < key.size()) {
        size_t la = char_length(section.data() + i, section.size() - i, 1);
        size_t lb = char_length(key.data() + j, key.size() - j, 1);
        if (compare_folded(section.data() + i, la, key.data() + j, lb, 1) != 0) return 0;
        i += la;
        j += lb;
    }
    if (j < key.size()) return 0;
    if (i == section.size()) return 1;
    return key.empty() || section[i] == '\\' ? 2 : 0;
}

long report_bad_store(const store& s, size_t line, const char* why) {
    fprintf(stderr, "%s:%zu: registry store not understood: %s\n", shown(s.file).c_str(), line + 1, why);
    return REG_BAD_STORE;
}

size_t skip_blanks(const std::string& t, size_t i) {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    return i;
}

int only_blanks_from(const std::string& t, size_t i) { return skip_blanks(t, i) == t.size(); }

// A quoted string from t[i] == '"': \\ and \" are one byte each, every other byte is kept. With
// to_line_end, a quote counts as the closing one only when nothing but blanks follows it (the
// tools' restore file writes a quote inside a value as it is). Answers the index after the
// closing quote, or 0 when there is none.
size_t parse_quoted(const std::string& t, size_t i, int to_line_end, std::string& out) {
    out.clear();
    for (++i; i < t.size(); ++i) {
        char c = t[i];
        if (c == '\\' && i + 1 < t.size() && (t[i + 1] == '\\' || t[i + 1] == '"')) {
            out.push_back(t[++i]);
        } else if (c == '"') {
            if (!to_line_end || only_blanks_from(t, i + 1)) return i + 1;
            out.push_back(c);
        } else {
            out.push_back(c);
        }
    }
    return 0;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int starts_with_folded(const std::string& t, size_t i, const char* word) {
    size_t n = strlen(word);
    return t.size() - i >= n && compare_folded(t.data() + i, n, word, n, 0) == 0;
}

// The data of a value line from t[i] on (the text after '='); line may advance over hex lines
// that go on. Answers null, or why the data is not understood.
const char* parse_data(const store& s, size_t& line, std::string t, size_t i, store_value& v) {
    if (i < t.size() && t[i] == '"') {
        if (parse_quoted(t, i, 1, v.data) == 0) return "unterminated quote";
        v.data = as_cp932(t, v.data);
        v.type = REG_TYPE_SZ;
        v.string_form = 1;
        return nullptr;
    }
    if (i < t.size() && t[i] == '-' && only_blanks_from(t, i + 1)) {
        v.absent = 1;
        return nullptr;
    }
    if (starts_with_folded(t, i, "dword:")) {
        i += 6;
        size_t digits = 0;
        uint32_t value = 0;
        while (i < t.size() && hex_digit(t[i]) >= 0 && digits < 8) {
            value = value << 4 | static_cast<uint32_t>(hex_digit(t[i++]));
            ++digits;
        }
        if (digits == 0 || !only_blanks_from(t, i)) return "bad dword value";
        v.type = REG_TYPE_DWORD;
        for (int k = 0; k < 4; ++k) v.data.push_back(static_cast<char>(value >> (8 * k)));
        return nullptr;
    }
    if (!starts_with_folded(t, i, "hex")) return "value data not understood";
    i += 3;
    v.type = REG_TYPE_BINARY;
    if (i < t.size() && t[i] == '(') {
        size_t close = t.find(')', i);
        if (close == std::string::npos || close == i + 1 || close - i > 9) return "bad hex value type";
        uint32_t type = 0;
        for (size_t k = i + 1; k < close; ++k) {
            if (hex_digit(t[k]) < 0) return "bad hex value type";
            type = type << 4 | static_cast<uint32_t>(hex_digit(t[k]));
        }
        v.type = type;
        i = close + 1;
    }
    if (i >= t.size() || t[i] != ':') return "value data not understood";
    ++i;
    for (;;) {
        i = skip_blanks(t, i);
        if (i == t.size()) return nullptr;
        if (t[i] == '\\' && only_blanks_from(t, i + 1)) {
            // The bytes go on in the next line.
            if (line + 1 >= s.lines.size()) return "hex value goes on past the end";
            t = s.lines[++line];
            if (!t.empty() && t.back() == '\r') t.pop_back();
            i = 0;
            continue;
        }
        if (i + 1 >= t.size() || hex_digit(t[i]) < 0 || hex_digit(t[i + 1]) < 0) return "bad hex byte";
        v.data.push_back(static_cast<char>(hex_digit(t[i]) << 4 | hex_digit(t[i + 1])));
        i = skip_blanks(t, i + 2);
        if (i < t.size() && t[i] == ',') ++i;
        else if (i < t.size() && t[i] != '\\') return "bad hex byte";
    }
}

long parse_store(store& s) {
    s.exists = 0;
    s.lines.clear();
    s.keys.clear();
    s.eol = "\n";
    int fd = open(s.file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return REG_OK;
        fprintf(stderr, "%s: cannot read the registry store: %s\n", shown(s.file).c_str(), strerror(errno));
        return REG_IO_FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "%s: cannot read the registry store: not a regular file\n", shown(s.file).c_str());
        close(fd);
        return REG_IO_FAILED;
    }
    if (st.st_size > MAX_STORE_BYTES) {
        fprintf(stderr, "%s: registry store not understood: larger than %d MiB\n", shown(s.file).c_str(),
                static_cast<int>(MAX_STORE_BYTES >> 20));
        close(fd);
        return REG_BAD_STORE;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) {
            fprintf(stderr, "%s: cannot read the registry store: %s\n", shown(s.file).c_str(), strerror(errno));
            close(fd);
            return REG_IO_FAILED;
        }
        if (k == 0) break;
        text.append(buf, static_cast<size_t>(k));
        if (text.size() > static_cast<size_t>(MAX_STORE_BYTES)) {
            fprintf(stderr, "%s: registry store not understood: larger than %d MiB\n", shown(s.file).c_str(),
                    static_cast<int>(MAX_STORE_BYTES >> 20));
            close(fd);
            return REG_BAD_STORE;
        }
    }
    close(fd);
    s.exists = 1;

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        s.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (s.lines.empty()) return REG_OK;
    if (!s.lines[0].empty() && s.lines[0].back() == '\r') s.eol = "\r\n";

    std::string first = s.lines[0];
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (first.compare(0, 3, "\xEF\xBB\xBF") == 0) first.erase(0, 3);
    first.resize(first.find_last_not_of(" \t") + 1);
    if (first != "REGEDIT4") return report_bad_store(s, 0, "the first line is not REGEDIT4");

    for (size_t line = 1; line < s.lines.size(); ++line) {
        std::string t = s.lines[line];
        if (!t.empty() && t.back() == '\r') t.pop_back();
        size_t i = skip_blanks(t, 0);
        if (i == t.size() || t[i] == ';') continue;
        if (t[i] == '[') {
            size_t last = t.find_last_not_of(" \t");
            if (t[last] != ']') return report_bad_store(s, line, "key line without ]");
            std::string name = as_cp932(t, t.substr(i + 1, last - i - 1));
            store_key key{line, 0, "", {}};
            size_t n = sizeof HKCU - 1;
            if (name.size() >= n && compare_folded(name.data(), n, HKCU, n, 0) == 0 &&
                (name.size() == n || name[n] == '\\')) {
                key.is_hkcu = 1;
                key.path = name.size() == n ? "" : name.substr(n + 1);
            }
            s.keys.push_back(key);
            continue;
        }
        if (t[i] != '"' && t[i] != '@') return report_bad_store(s, line, "neither a key nor a value line");
        if (s.keys.empty()) return report_bad_store(s, line, "value line outside any key");
        store_value v{line, line, "", 0, 0, 0, ""};
        if (t[i] == '@') {
            ++i;
        } else {
            i = parse_quoted(t, i, 0, v.name);
            if (i == 0) return report_bad_store(s, line, "unterminated quote");
            v.name = as_cp932(t, v.name);
        }
        i = skip_blanks(t, i);
        if (i == t.size() || t[i] != '=') return report_bad_store(s, line, "no = after the value name");
        i = skip_blanks(t, i + 1);
        size_t at = line;
        if (const char* why = parse_data(s, line, t, i, v)) return report_bad_store(s, line, why);
        v.first_line = at;
        v.last_line = line;
        s.keys.back().values.push_back(v);
    }
    return REG_OK;
}

int key_exists(const store& s, const std::string& path) {
    if (path.empty()) return 1;
    for (const store_key& k : s.keys)
        if (k.is_hkcu && match_key(k.path, path) != 0) return 1;
    return 0;
}

// The value as the file defines it last (a later line overrides an earlier one, as an import does).
const store_value* find_value(const store& s, const std::string& path, const std::string& name) {
    const store_value* found = nullptr;
    for (const store_key& k : s.keys) {
        if (!k.is_hkcu || match_key(k.path, path) != 1) continue;
        for (const store_value& v : k.values)
            if (equal_folded(v.name, name)) found = &v;
    }
    return found;
}

std::string quote(const std::string& raw) {
    std::string out = "\"";
    for (char c : raw) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// The value's line as it goes into the file: in UTF-8 where the name (and a string's text) has an
// exact UTF-8 form; a string without one is written as hex(1): bytes, and a name without one keeps
// the line in CP932 bytes (read back as such).
std::string format_value(const std::string& name, uint32_t type, const unsigned char* data, uint32_t size) {
    std::string utf8_name;
    int utf8 = has_exact_utf8(name, &utf8_name);
    std::string line = name.empty() ? "@=" : quote(utf8 ? utf8_name : name) + "=";
    int plain = type == REG_TYPE_SZ && size > 0 && data[size - 1] == 0;
    for (uint32_t k = 0; plain && k + 1 < size; ++k)
        if (data[k] == 0 || data[k] == '\n' || data[k] == '\r') plain = 0;
    std::string text(reinterpret_cast<const char*>(data), plain ? size - 1 : 0), utf8_text;
    if (plain && utf8 && !has_exact_utf8(text, &utf8_text)) plain = 0;
    if (plain) return line + quote(utf8 ? utf8_text : text);
    char piece[32];
    if (type == REG_TYPE_DWORD && size == 4) {
        snprintf(piece, sizeof piece, "dword:%08x",
                 static_cast<unsigned>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24));
        return line + piece;
    }
    if (type == REG_TYPE_BINARY) {
        line += "hex:";
    } else {
        snprintf(piece, sizeof piece, "hex(%x):", static_cast<unsigned>(type));
        line += piece;
    }
    for (uint32_t k = 0; k < size; ++k) {
        snprintf(piece, sizeof piece, k ? ",%02x" : "%02x", data[k]);
        line += piece;
    }
    return line;
}

size_t write_all(int fd, const char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t k = write(fd, p + done, n - done);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            if (k == 0) errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(k);
    }
    return done;
}

// Makes the folders the store file is to be in; a first value may need them.
void make_store_folder(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string folder = file.substr(0, slash);
    for (size_t k = 1; k <= folder.size(); ++k)
        if (k == folder.size() || folder[k] == '/') mkdir(folder.substr(0, k).c_str(), 0700);
}

// The file the store really is: its name with every symbolic link followed (also one that names a
// store still to be made), so that tools reaching one store by two names share its lock and its
// temporary file, and a change replaces the file, never the link.
std::string real_store_file(const std::string& file) {
    std::string at = file;
    for (int hops = 0; hops < 40; ++hops) {
        char buffer[PATH_MAX];
        ssize_t n = readlink(at.c_str(), buffer, sizeof buffer - 1);
        if (n <= 0) break;
        std::string target(buffer, static_cast<size_t>(n));
        size_t slash = at.find_last_of('/');
        at = target[0] == '/' || slash == std::string::npos ? target : at.substr(0, slash + 1) + target;
    }
    size_t slash = at.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
    char real[PATH_MAX];
    if (!realpath(folder.c_str(), real)) return at;
    std::string whole = real;
    if (whole.back() != '/') whole.push_back('/');
    return whole + (slash == std::string::npos ? at : at.substr(slash + 1));
}

// Takes the store's lock, waiting for another tool's change to end; -1 (reported) when it cannot.
int lock_store(const std::string& file) {
    std::string name = real_store_file(file) + ".lock";
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == ENOENT) {
        make_store_folder(file);
        fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    if (fd < 0) {
        fprintf(stderr, "%s: cannot lock the registry store: %s\n", shown(file).c_str(), strerror(errno));
        return -1;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        fprintf(stderr, "%s: cannot lock the registry store: %s\n", shown(file).c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Replaces the store with lines through its temporary file in the same folder (the lock held): a
// reader sees the old file or the new one, never a part.
long write_store(const store& s, const std::vector<std::string>& lines) {
    std::string target = real_store_file(s.file);
    // A read-only file keeps its content on Windows, also against its owner: so does the store.
    struct stat st;
    int had = stat(target.c_str(), &st) == 0;
    if (had && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        fprintf(stderr, "%s: the registry store is read-only\n", shown(s.file).c_str());
        return REG_ACCESS_DENIED;
    }
    size_t slash = target.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string content;
    for (const std::string& l : lines) {
        std::string t = l;
        if (!t.empty() && t.back() == '\r') t.pop_back();
        content += t + s.eol;
    }
    std::string temp_name = target + ".new";
    std::vector<char> temp(temp_name.begin(), temp_name.end());
    temp.push_back('\0');
    int fd = open(temp.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        int e = errno;
        fprintf(stderr, "%s: cannot write the registry store: %s\n", shown(s.file).c_str(), strerror(e));
        return fault_code(e);
    }
    if (had) {
        // The rewritten store stays the person's: their mode, and (when a tool runs as root) their owner.
        fchmod(fd, st.st_mode & 07777);
        if (st.st_uid != geteuid() || st.st_gid != getegid()) (void)!fchown(fd, st.st_uid, st.st_gid);
    }

    long result = REG_OK;
    if (int e = fault_check(1)) {
        if (fault_take_short_write()) write_all(fd, content.data(), short_write_part(content.size()));
        result = fault_code(e);
    } else if (write_all(fd, content.data(), content.size()) != content.size() || fsync(fd) != 0) {
        int e = errno;
        fprintf(stderr, "%s: cannot write the registry store: %s\n", shown(s.file).c_str(), strerror(e));
        result = fault_code(e);
    }
    if (close(fd) != 0 && result == REG_OK) {
        int e = errno;
        fprintf(stderr, "%s: cannot write the registry store: %s\n", shown(s.file).c_str(), strerror(e));
        result = fault_code(e);
    }
    if (result == REG_OK) {
        if (int e = fault_check(0)) {
            result = fault_code(e);
        } else if (rename(temp.data(), target.c_str()) != 0) {
            int e2 = errno;
            fprintf(stderr, "%s: cannot replace the registry store: %s\n", shown(s.file).c_str(), strerror(e2));
            result = fault_code(e2);
        }
    }
    if (result != REG_OK) {
        unlink(temp.data());
        return result;
    }
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return REG_OK;
}

// The store read, the value set, the store written: under the store's lock.
long change_store(store& s, reg_key key, const char* name, uint32_t type, const unsigned char* data, uint32_t size) {
    long rc = parse_store(s);
    if (rc != REG_OK) return rc;
    if (!key_exists(s, key->path)) return REG_KEY_DELETED;

    std::string value_name = name ? name : "";
    std::string line = format_value(value_name, type, data, size);
    std::vector<std::string> lines = s.lines;
    if (lines.empty()) lines = {"REGEDIT4", ""};

    const store_value* old = find_value(s, key->path, value_name);
    const store_key* home = nullptr;
    for (const store_key& k : s.keys)
        if (k.is_hkcu && match_key(k.path, key->path) == 1) home = &k;
    if (old) {
        lines.erase(lines.begin() + static_cast<long>(old->first_line) + 1,
                    lines.begin() + static_cast<long>(old->last_line) + 1);
        lines[old->first_line] = line;
    } else if (home) {
        size_t after = home->values.empty() ? home->line : home->values.back().last_line;
        lines.insert(lines.begin() + static_cast<long>(after) + 1, line);
    } else {
        // The key exists only through keys below it: it gets a section of its own at the end.
        if (!lines.back().empty() && lines.back() != "\r") lines.push_back("");
        lines.push_back(line_for_file(key->path.empty() ? std::string("[") + HKCU + "]"
                                                         : std::string("[") + HKCU + "\\" + key->path + "]"));
        lines.push_back(line);
    }
    return write_store(s, lines);
}

}  // namespace

int registry_text_storable(const char* text) {
    std::string raw(text), utf8;
    return has_exact_utf8(raw, &utf8) || is_cp932_text(raw.data(), raw.size());
}

long reg_open_key(const char* subkey, unsigned access, reg_key* out) {
    if (int e = fault_check(0)) return fault_code(e);
    if (!out) return REG_INVALID_PARAMETER;
    *out = nullptr;
    store s;
    s.file = store_file();
    std::string path = subkey ? subkey : "";
    if (s.file.empty()) return path.empty() ? REG_IO_FAILED : REG_NOT_FOUND;
    long rc = parse_store(s);
    if (rc != REG_OK) return rc;
    if (!key_exists(s, path)) return REG_NOT_FOUND;
    *out = new reg_key_s{path, access};
    return REG_OK;
}

unsigned long reg_unheld_char, reg_unheld_place;

long reg_query_value(reg_key key, const char* name, unsigned char* data, uint32_t* size) {
    if (int e = fault_check(0)) return fault_code(e);
    if (!key) return REG_INVALID_HANDLE;
    if (data && !size) return REG_INVALID_PARAMETER;
    store s;
    s.file = store_file();
    long rc = parse_store(s);
    if (rc != REG_OK) return rc;
    if (!key_exists(s, key->path)) return REG_KEY_DELETED;
    const store_value* v = find_value(s, key->path, name ? name : "");
    if (!v || v->absent) return REG_NOT_FOUND;
    size_t needed = v->data.size() + (v->string_form ? 1 : 0);
    if (!size) return REG_OK;
    if (!data) {
        *size = static_cast<uint32_t>(needed);
        return REG_OK;
    }
    if (*size < needed) {
        *size = static_cast<uint32_t>(needed);
        return REG_MORE_DATA;
    }
    memcpy(data, v->data.data(), v->data.size());
    if (v->string_form) data[v->data.size()] = 0;
    *size = static_cast<uint32_t>(needed);
    return REG_OK;
}

long reg_set_value(reg_key key, const char* name, uint32_t type, const unsigned char* data, uint32_t size) {
    if (int e = fault_check(1)) return fault_code(e);
    if (!key) return REG_INVALID_HANDLE;
    if (!(key->access & REG_ACCESS_SET)) return REG_ACCESS_DENIED;
    if (!data && size > 0) return REG_INVALID_PARAMETER;
    // The store's text has no escape for a line end in a value name: written, it would break the
    // line and every key with it.
    if (name && strchr(name, '\n')) return REG_INVALID_PARAMETER;
    // A name kept in its CP932 bytes would be read back as UTF-8 if those bytes happen to form it.
    if ((name && !registry_text_storable(name)) || !registry_text_storable(key->path.c_str()))
        return REG_INVALID_PARAMETER;
    store s;
    s.file = store_file();
    if (s.file.empty()) {
        fprintf(stderr, "no registry store: set VNAUDIO_REGISTRY or HOME\n");
        return REG_IO_FAILED;
    }
    int lock = lock_store(s.file);
    if (lock < 0) return REG_IO_FAILED;
    long rc = change_store(s, key, name, type, data, size);
    close(lock);
    return rc;
}

long reg_close_key(reg_key key) {
    if (!key) return REG_INVALID_HANDLE;
    delete key;
    return REG_OK;
}
