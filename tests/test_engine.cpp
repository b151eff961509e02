// The scanf-style line matching, the line reader and the "#REGNAME" search.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "configurator/engine.h"

namespace {

// A stream holding bytes, read from its start.
FILE* stream_of(const std::string& bytes) {
    FILE* f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    return f;
}

int scan_number(const std::string& line, const char* pattern, int32_t* value) {
    scan_field field{value, nullptr, 0};
    return scan_line(line.c_str(), pattern, &field, 1);
}

TEST(ScanLine, BlanksInThePatternMatchAnyRunOfWhiteSpaceIncludingNone) {
    for (const char* line : {"#BGM_MODE = 0", "#BGM_MODE=0", "#BGM_MODE   =\t\t 0", "#BGM_MODE\r=\v\f0"})
        EXPECT_EQ(scan_number(line, "#BGM_MODE = %d", nullptr), 1) << line;
}

TEST(ScanLine, OrdinaryCharactersMustMatchExactlyFromTheFirstByte) {
    EXPECT_EQ(scan_number(" #BGM_MODE = 0", "#BGM_MODE = %d", nullptr), 0);
    EXPECT_EQ(scan_number("#bgm_mode = 0", "#BGM_MODE = %d", nullptr), 0);
    EXPECT_EQ(scan_number("#BGM_MODES = 0", "#BGM_MODE = %d", nullptr), 0);
    EXPECT_EQ(scan_number("#BGM_MODE : 0", "#BGM_MODE = %d", nullptr), 0);
    EXPECT_EQ(scan_number("", "#BGM_MODE = %d", nullptr), 0);
}

TEST(ScanLine, NumbersTakeSignsAndLeadingZerosAndNeedADigit) {
    int32_t value = 7;
    EXPECT_EQ(scan_number("#N = 0012", "#N = %d", &value), 1);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(scan_number("#N = -5", "#N = %d", &value), 1);
    EXPECT_EQ(value, -5);
    EXPECT_EQ(scan_number("#N = +9xyz", "#N = %d", &value), 1);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(scan_number("#N =\n 3", "#N = %d", &value), 1) << "white space before a number is skipped";
    EXPECT_EQ(value, 3);
    EXPECT_EQ(scan_number("#N = ", "#N = %d", &value), 0);
    EXPECT_EQ(scan_number("#N = -", "#N = %d", &value), 0);
    EXPECT_EQ(scan_number("#N = - 4", "#N = %d", &value), 0);
    EXPECT_EQ(scan_number("#N = x1", "#N = %d", &value), 0);
}

TEST(ScanLine, AKeptNumberMustFitThirtyTwoBitsAnUnkeptOneMayBeAnyLength) {
    int32_t value = 0;
    EXPECT_EQ(scan_number("#N = 2147483647", "#N = %d", &value), 1);
    EXPECT_EQ(value, INT32_MAX);
    EXPECT_EQ(scan_number("#N = -2147483648", "#N = %d", &value), 1);
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_EQ(scan_number("#N = 2147483648", "#N = %d", &value), 0);
    EXPECT_EQ(scan_number("#N = -2147483649", "#N = %d", &value), 0);
    EXPECT_EQ(scan_number("#N = 99999999999999999999999999", "#N = %d", &value), 0);
    EXPECT_EQ(scan_number("#N = 99999999999999999999999999", "#N = %d", nullptr), 1);
}

TEST(ScanLine, QuotedTextNeedsOneCharacterAndMayRunToTheEndOfTheLine) {
    char text[16];
    scan_field field{nullptr, text, sizeof text};
    EXPECT_EQ(scan_line("#K = \"abc\" tail", "#K = \"%[^\"]\"", &field, 1), 1);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(scan_line("#K = \"\"", "#K = \"%[^\"]\"", &field, 1), 0);
    EXPECT_EQ(scan_line("#K = \"open\n", "#K = \"%[^\"]\"", &field, 1), 1);
    EXPECT_STREQ(text, "open\n");
    // Blanks inside the quotes belong to the text; the %[ field skips nothing.
    EXPECT_EQ(scan_line("#K = \" a b \"", "#K = \"%[^\"]\"", &field, 1), 1);
    EXPECT_STREQ(text, " a b ");
    // Shift_JIS bytes are never white space and never end the text.
    EXPECT_EQ(scan_line("#K = \"\x83\x5c\x89\xb9\"", "#K = \"%[^\"]\"", &field, 1), 1);
    EXPECT_STREQ(text, "\x83\x5c\x89\xb9");
}

TEST(ScanLine, TextLongerThanItsRoomDoesNotFitAndNothingIsWrittenPastIt) {
    char buffer[8 + 4];
    memset(buffer, 'G', sizeof buffer);
    scan_field field{nullptr, buffer, 8};
    EXPECT_EQ(scan_line("#K = \"1234567\"", "#K = \"%[^\"]\"", &field, 1), 1);
    EXPECT_STREQ(buffer, "1234567");
    memset(buffer, 'G', sizeof buffer);
    EXPECT_EQ(scan_line("#K = \"12345678\"", "#K = \"%[^\"]\"", &field, 1), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'G'));
}

TEST(ScanLine, WidthLimitedWordSkipsBlanksAndStopsAtBlanksOrItsWidth) {
    char name[256];
    scan_field fields[2] = {{nullptr, name, sizeof name}, {nullptr, nullptr, 0}};
    const char* pattern = "#CDDA_%3s_SETUP_NEED = %d";
    EXPECT_EQ(scan_line("#CDDA_BGM_SETUP_NEED = 1", pattern, fields, 2), 2);
    EXPECT_STREQ(name, "BGM");
    EXPECT_EQ(scan_line("#CDDA_ \tSE1_SETUP_NEED=1", pattern, fields, 2), 2);
    EXPECT_STREQ(name, "SE1");
    EXPECT_LT(scan_line("#CDDA_SE_SETUP_NEED = 1", pattern, fields, 2), 2);
    EXPECT_LT(scan_line("#CDDA_VOIC_SETUP_NEED = 1", pattern, fields, 2), 2);
    EXPECT_LT(scan_line("#CDDA_A B_SETUP_NEED = 1", pattern, fields, 2), 2);
    EXPECT_LT(scan_line("#CDDA_BGM_SETUP_NEED = ", pattern, fields, 2), 2);
}

TEST(ScanLine, CountsFieldsUpToTheFirstMismatchAndIgnoresWhatFollowsTheLast) {
    int32_t a, b, c;
    char file[64], name[64];
    scan_field fields[5] = {{&a, nullptr, 0}, {&b, nullptr, 0}, {&c, nullptr, 0}, {nullptr, file, 64},
                            {nullptr, name, 64}};
    const char* pattern = "#DSTRACK = %d - %d - %d = \"%[^\"]\" = \"%[^\"]\"";
    EXPECT_EQ(scan_line("#DSTRACK = 1 - 2 - 3 = \"f\" = \"n\" junk", pattern, fields, 5), 5);
    EXPECT_EQ(a + b + c, 6);
    EXPECT_STREQ(file, "f");
    EXPECT_STREQ(name, "n");
    EXPECT_EQ(scan_line("#DSTRACK=1-2-3=\"f\"=\"n", pattern, fields, 5), 5);
    EXPECT_EQ(scan_line("#DSTRACK = 1 - 2 - 3 = \"f\"", pattern, fields, 5), 4);
    EXPECT_EQ(scan_line("#DSTRACK = 1 - 2 = \"f\" = \"n\"", pattern, fields, 5), 2);
    EXPECT_EQ(scan_line("#DSTRACK = 1 - 2 - 3 = \"\" = \"n\"", pattern, fields, 5), 3);
}

TEST(ReadLine, ALongLineArrivesInPiecesOfTheBufferLess1) {
    std::string text = std::string(1023, 'a') + std::string(5, 'b') + "\nnext";
    FILE* f = stream_of(text);
    char line[LINE_SIZE];
    ASSERT_EQ(read_line(f, line), 1023u);
    EXPECT_EQ(std::string(line), std::string(1023, 'a'));
    ASSERT_EQ(read_line(f, line), 6u);
    EXPECT_STREQ(line, "bbbbb\n");
    ASSERT_EQ(read_line(f, line), 4u) << "the last line needs no line end";
    EXPECT_STREQ(line, "next");
    EXPECT_EQ(read_line(f, line), 0u);
    fclose(f);
}

TEST(ReadLine, CountsNulBytesInsideALine) {
    std::string text("a\0b\n\0\nshort\nx\0", 14);
    text += std::string(1500, '\0') + "\n";
    FILE* f = stream_of(text + std::string("end\0", 4));
    char line[LINE_SIZE];
    ASSERT_EQ(read_line(f, line), 4u);
    EXPECT_EQ(std::string(line, 4), std::string("a\0b\n", 4));
    ASSERT_EQ(read_line(f, line), 2u);
    EXPECT_EQ(std::string(line, 2), std::string("\0\n", 2));
    ASSERT_EQ(read_line(f, line), 6u) << "a shorter line after longer ones";
    ASSERT_EQ(read_line(f, line), 1023u);
    EXPECT_EQ(std::string(line, 2), std::string("x\0", 2));
    ASSERT_EQ(read_line(f, line), 480u);
    EXPECT_EQ(line[479], '\n');
    ASSERT_EQ(read_line(f, line), 4u) << "NUL in a last line without line end";
    EXPECT_EQ(std::string(line, 4), std::string("end\0", 4));
    EXPECT_EQ(read_line(f, line), 0u);
    fclose(f);
}

TEST(RegistryName, FirstFittingLineWinsAndTheStreamStandsBehindIt) {
    FILE* f = stream_of(" #REGNAME = \"INDENTED\"\n#REGNAME = \"\"\n#REGNAME=\"KEY\\GAME\" ; x\n"
                        "#REGNAME = \"SECOND\"\n");
    char name[REGNAME_SIZE];
    size_t length = 0;
    ASSERT_EQ(find_registry_name(f, name, &length), 1);
    EXPECT_STREQ(name, "KEY\\GAME");
    char line[LINE_SIZE];
    read_line(f, line);
    EXPECT_STREQ(line, "#REGNAME = \"SECOND\"\n");
    fclose(f);
}

TEST(RegistryName, MissingNameOrClosingQuoteOrANameTooLongForTheKey) {
    char name[REGNAME_SIZE];
    size_t length = 0;
    FILE* none = stream_of("#REGNAMEX\n#REGNAME \"A\"\n");
    EXPECT_EQ(find_registry_name(none, name, &length), 0);
    fclose(none);

    FILE* open = stream_of("#REGNAME   =   \"OPEN\n");
    ASSERT_EQ(find_registry_name(open, name, &length), 1);
    EXPECT_STREQ(name, "OPEN\n");
    fclose(open);

    // The first name decides: one that "Software\\" cannot precede in a key path is too long,
    // also when a later line would fit (and so is the start of a line too long for the buffer).
    for (size_t n : {MAX_REGNAME_LENGTH, MAX_REGNAME_LENGTH + 1, size_t{300}, size_t{1500}}) {
        FILE* f = stream_of("#REGNAME = \"" + std::string(n, 'x') + "\"\n#REGNAME = \"OK\"\n");
        length = 0;
        int found = find_registry_name(f, name, &length);
        if (n <= MAX_REGNAME_LENGTH) {
            EXPECT_EQ(found, 1) << n;
            EXPECT_EQ(strlen(name), n);
        } else {
            EXPECT_EQ(found, -1) << n;
            EXPECT_EQ(length, n < LINE_SIZE ? n : LINE_SIZE - 1 - strlen("#REGNAME = \"")) << n;
        }
        fclose(f);
    }
}

TEST(RegistryName, KeyPathHoldsNamesOfUpTo246Characters) {
    char key[REGNAME_SIZE];
    ASSERT_EQ(format_game_key(key, "Maker\\Game"), 1);
    EXPECT_STREQ(key, "Software\\Maker\\Game");
    EXPECT_EQ(format_game_key(key, std::string(246, 'n').c_str()), 1);
    EXPECT_EQ(strlen(key), 255u);
    EXPECT_EQ(format_game_key(key, std::string(247, 'n').c_str()), 0);
}

}  // namespace
