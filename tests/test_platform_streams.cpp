// The emulated msvcrt streams: text mode line ends and end-of-text byte, binary streams left alone,
// seeking back, mode letters and their failures, and large writes kept large.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault.h"
#include "platform/platform.h"
#include "tests/support/support.h"

namespace {

class StreamTest : public in_temp_dir {};

std::string write_through(const char* mode, const std::string& data) {
    FILE* f = open_file("out.bin", mode);
    if (!f) return "(open failed)";
    size_t n = fwrite(data.data(), 1, data.size(), f);
    if (fclose(f) != 0 || n != data.size()) return "(write failed)";
    return read_file("out.bin");
}

std::string read_through(const char* mode, const std::string& bytes) {
    write_file("in.bin", bytes);
    FILE* f = open_file("in.bin", mode);
    if (!f) return "(open failed)";
    std::string out;
    char buf[1000];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
}

int open_descriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

TEST_F(StreamTest, TextWriteStoresEachLineFeedAsCrLf) {
    EXPECT_EQ(write_through("wt", "a\nb\n\nc"), "a\r\nb\r\n\r\nc");
    EXPECT_EQ(write_through("w", "no letter is text\n"), "no letter is text\r\n");
    // A CR of the program's own is written as it is, so "\r\n" in memory becomes CR CR LF.
    EXPECT_EQ(write_through("wt", "x\ry\r\n"), "x\ry\r\r\n");
}

TEST_F(StreamTest, TextReadTurnsCrLfIntoLineFeedAndKeepsALoneCr) {
    EXPECT_EQ(read_through("rt", "a\r\nb\rc\r\n\r\n"), "a\nb\rc\n\n");
    EXPECT_EQ(read_through("r", "end with cr\r"), "end with cr\r");
    EXPECT_EQ(read_through("rt", "\r\r\n\n"), "\r\n\n");
}

TEST_F(StreamTest, TextReadJoinsCrLfSplitAcrossReadBuffers) {
    // Lines of every length around the 64 KiB read size put CR LF pairs astride buffer ends.
    std::string raw, expected;
    for (int i = 0; raw.size() < 300000; ++i) {
        std::string line(static_cast<size_t>((i * 7919) % 1500), static_cast<char>('a' + i % 26));
        raw += line + "\r\n";
        expected += line + "\n";
        if (i % 5 == 0) {
            raw += "\r";
            expected += "\r";
        }
    }
    EXPECT_EQ(read_through("rt", raw), expected);

    // The same through fgets, a line at a time.
    write_file("lines.txt", raw);
    FILE* f = open_file("lines.txt", "r");
    ASSERT_NE(f, nullptr);
    std::string joined;
    char line[4096];
    while (fgets(line, sizeof line, f)) joined += line;
    fclose(f);
    EXPECT_EQ(joined, expected);
}

TEST_F(StreamTest, CrLfExactlyAtTheReadBufferBoundaryBecomesOneLineFeed) {
    std::string raw(65535, 'x');
    raw += "\r\ny";
    std::string got = read_through("rt", raw);
    EXPECT_EQ(got, std::string(65535, 'x') + "\ny");
    raw = std::string(65535, 'x') + "\rz";
    EXPECT_EQ(read_through("rt", raw), std::string(65535, 'x') + "\rz");
}

TEST_F(StreamTest, ByteOneAEndsTheTextUntilTheStreamIsRewound) {
    write_file("t.txt", "ab\r\n\x1A" "cd\r\n");
    FILE* f = open_file("t.txt", "rt");
    ASSERT_NE(f, nullptr);
    char buf[100];
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 3u);
    EXPECT_EQ(std::string(buf, 3), "ab\n");
    EXPECT_TRUE(feof(f));
    rewind(f);
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 3u);
    fclose(f);
    EXPECT_EQ(read_through("rb", "ab\x1A" "cd"), "ab\x1A" "cd");
}

TEST_F(StreamTest, TextStreamReadsAgainFromTheStartAfterSeekOrRewind) {
    write_file("g.ini", "#REGNAME = \"X\"\r\n#DSTRACK = 1\r\nlast\r\n");
    FILE* f = open_file("g.ini", "rt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ftell(f), 0);
    char line[100];
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "#REGNAME = \"X\"\n");
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    for (int round = 0; round < 2; ++round) {
        if (round == 0) {
            ASSERT_EQ(fseek(f, 0, SEEK_SET), 0);
        } else {
            rewind(f);
        }
        std::string all;
        while (fgets(line, sizeof line, f)) all += line;
        EXPECT_EQ(all, "#REGNAME = \"X\"\n#DSTRACK = 1\nlast\n") << "round " << round;
        EXPECT_EQ(ftell(f), 36) << "the file position counts bytes on disk";
    }
    fclose(f);
}

TEST_F(StreamTest, BinaryStreamsLeaveEveryByteAlone) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    all += "\r\n\n\r\x1A\r";
    EXPECT_EQ(write_through("wb", all), all);
    EXPECT_EQ(read_through("rb", all), all);
}

TEST_F(StreamTest, BinaryWriteSeeksPastTheEndAndBackForAHeaderWrittenLast) {
    FILE* f = open_file("voice.wav", "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseek(f, 44, SEEK_SET), 0);
    std::string body(100000, 'b');
    ASSERT_EQ(fwrite(body.data(), 1, body.size(), f), body.size());
    EXPECT_EQ(ftell(f), 100044);
    ASSERT_EQ(fseek(f, 0, SEEK_SET), 0);
    std::string header(44, 'h');
    ASSERT_EQ(fwrite(header.data(), 1, header.size(), f), header.size());
    EXPECT_EQ(ftell(f), 44);
    ASSERT_EQ(fclose(f), 0);
    EXPECT_EQ(read_file("voice.wav"), header + body);
}

TEST_F(StreamTest, ModesOpenCreateTruncateAndAppendAsMsvcrtDoes) {
    errno = 0;
    EXPECT_EQ(open_file("missing.txt", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(open_file("missing.txt", "rb+"), nullptr);
    EXPECT_FALSE(exists("missing.txt"));

    write_file("log.txt", "old\r\n");
    FILE* f = open_file("log.txt", "at");
    ASSERT_NE(f, nullptr);
    fputs("new\n", f);
    fclose(f);
    EXPECT_EQ(read_file("log.txt"), "old\r\nnew\r\n");

    f = open_file("log.txt", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(read_file("log.txt"), "");

    f = open_file("rw.txt", "w+t");
    ASSERT_NE(f, nullptr);
    fputs("one\ntwo\n", f);
    rewind(f);
    char line[20];
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "one\n");
    fclose(f);
    EXPECT_EQ(read_file("rw.txt"), "one\r\ntwo\r\n");

    write_file("patch.bin", "0123456789");
    f = open_file("patch.bin", "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseek(f, 4, SEEK_SET), 0);
    fputs("xy", f);
    fclose(f);
    EXPECT_EQ(read_file("patch.bin"), "0123xy6789");
}

TEST_F(StreamTest, FoldersAndUnknownModesDoNotOpen) {
    make_dirs("folder");
    errno = 0;
    EXPECT_EQ(open_file("folder", "rb"), nullptr);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(open_file("folder", "wb"), nullptr);
    EXPECT_EQ(errno, EACCES);
    for (const char* mode : {"", "x", "rq", "br"}) {
        errno = 0;
        EXPECT_EQ(open_file("any.txt", mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    EXPECT_FALSE(exists("any.txt"));
}

TEST_F(StreamTest, LargeWritesReachTheFileInLargePieces) {
    // Counted at the choke point: every write the stream makes passes it once.
    std::string big(8 << 20, 'd');
    FILE* f = open_file("big.bin", "wb");
    ASSERT_NE(f, nullptr);
    fault_arm(0, FAULT_FAIL);
    ASSERT_EQ(fwrite(big.data(), 1, big.size(), f), big.size());
    EXPECT_LE(fault_calls(), 3);
    fault_arm(0, FAULT_FAIL);
    for (int i = 0; i < 6000; ++i) fwrite("0123456789", 1, 10, f);   // 60 000 bytes fit the buffer
    EXPECT_EQ(fault_calls(), 0);
    fclose(f);
    struct stat st;
    ASSERT_EQ(stat("big.bin", &st), 0);
    EXPECT_EQ(st.st_size, (8 << 20) + 60000);

    std::string text(3 << 20, 't');
    for (size_t i = 0; i < text.size(); i += 100) text[i] = '\n';
    f = open_file("big.txt", "wt");
    ASSERT_NE(f, nullptr);
    fault_arm(0, FAULT_FAIL);
    ASSERT_EQ(fwrite(text.data(), 1, text.size(), f), text.size());
    EXPECT_LE(fault_calls(), 3);
    fclose(f);
    ASSERT_EQ(stat("big.txt", &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), text.size() + (text.size() + 99) / 100);
}

TEST_F(StreamTest, StreamsLeaveNoDescriptorBehindAndNoneToChildren) {
    int before = open_descriptors();
    for (int i = 0; i < 1500; ++i) {
        FILE* f = open_file("many.txt", i % 2 ? "rt" : "wb");
        ASSERT_NE(f, nullptr) << i;
        fclose(f);
    }
    EXPECT_EQ(open_descriptors(), before);

    FILE* f = open_file("held.txt", "wb");
    ASSERT_NE(f, nullptr);
    int fd = -1;
    for (int i = 3; i < 1024; ++i) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", i);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)).find("held.txt") != std::string::npos) fd = i;
    }
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "an encoder started later must not inherit the stream";
    fclose(f);
}

}  // namespace
