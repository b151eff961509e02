// The voice folder switch: KOE_FOLDER of the game's registry key becomes "koewav", and
// "koe_restore.reg" keeps the old value for the user to import again. The file is on the disk,
// whole, before the value changes: at no moment is the game's own folder recorded nowhere.
#include "unpacker/voice_folder.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// Windows folder names ignore case: "KoeWav" is koewav too.
static bool is_new_folder(const char* value) {
    size_t n = strlen(NEW_FOLDER);
    if (strlen(value) != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (tolower(static_cast<unsigned char>(value[i])) != NEW_FOLDER[i]) return false;
    return true;
}

char* switch_voice_folder() {
    FILE* gameexe = open_file("GAMEEXE.INI", "rt");
    if (!gameexe) {
        error_box("GAMEEXE.INIがあるフォルダで実行してください。");
        return nullptr;
    }
    char name[MAX_REGISTRY_NAME + 1];
    int found = find_registry_name(gameexe, name, sizeof name);
    if (found == 0 && ferror(gameexe)) {
        error_box("GAMEEXE.INIの読み込みに失敗しました: %s", strerror(errno));
        fclose(gameexe);
        return nullptr;
    }
    fclose(gameexe);
    if (found == 0) {
        error_box("GAMEEXE.INIに項目#REGNAMEが見つかりません。");
        return nullptr;
    }
    if (found < 0) {
        error_box("GAMEEXE.INIの項目#REGNAMEが長すぎます。");
        return nullptr;
    }

    char key_path[256];
    snprintf(key_path, sizeof key_path, "Software\\%s", name);
    reg_key key;
    if (reg_open_key(key_path, REG_ACCESS_QUERY | REG_ACCESS_SET, &key) != REG_OK) {
        error_box("レジストリ %s を開けません。", key_path);
        return nullptr;
    }

    // One byte beyond the 256 the registry may fill, so a value stored without its terminator
    // still ends here.
    char* old_folder = static_cast<char*>(calloc(257, 1));
    uint32_t size = 256;
    if (!old_folder ||
        reg_query_value(key, "KOE_FOLDER", reinterpret_cast<unsigned char*>(old_folder), &size) !=
            REG_OK) {
        error_box("%s\\KOE_FOLDER を読めません。", key_path);
        free(old_folder);
        reg_close_key(key);
        return nullptr;
    }
    if (size < 256) old_folder[size] = '\0';

    // A second run would read "koewav" as the folder to restore and lose the only record of the
    // game's own folder.
    if (is_new_folder(old_folder)) {
        error_box("%s\\KOE_FOLDERは既にkoewavを指しています。何も変更していません。\n"
                  "展開し直すには、koe_restore.regを取り込んで元の値に戻し、koewavフォルダを削除してから、"
                  "もう一度実行してください。",
                  key_path);
        free(old_folder);
        reg_close_key(key);
        return nullptr;
    }

    // The old value must be on the disk before the registry forgets it.
    if (!write_restore_file(key_path, old_folder)) {
        free(old_folder);
        reg_close_key(key);
        return nullptr;
    }

    // Unpacking into a folder the game does not use would leave the game silently on its old
    // voices, so a failed switch ends the run before anything is made.
    if (reg_set_value(key, "KOE_FOLDER", REG_TYPE_SZ,
                      reinterpret_cast<const unsigned char*>(NEW_FOLDER), sizeof NEW_FOLDER) != REG_OK) {
        error_box("%s\\KOE_FOLDER を書き換えられません。", key_path);
        free(old_folder);
        reg_close_key(key);
        return nullptr;
    }
    reg_close_key(key);
    return old_folder;
}

static bool is_lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
static bool is_trail_byte(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

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
