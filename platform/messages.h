// The tools' messages in the player's language. A message's Japanese text, as the code holds it,
// is its key; po/en.po gives the English, turned into english_messages at build time.
#ifndef VNAUDIO_MESSAGES_H
#define VNAUDIO_MESSAGES_H

#include <cstddef>

struct message_entry {
    const char* japanese;
    const char* english;
};
extern const message_entry english_messages[];
extern const size_t english_message_count;

// 1 when the messages are shown in Japanese: VNAUDIO_LANG=ja or en decides, else the user's UI
// language (user_language_japanese).
int japanese_messages();
// The backend's answer: 1 where the user's UI language is Japanese.
int user_language_japanese();

// The text to show for a message: the message itself under Japanese (or where no English exists),
// else its English, with the same printf conversions in the same order.
#ifdef __GNUC__
__attribute__((format_arg(1)))
#endif
const char* translate_message(const char* japanese);

#endif
