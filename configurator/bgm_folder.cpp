// Finds the game's music folder through GAMEEXE.INI's "#REGNAME" line and the registry.
#include "configurator/bgm_folder.h"

#include <cstdint>
#include <cstdlib>

#include "common/common.h"
#include "configurator/engine.h"
#include "platform/platform.h"
#include "platform/messages.h"

static const char PREFIX[] = "BGMフォルダ名の取得に失敗:\n";

char* get_bgm_folder(FILE* ini) {
    char name[REGNAME_SIZE];
    size_t length = 0;
    int found = find_registry_name(ini, name, &length);
    if (found == 0) {
        error_box("%sGAMEEXE.INIに項目#REGNAMEが見つかりません。", translate_message(PREFIX));
        return nullptr;
    }
    if (found < 0) {
        error_box("%sGAMEEXE.INIの#REGNAMEが長すぎます(%uバイト)。レジストリのキー名にできるのは%uバイトまでです。",
                  translate_message(PREFIX), static_cast<unsigned>(length), static_cast<unsigned>(MAX_REGNAME_LENGTH));
        return nullptr;
    }

    char key_path[REGNAME_SIZE];
    if (!format_game_key(key_path, name)) {
        // No key path this long can exist; say so in the words of a key that cannot be opened.
        error_box("%sレジストリ HKEY_CURRENT_USER\\Software\\%s を開けません。", translate_message(PREFIX), name);
        return nullptr;
    }
    reg_key key = nullptr;
    if (reg_open_key(key_path, REG_ACCESS_QUERY, &key) != REG_OK) {
        error_box("%sレジストリ HKEY_CURRENT_USER\\%s を開けません。", translate_message(PREFIX), key_path);
        return nullptr;
    }

    // One byte more than the registry may fill, so that data stored without their terminator
    // still end inside the buffer.
    char* folder = static_cast<char*>(calloc(BGM_FOLDER_SIZE + 1, 1));
    long result = REG_NOT_FOUND;
    uint32_t size = BGM_FOLDER_SIZE;
    if (folder) result = reg_query_value(key, "BGM_FOLDER", reinterpret_cast<unsigned char*>(folder), &size);
    reg_close_key(key);

    if (result != REG_OK) {
        free(folder);
        error_box("%sHKEY_CURRENT_USER\\%s\\BGM_FOLDER を読めません。", translate_message(PREFIX), key_path);
        return nullptr;
    }
    folder[size < BGM_FOLDER_SIZE ? size : BGM_FOLDER_SIZE] = '\0';
    return folder;
}
