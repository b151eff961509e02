// The English catalogue: every entry answers under en, its key under ja, with the key's printf
// conversions in the same order; console English stays plain ASCII.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/messages.h"

namespace {

// The conversions of a printf format, flags and widths dropped: "lu,s,02lu" -> "lu,s,lu".
std::string conversions(const char* format) {
    std::string kinds;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p && strchr("-+ #0123456789.", *p)) ++p;
        std::string kind;
        while (*p && strchr("hlzjtL*", *p)) kind += *p++;
        kind += *p;
        kinds += kind + ",";
        if (!*p) break;
    }
    return kinds;
}

}  // namespace

TEST(Messages, EveryEntryAnswersByLanguageWithTheKeysArguments) {
    ASSERT_GT(english_message_count, 100u);
    for (size_t i = 0; i < english_message_count; ++i) {
        const message_entry& entry = english_messages[i];
        SCOPED_TRACE(entry.english);
        setenv("VNAUDIO_LANG", "ja", 1);
        EXPECT_STREQ(translate_message(entry.japanese), entry.japanese);
        setenv("VNAUDIO_LANG", "en", 1);
        EXPECT_STREQ(translate_message(entry.japanese), entry.english);
        EXPECT_EQ(conversions(entry.english), conversions(entry.japanese));
        for (const char* c = entry.english; *c; ++c) EXPECT_LT(static_cast<unsigned char>(*c), 0x80u);
    }
    // A text outside the catalogue is shown as it is.
    EXPECT_STREQ(translate_message("%s: x"), "%s: x");
    setenv("VNAUDIO_LANG", "ja", 1);
}

TEST(Messages, TheLocaleChoosesWhenNothingOverrides) {
    struct { const char *all, *messages, *lang; int japanese; } cases[] = {
        {nullptr, nullptr, "ja_JP.UTF-8", 1},
        {nullptr, nullptr, "en_US.UTF-8", 0},
        {nullptr, nullptr, nullptr, 0},
        {"en_US.UTF-8", nullptr, "ja_JP.UTF-8", 0},
        {nullptr, "ja_JP.eucJP", "C", 1},
        {"C", "ja_JP.UTF-8", nullptr, 0},
    };
    unsetenv("VNAUDIO_LANG");
    for (const auto& c : cases) {
        const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
        const char* values[] = {c.all, c.messages, c.lang};
        for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
        EXPECT_EQ(japanese_messages(), c.japanese) << (c.all ? c.all : "-") << " " << (c.lang ? c.lang : "-");
    }
    setenv("VNAUDIO_LANG", "ja", 1);
}
