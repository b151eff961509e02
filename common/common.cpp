// Message boxes and file utilities shared by the three tools.
#include "common/common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/messages.h"
#include "platform/platform.h"

int vmessage_box(unsigned type, const char* format, va_list args) {
    char text[1024];
    int n = vsnprintf(text, sizeof text, translate_message(format), args);
    if (n < 0) {
        text[0] = '\0';
    } else if (static_cast<size_t>(n) >= sizeof text) {
        // Cut where a character ends, never inside one.
        text[text_fit(text, sizeof text - 1)] = '\0';
    }
    return show_box(text, tool_title, type);
}

void error_box(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vmessage_box(BOX_OK | BOX_ICON_ERROR, format, args);
    va_end(args);
}

int ask_abort_retry_ignore(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int answer = vmessage_box(BOX_ABORT_RETRY_IGNORE | BOX_ICON_ERROR, format, args);
    va_end(args);
    return answer;
}

int ask_yes_no(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int answer = vmessage_box(BOX_YES_NO, format, args);
    va_end(args);
    return answer;
}

void info_box(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vmessage_box(BOX_OK | BOX_ICON_INFORMATION, format, args);
    va_end(args);
}

void notice(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, translate_message(format), args);
    va_end(args);
    fputc('\n', stderr);
}

int file_exists(const char* path) {
    if (file_access(path, 0) == -1 && errno == ENOENT) {
        errno = 0;
        return 0;
    }
    return 1;
}

char* free_backup_name(const char* path, const char* failure) {
    size_t length = strlen(path);
    size_t size = length + 10;
    char* backup = static_cast<char*>(malloc(size));
    if (!backup) {
        error_box(failure, path, path, strerror(ENOMEM));
        return nullptr;
    }
    memcpy(backup, path, length + 1);

    // Only a backslash separates folders; a dot before one belongs to a folder name.
    char* stem_end = strrchr(backup, '.');
    if (!stem_end || strchr(stem_end, '\\')) stem_end = backup + length;
    size_t room = size - static_cast<size_t>(stem_end - backup);

    snprintf(stem_end, room, ".org");
    for (unsigned long counter = 1; file_exists(backup); ++counter) {
        int n = snprintf(stem_end, room, ".org%lu", counter);
        if (n < 0 || static_cast<size_t>(n) >= room) {
            // Every name the buffer can hold is taken; never overwrite one of them.
            error_box(failure, path, backup, strerror(EEXIST));
            free(backup);
            return nullptr;
        }
    }
    return backup;
}

char* rename_to_backup(const char* path) {
    char* backup = free_backup_name(path, "%sを%sにリネームできません: %s");
    if (!backup) return nullptr;
    if (rename_file(path, backup) == -1) {
        error_box("%sを%sにリネームできません: %s", path, backup, strerror(errno));
        free(backup);
        return nullptr;
    }
    return backup;
}

void restore_backup(const char* path, const char* backup) {
    if (remove_file(path) == -1 && errno != ENOENT)
        error_box("%sの削除に失敗しました: %s", path, strerror(errno));
    if (!backup) return;
    if (rename_file(backup, path) == -1)
        error_box("%sを%sにリネームできません: %s", backup, path, strerror(errno));
}

int enter_dropped_folder(int* argc, char** argv) {
    if (const char* lost = lost_path_argument()) {
        error_box("%s\nこの名前にはCP932（日本語の文字コード）で表せない文字があるため、ここでは実行できません。"
                  "フォルダの名前を変えてから、もう一度ドロップしてください。",
                  lost);
        return 0;
    }
    int dropped = 0, found = 0;
    for (int i = 1; i < *argc; ++i) {
        const char* arg = argv[i];
        bool option_value = i > 1 && argv[i - 1][0] == '-' && arg[0] && strspn(arg, "0123456789") == strlen(arg);
        if (arg[0] == '-' || option_value || file_access(arg, 0) != 0) continue;
        dropped = i;
        ++found;
    }
    if (found == 0) return 1;
    if (found > 1) {
        error_box("%sにドロップできるのはフォルダ一つだけです。", tool_title);
        return 0;
    }
    const char* folder = argv[dropped];
    if (change_dir(folder) != 0) {
        int error = errno;
        find_entry entry;
        find_state* search = find_first_file(folder, &entry);
        bool is_file = search && !(entry.attrib & ATTR_FOLDER);
        if (search) find_close(search);
        if (is_file)
            error_box("%sはフォルダではありません。ファイルではなくフォルダをドロップしてください。", folder);
        else
            error_box("フォルダ %s に移動できません: %s", folder, strerror(error));
        return 0;
    }
    for (int i = dropped; i < *argc; ++i) argv[i] = argv[i + 1];
    --*argc;
    return 1;
}

void end_progress(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, translate_message(format), args);
    va_end(args);
    if (n < 0) text[0] = '\0';
    progress_end(text);
}
