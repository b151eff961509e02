// Test programs share this entry point; the tools' boxes in unit tests carry this caption.
#include <gtest/gtest.h>

#include <cstdlib>

extern const char tool_title[] = "test.exe";

int main(int argc, char** argv) {
    // The tests read the Japanese messages unless a case asks for another language; the programs
    // they start inherit the choice.
    setenv("VNAUDIO_LANG", "ja", 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
