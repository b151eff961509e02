// Fault injection at the backend's choke point: the Nth call fails, short writes and a full disk
// behave as they would on a real disk, nothing leaks, and the environment form arms whole programs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

class FaultTest : public in_temp_dir {};

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

off_t size_of(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : -1;
}

TEST_F(FaultTest, OnlyTheNthCallFails) {
    write_file("here", "");
    fault_arm(3, FAULT_FAIL);
    EXPECT_EQ(file_access("here", 0), 0);
    EXPECT_EQ(file_access("here", 0), 0);
    errno = 0;
    EXPECT_EQ(file_access("here", 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fault_fired(), 1);
    EXPECT_EQ(file_access("here", 0), 0);
    EXPECT_EQ(fault_calls(), 4);
    fault_arm(0, FAULT_FAIL);
    EXPECT_EQ(fault_fired(), 0);
    EXPECT_EQ(fault_calls(), 0);
}

TEST_F(FaultTest, EveryFileAndRegistryCallPassesTheChokePoint) {
    write_file("a.txt", "a");
    make_dirs("d");
    std::string store = dir / "registry.reg";
    write_file(store, "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\G]\n\"v\"=\"x\"\n");
    setenv("VNAUDIO_REGISTRY", store.c_str(), 1);
    find_entry e;
    reg_key key = nullptr;
    unsigned char buf[8];
    uint32_t size = sizeof buf;

    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(open_file("a.txt", "rb"), nullptr);
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(make_dir("new"), -1);
    EXPECT_FALSE(exists("new"));
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(change_dir("d"), -1);
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(remove_file("a.txt"), -1);
    EXPECT_TRUE(exists("a.txt"));
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(rename_file("a.txt", "b.txt"), -1);
    EXPECT_TRUE(exists("a.txt"));
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(find_first_file("*", &e), nullptr);
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(findfirst("*", &e), -1);
    EXPECT_EQ(errno, EIO);
    find_state* s = find_first_file("*", &e);
    ASSERT_NE(s, nullptr);
    fault_arm(1, FAULT_FAIL);
    EXPECT_EQ(find_next_file(s, &e), 0);
    find_close(s);
    fault_arm(1, FAULT_FAIL);
    EXPECT_NE(reg_open_key("Software\\G", REG_ACCESS_QUERY, &key), REG_OK);
    ASSERT_EQ(reg_open_key("Software\\G", REG_ACCESS_QUERY | REG_ACCESS_SET, &key), REG_OK);
    fault_arm(1, FAULT_FAIL);
    EXPECT_NE(reg_query_value(key, "v", buf, &size), REG_OK);
    fault_arm(1, FAULT_FAIL);
    EXPECT_NE(reg_set_value(key, "v", REG_TYPE_SZ, reinterpret_cast<const unsigned char*>("y"), 2), REG_OK);
    fault_arm(0, FAULT_FAIL);
    reg_close_key(key);
    unsetenv("VNAUDIO_REGISTRY");
    EXPECT_EQ(read_file(store), "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\G]\n\"v\"=\"x\"\n");
}

TEST_F(FaultTest, StreamReadsWritesAndClosesCanFailAndNeverLeakADescriptor) {
    std::string data(300000, 'x');
    write_file("in.bin", data);
    int before = open_descriptors();
    int saw_write_failure = 0, saw_read_failure = 0, completed = 0;
    for (long nth = 1; nth < 30 && !completed; ++nth) {
        fault_arm(nth, FAULT_FAIL);
        FILE* in = open_file("in.bin", "rb");
        FILE* out = in ? open_file("out.bin", "wb") : nullptr;
        int ok = in && out;
        std::string got;
        char buf[70000];
        size_t n;
        while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0) {
            got.append(buf, n);
            if (fwrite(buf, 1, n, out) != n) ok = 0;
        }
        int read_failed = in && ferror(in);
        if (read_failed) {
            ok = 0;
            saw_read_failure = 1;
        }
        if (out && fclose(out) != 0) ok = 0;
        if (in && fclose(in) != 0) ok = 0;
        if (out && !ok && !read_failed) saw_write_failure = 1;
        int fired = fault_fired();
        fault_arm(0, FAULT_FAIL);
        EXPECT_EQ(open_descriptors(), before) << "fault at call " << nth;
        EXPECT_EQ(ok, !fired) << "a fired fault is reported, fault at call " << nth;
        if (!fired) {
            EXPECT_EQ(read_file("out.bin"), data);
            completed = 1;
        }
    }
    EXPECT_TRUE(completed);
    EXPECT_TRUE(saw_read_failure);
    EXPECT_TRUE(saw_write_failure);
}

TEST_F(FaultTest, ShortWriteLetsPartOfTheDataThroughThenNoSpace) {
    std::string data(600000, 's');
    FILE* f = open_file("part.bin", "wb");
    ASSERT_NE(f, nullptr);
    fault_arm(1, FAULT_SHORT_WRITE);
    errno = 0;
    size_t n = fwrite(data.data(), 1, data.size(), f);
    int e = errno;
    EXPECT_LT(n, data.size());
    EXPECT_EQ(e, ENOSPC);
    EXPECT_TRUE(ferror(f));
    fclose(f);
    EXPECT_GT(size_of("part.bin"), 0);
    EXPECT_LT(size_of("part.bin"), static_cast<off_t>(data.size()));
    EXPECT_EQ(read_file("part.bin"), std::string(static_cast<size_t>(size_of("part.bin")), 's'));

    // In a text stream the part on disk holds whole lines ends only.
    std::string text;
    for (int i = 0; i < 60000; ++i) text += "line\n";
    f = open_file("part.txt", "wt");
    ASSERT_NE(f, nullptr);
    fault_arm(1, FAULT_SHORT_WRITE);
    EXPECT_LT(fwrite(text.data(), 1, text.size(), f), text.size());
    fclose(f);
    std::string on_disk = read_file("part.txt");
    EXPECT_GT(on_disk.size(), 0u);
    std::string translated;
    for (int i = 0; i < 60000; ++i) translated += "line\r\n";
    EXPECT_EQ(translated.compare(0, on_disk.size(), on_disk), 0) << "the part on disk is the start of the text";
    EXPECT_NE(on_disk.back(), '\r') << "a line end reaches the file whole or not at all";

    // Not a write: the call fails as a plain fault.
    fault_arm(1, FAULT_SHORT_WRITE);
    errno = 0;
    EXPECT_EQ(file_access("part.bin", 0), -1);
    EXPECT_EQ(errno, EIO);
}

TEST_F(FaultTest, DiskFullFailsEveryLaterWriteButNotReads) {
    write_file("keep.txt", "kept");
    FILE* f = open_file("full.bin", "wb");
    ASSERT_NE(f, nullptr);
    fault_arm(1, FAULT_DISK_FULL);
    std::string data(300000, 'f');
    errno = 0;
    EXPECT_EQ(fwrite(data.data(), 1, data.size(), f), 0u);
    EXPECT_EQ(errno, ENOSPC);
    fclose(f);
    EXPECT_EQ(size_of("full.bin"), 0);
    errno = 0;
    EXPECT_EQ(open_file("new.bin", "wb"), nullptr);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(make_dir("newdir"), -1);
    EXPECT_EQ(errno, ENOSPC);
    // Reading, renaming and removing still work on a full disk.
    f = open_file("keep.txt", "rb");
    ASSERT_NE(f, nullptr);
    char buf[8];
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 4u);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(rename_file("keep.txt", "kept.txt"), 0);
    EXPECT_EQ(remove_file("full.bin"), 0);
}

TEST_F(FaultTest, CountingIsRepeatable) {
    auto run = [] {
        fault_arm(0, FAULT_FAIL);
        FILE* f = open_file("r.txt", "wt");
        for (int i = 0; i < 5000; ++i) fprintf(f, "line %d\n", i);
        fclose(f);
        f = open_file("r.txt", "rt");
        char line[64];
        while (fgets(line, sizeof line, f)) {
        }
        fclose(f);
        return fault_calls();
    };
    long first = run();
    EXPECT_GT(first, 4);
    EXPECT_EQ(run(), first);
}

TEST_F(FaultTest, EnvironmentArmsAWholeProgramAndLogsWhatHappened) {
    const std::string probe = PLATFORM_PROBE;
    std::string log = dir / "fault.log";
    run_result r = run_program(probe, {"write", "out.bin"}, dir.path, "", {"VNAUDIO_FAULT=2", "VNAUDIO_FAULT_LOG=" + log});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "write failed: 5\n");
    r = run_program(probe, {"write", "out.bin"}, dir.path, "", {"VNAUDIO_FAULT=2:short", "VNAUDIO_FAULT_LOG=" + log});
    EXPECT_EQ(r.out, "write failed: 28\n");
    EXPECT_GT(size_of("out.bin"), 0);
    EXPECT_LT(size_of("out.bin"), 300000);
    r = run_program(probe, {"write", "out.bin"}, dir.path, "", {"VNAUDIO_FAULT=1:full", "VNAUDIO_FAULT_LOG=" + log});
    EXPECT_EQ(r.out, "open failed: 28\n");
    r = run_program(probe, {"write", "out.bin"}, dir.path, "", {"VNAUDIO_FAULT=50", "VNAUDIO_FAULT_LOG=" + log});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "written\n");
    EXPECT_EQ(read_file(log), "calls=3 fired=1\ncalls=3 fired=1\ncalls=1 fired=1\ncalls=4 fired=0\n");

    r = run_program(probe, {"write", "out.bin"}, dir.path, "", {"VNAUDIO_FAULT=soon", "VNAUDIO_FAULT_LOG="});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("VNAUDIO_FAULT"), std::string::npos) << "a value not understood is said, not ignored";
}

}  // namespace
