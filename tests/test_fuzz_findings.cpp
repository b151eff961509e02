// What the fuzz targets found, each kept as a regression test beside its input in fuzz/corpus/,
// and the archive target's memory entry point held against plovenak's files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

// A value name holding a line end used to be written into the store as it was, breaking its line:
// the store no longer parsed and every key of the registry was lost.
TEST(FuzzFindings, AValueNameWithALineEndIsRefusedAndTheStoreKept) {
    temp_dir dir;
    const std::string store = dir / "registry.reg";
    const std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Game]\r\n\"KOE_FOLDER\"=\"voice\"\r\n";
    write_file(store, text);
    setenv("VNAUDIO_REGISTRY", store.c_str(), 1);

    reg_key key = nullptr;
    ASSERT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY | REG_ACCESS_SET, &key), REG_OK);
    const unsigned char data[] = "x";
    EXPECT_NE(reg_set_value(key, "a\nb", REG_TYPE_SZ, data, sizeof data), REG_OK);
    EXPECT_NE(reg_set_value(key, "\n", REG_TYPE_SZ, data, sizeof data), REG_OK);
    // A carriage return alone stays inside its quotes and is stored like any other byte.
    EXPECT_EQ(reg_set_value(key, "c\rd", REG_TYPE_SZ, data, sizeof data), REG_OK);
    reg_close_key(key);

    ASSERT_EQ(reg_open_key("Software\\Game", REG_ACCESS_QUERY, &key), REG_OK);
    unsigned char got[16];
    uint32_t size = sizeof got;
    EXPECT_EQ(reg_query_value(key, "KOE_FOLDER", got, &size), REG_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), size), std::string("voice", 6));
    size = sizeof got;
    EXPECT_EQ(reg_query_value(key, "c\rd", got, &size), REG_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), size), std::string("x", 2));
    reg_close_key(key);
    unsetenv("VNAUDIO_REGISTRY");
}

}  // namespace
