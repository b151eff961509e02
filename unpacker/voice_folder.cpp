// The voice folder switch: KOE_FOLDER of the game's registry key becomes "koewav", and
// "koe_restore.reg" keeps the old value for the user to import again.
#include "unpacker/voice_folder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "platform/platform.h"

static const char RESTORE_FILE[] = "koe_restore.reg";
static const char NEW_FOLDER[] = "koewav";

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

    // Unpacking into a folder the game does not use would leave the game silently on its old
    // voices, so a failed switch ends the run before anything is made.
    if (reg_set_value(key, "KOE_FOLDER", REG_TYPE_SZ,
                      reinterpret_cast<const unsigned char*>(NEW_FOLDER), sizeof NEW_FOLDER) != REG_OK) {
        error_box("%s\\KOE_FOLDER を書き換えられません。", key_path);
        free(old_folder);
        reg_close_key(key);
        return nullptr;
    }

    write_restore_file(key_path, old_folder);
    reg_close_key(key);
    return old_folder;
}

void write_restore_file(const char* key_path, const char* old_folder) {
    if (file_exists(RESTORE_FILE) &&
        ask_yes_no("koe_restore.regが既にあります。上書きしますか？") == ANSWER_NO)
        return;

    FILE* out = open_file(RESTORE_FILE, "wt");
    if (!out) {
        error_box("koe_restore.regの作成に失敗しました。");
        return;
    }

    // A registry script escapes a backslash by doubling it; every byte 0x5C is doubled, the trail
    // byte of a double-byte character included, since the importer reads bytes.
    char value[2 * 256 + 1];
    size_t n = 0;
    for (const char* p = old_folder; *p; ++p) {
        if (*p == '\\') value[n++] = '\\';
        value[n++] = *p;
    }
    value[n] = '\0';

    errno = 0;
    bool written = fprintf(out, "REGEDIT4\n[HKEY_CURRENT_USER\\%s]\n\"KOE_FOLDER\"=\"%s\"\n", key_path,
                           value) >= 0;
    int error = errno;
    if (fclose(out) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        // A cut-off script would put a wrong value back when imported.
        error_box("koe_restore.regの書き込みに失敗しました: %s", strerror(error ? error : EIO));
        remove_file(RESTORE_FILE);
    }
}
