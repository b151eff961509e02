// Test programs share this entry point; the tools' boxes in unit tests carry this caption.
#include <gtest/gtest.h>

extern const char tool_title[] = "test.exe";

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
