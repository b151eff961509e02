// The choice of language and the look-up of a message's English.
#include "platform/messages.h"

#include <cstdlib>
#include <cstring>

int japanese_messages() {
    // Read on every message, never kept: a test switches languages within one process.
    const char* chosen = getenv("VNAUDIO_LANG");
    if (chosen && strcmp(chosen, "ja") == 0) return 1;
    if (chosen && strcmp(chosen, "en") == 0) return 0;
    return user_language_japanese();
}

const char* translate_message(const char* japanese) {
    if (!japanese || japanese_messages()) return japanese;
    // A few hundred entries, looked up at the pace a person reads: a plain scan is enough.
    for (size_t i = 0; i < english_message_count; ++i)
        if (strcmp(english_messages[i].japanese, japanese) == 0) return english_messages[i].english;
    return japanese;
}
