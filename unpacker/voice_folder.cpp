// The voice folder switch: KOE_FOLDER of the game's registry key becomes "koewav", and
// "koe_restore.reg" keeps the old value for the user to import again. The file is on the disk,
// whole, before the value changes: at no moment is the game's own folder recorded nowhere.
#include "unpacker/voice_folder.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/common.h"
#include "platform/platform.h"

static const char RESTORE_FILE[] = "koe_restore.reg";
static const char NEW_FOLDER[] = "koewav";
static const char RESTORE_WORK[] = "koe_restore.reg.new";

// The longest registry name whose key path "Software\<name>" fits the 256-byte key buffer.
static constexpr size_t MAX_REGISTRY_NAME = 246;

int find_registry_name(FILE* gameexe, char* name, size_t room) {
    char line[1024];
    char found[1024];
    while (fgets(line, sizeof line, gameexe)) {
        if (sscanf(line, "#REGNAME = \"%1023[^\"]\"", found) != 1) continue;
        if (strlen(found) >= room) return -1;
        strcpy(name, found);
        return 1;
    }
    return 0;
}

static bool is_lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
static bool is_trail_byte(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

// The path as Windows reads it, for comparing: separators as one backslash, ASCII letters in lower
// case (never a trail byte), blanks and dots after a name dropped, "." steps dropped and ".."
// steps taken back where they can be.
static std::string normal_path(const char* path) {
    std::vector<std::string> parts;
    std::string part;
    auto end_part = [&]() {
        if (part != "." && part != "..")
            while (!part.empty() && (part.back() == ' ' || part.back() == '.')) part.pop_back();
        if (part == ".." && !parts.empty() && parts.back() != ".." && parts.back().find(':') == std::string::npos)
            parts.pop_back();
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        else if (part.empty() && parts.empty() && path[0] != '\0')
            parts.push_back("");   // a path from the root keeps its leading backslash
        part.clear();
    };
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
        if (is_lead_byte(p[0]) && is_trail_byte(p[1])) {
            part += static_cast<char>(p[0]);
            part += static_cast<char>(*++p);
        } else if (*p == '\\' || *p == '/') {
            end_part();
        } else {
            part += static_cast<char>(tolower(*p));
        }
    }
    end_part();
    std::string joined;
    for (size_t i = 0; i < parts.size(); ++i) joined += (i ? "\\" : "") + parts[i];
    return joined;
}

int names_new_folder(const char* value) {
    std::string named = normal_path(value);
    if (named == NEW_FOLDER) return 1;
    char here[1024];
    if (current_folder(here, sizeof here) != 0) return 0;
    return named == normal_path(here) + "\\" + NEW_FOLDER;
}

int open_voice_setting(voice_setting* setting) {
    FILE* gameexe = open_file("GAMEEXE.INI", "rt");
    if (!gameexe) {
        error_box("GAMEEXE.INIがあるフォルダで実行してください。");
        return 0;
    }
    char name[MAX_REGISTRY_NAME + 1];
    int found = find_registry_name(gameexe, name, sizeof name);
    if (found == 0 && ferror(gameexe)) {
        error_box("GAMEEXE.INIの読み込みに失敗しました: %s", strerror(errno));
        fclose(gameexe);
        return 0;
    }
    fclose(gameexe);
    if (found == 0) {
        error_box("GAMEEXE.INIに項目#REGNAMEが見つかりません。");
        return 0;
    }
    if (found < 0) {
        error_box("GAMEEXE.INIの項目#REGNAMEが長すぎます。");
        return 0;
    }

    snprintf(setting->key_path, sizeof setting->key_path, "Software\\%s", name);
    if (reg_open_key(setting->key_path, REG_ACCESS_QUERY | REG_ACCESS_SET, &setting->key) != REG_OK) {
        error_box("レジストリ %s を開けません。", setting->key_path);
        return 0;
    }
    // One byte beyond the 256 the registry may fill, so a value stored without its terminator
    // still ends here.
    memset(setting->value, 0, sizeof setting->value);
    uint32_t size = 256;
    if (reg_query_value(setting->key, "KOE_FOLDER", reinterpret_cast<unsigned char*>(setting->value), &size) !=
        REG_OK) {
        error_box("%s\\KOE_FOLDER を読めません。", setting->key_path);
        reg_close_key(setting->key);
        return 0;
    }
    if (size < 256) setting->value[size] = '\0';
    return 1;
}

void close_voice_setting(voice_setting* setting) { reg_close_key(setting->key); }

int switch_voice_folder(voice_setting* setting) {
    // The old value must be on the disk before the registry forgets it.
    if (!write_restore_file(setting->key_path, setting->value)) return 0;
    // Unpacking into a folder the game does not use would leave the game silently on its old
    // voices, so a failed switch ends the run before anything is made.
    if (reg_set_value(setting->key, "KOE_FOLDER", REG_TYPE_SZ, reinterpret_cast<const unsigned char*>(NEW_FOLDER),
                      sizeof NEW_FOLDER) != REG_OK) {
        error_box("%s\\KOE_FOLDER を書き換えられません。", setting->key_path);
        return 0;
    }
    return 1;
}

int set_voice_folder(voice_setting* setting, const char* value) {
    if (reg_set_value(setting->key, "KOE_FOLDER", REG_TYPE_SZ, reinterpret_cast<const unsigned char*>(value),
                      static_cast<uint32_t>(strlen(value) + 1)) != REG_OK) {
        error_box("%s\\KOE_FOLDER を書き換えられません。", setting->key_path);
        return 0;
    }
    return 1;
}

// The text between the quotes of a value line, escapes undone: "\\" and "\"" stand for their
// second character; a 0x5C that ends a double-byte character is that character's own.
static int unescape_value(const char* from, char* value, size_t room) {
    const char* close = strrchr(from, '"');
    if (!close) return 0;
    size_t n = 0;
    for (const char* p = from; p < close; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (n + 3 > room) return 0;
        if (is_lead_byte(c) && p + 1 < close && is_trail_byte(static_cast<unsigned char>(p[1]))) {
            value[n++] = *p++;
        } else if (c == '\\' && p + 1 < close && (p[1] == '\\' || p[1] == '"')) {
            ++p;
        }
        value[n++] = *p;
    }
    value[n] = '\0';
    return 1;
}

static bool same_ascii_folded(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

int read_restore_file(const char* key_path, char* value, size_t room) {
    FILE* in = open_file(RESTORE_FILE, "rb");
    if (!in) return 0;
    static unsigned char raw[8192];
    size_t size = fread(raw, 1, sizeof raw, in);
    bool whole = !ferror(in) && size < sizeof raw;
    fclose(in);
    if (!whole) return 0;

    // regedit's Unicode form comes as CP932 text like the other; its escapes are the same.
    std::string text;
    if (size >= 2 && raw[0] == 0xFF && raw[1] == 0xFE) {
        static uint16_t units[sizeof raw / 2];
        size_t count = (size - 2) / 2;
        for (size_t i = 0; i < count; ++i) units[i] = static_cast<uint16_t>(raw[2 + 2 * i] | (raw[3 + 2 * i] << 8));
        static char narrow[sizeof raw * 2];
        if (utf16_to_cp932(units, count, narrow, sizeof narrow) == static_cast<size_t>(-1)) return 0;
        text = narrow;
    } else {
        text.assign(reinterpret_cast<const char*>(raw), size);
    }

    const std::string key_line = std::string("[HKEY_CURRENT_USER\\") + key_path + "]";
    const std::string value_start = "\"KOE_FOLDER\"=\"";
    bool in_key = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            in_key = same_ascii_folded(line, key_line);
        } else if (in_key && line.size() > value_start.size() &&
                   same_ascii_folded(line.substr(0, value_start.size()), value_start)) {
            return unescape_value(line.c_str() + value_start.size(), value, room);
        }
    }
    return 0;
}


size_t escape_regedit4(const char* value, char* out) {
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
        // A 0x5C that ends a double-byte character is part of that character: doubled, it would
        // turn the next byte (the closing quote, say) into an escape.
        if (is_lead_byte(p[0]) && is_trail_byte(p[1])) {
            out[n++] = static_cast<char>(*p++);
        } else if (*p == '\\') {
            out[n++] = '\\';
        }
        out[n++] = static_cast<char>(*p);
    }
    out[n] = '\0';
    return n;
}

static bool has_non_ascii(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p >= 0x80) return true;
    return false;
}

// The restore file in regedit's Unicode form, for a system whose ANSI code page cannot carry the
// CP932 characters of the key path or the value. Answers the byte count put in out, 0 when a text
// is no CP932.
static size_t form_unicode_restore(const char* key_path, const char* old_folder, unsigned char* out) {
    uint16_t key[260], value[260];
    if (cp932_to_utf16(key_path, key, 260) == static_cast<size_t>(-1) ||
        cp932_to_utf16(old_folder, value, 260) == static_cast<size_t>(-1))
        return 0;
    size_t n = 0;
    auto put = [&](uint16_t unit) {
        out[n++] = static_cast<unsigned char>(unit & 0xFF);
        out[n++] = static_cast<unsigned char>(unit >> 8);
    };
    auto put_ascii = [&](const char* text) {
        for (; *text; ++text) put(static_cast<unsigned char>(*text));
    };
    put(0xFEFF);
    put_ascii("Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\");
    for (const uint16_t* u = key; *u; ++u) put(*u);
    put_ascii("]\r\n\"KOE_FOLDER\"=\"");
    for (const uint16_t* u = value; *u; ++u) {
        if (*u == '\\' || *u == '"') put('\\');
        put(*u);
    }
    put_ascii("\"\r\n");
    return n;
}

// Writes the file under its work name with the commit flag and gives it its name in one step, so
// that an earlier restore file stays whole until the new one is. 0 with errno on failure.
static int write_whole(const char* mode, const void* bytes, size_t size) {
    FILE* out = open_file(RESTORE_WORK, mode);
    if (!out) return 0;
    errno = 0;
    // The runtime commits a "c" stream on fflush, not necessarily on fclose.
    bool written = fwrite(bytes, 1, size, out) == size && fflush(out) == 0;
    int error = errno;
    if (fclose(out) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && replace_file(RESTORE_WORK, RESTORE_FILE) == 0) return 1;
    if (written) error = errno;
    remove_file(RESTORE_WORK);
    errno = error ? error : EIO;
    return 0;
}

int write_restore_file(const char* key_path, const char* old_folder) {
    // A run cut off while writing leaves the work file; it never held the only record of anything.
    remove_file(RESTORE_WORK);
    // Kept at the user's word only when it is really there: the switch must never go ahead with
    // no record at all.
    if (file_exists(RESTORE_FILE) &&
        ask_yes_no("koe_restore.regが既にあります。上書きしますか？") == ANSWER_NO && file_exists(RESTORE_FILE))
        return 1;

    static unsigned char unicode[4096];
    if (ansi_code_page() != 932 && (has_non_ascii(key_path) || has_non_ascii(old_folder))) {
        size_t size = form_unicode_restore(key_path, old_folder, unicode);
        if (size == 0) {
            error_box("%s\\KOE_FOLDER の値をkoe_restore.regに書けません。\nKOE_FOLDERは変更していません。", key_path);
            return 0;
        }
        if (!write_whole("wbc", unicode, size)) {
            error_box("koe_restore.regの作成に失敗しました: %s\nKOE_FOLDERは変更していません。", strerror(errno));
            return 0;
        }
        return 1;
    }

    char value[2 * 256 + 1];
    escape_regedit4(old_folder, value);
    char text[1024];
    int n = snprintf(text, sizeof text, "REGEDIT4\n[HKEY_CURRENT_USER\\%s]\n\"KOE_FOLDER\"=\"%s\"\n", key_path, value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text || !write_whole("wtc", text, static_cast<size_t>(n))) {
        error_box("koe_restore.regの作成に失敗しました: %s\nKOE_FOLDERは変更していません。", strerror(errno ? errno : EIO));
        return 0;
    }
    return 1;
}
