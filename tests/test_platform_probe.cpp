// A small program over the POSIX platform layer for tests that need a process of their own: boxes
// reading standard input, commands started with it, and faults armed through the environment.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/platform.h"

static unsigned box_type(const char* word) { return static_cast<unsigned>(strtoul(word, nullptr, 0)); }

int main(int argc, char** argv) {
    int a = 1;
    if (a < argc && strcmp(argv[a], "merge") == 0) {
        // Standard error into standard output, so the order of the two can be seen.
        dup2(1, 2);
        ++a;
    }
    if (a >= argc) return 2;
    std::string what = argv[a++];
    int left = argc - a;
    if (what == "box" && left == 2) {
        printf("answer=%d\n", show_box(argv[a + 1], "probe.exe", box_type(argv[a])));
        return 0;
    }
    if (what == "box-rest" && left == 1) {
        int answer = show_box("question", "probe.exe", box_type(argv[a]));
        std::string rest;
        char buf[4096];
        ssize_t k;
        while ((k = read(0, buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(k));
        printf("answer=%d rest=[%s]\n", answer, rest.c_str());
        return 0;
    }
    if (what == "box-run" && left == 2) {
        int answer = show_box("question", "probe.exe", box_type(argv[a]));
        printf("answer=%d\n", answer);
        int status = run_command(argv[a + 1]);
        printf("status=%d\n", status);
        return 0;
    }
    if (what == "progress-box" && left == 0) {
        printf("progress line\n");
        show_box("a notice", "probe.exe", BOX_OK | BOX_ICON_ERROR);
        printf("after\n");
        return 0;
    }
    if (what == "run" && left == 1) {
        printf("before ");
        int status = run_command(argv[a]);
        printf("status=%d\n", status);
        return 0;
    }
    if (what == "exit" && left == 1) return atoi(argv[a]);
    if (what == "hooked") {
        // A run's output as the tools make it: CP932 throughout, standard error unbuffered.
        begin_run(&argc, &argv);
        for (int i = a; i < argc; ++i) {
            for (const char* p = argv[i]; *p; ++p) printf("%02X", static_cast<unsigned char>(*p));
            printf("\n");
        }
        printf("\x90\xAC\x8C\xF7\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42\n");   // 成功しました。
        for (const char* p = "\x95\x5C\x83\x5C\n"; *p; ++p) fputc(*p, stderr);          // 表ソ, a byte at a time
        show_box("\x89\xB9\x8A\x79\\A.wav", "probe.exe", BOX_OK);                         // 音楽\A.wav
        return end_run(0);
    }
    if (what == "set-many" && left == 3) {
        // Sets N values NAME0 .. NAME(N-1) one after the other, each through a change of its own.
        reg_key key = nullptr;
        if (reg_open_key(argv[a], REG_ACCESS_QUERY | REG_ACCESS_SET, &key) != REG_OK) return 1;
        for (int i = 0; i < atoi(argv[a + 2]); ++i) {
            std::string name = argv[a + 1] + std::to_string(i);
            if (reg_set_value(key, name.c_str(), REG_TYPE_SZ, reinterpret_cast<const unsigned char*>("v"), 2) != REG_OK)
                return 1;
        }
        reg_close_key(key);
        return 0;
    }
    if (what == "echo-args") {
        for (int i = a; i < argc; ++i) printf("[%s]\n", argv[i]);
        return 0;
    }
    if (what == "write" && left == 1) {
        static char block[300000];
        memset(block, 'w', sizeof block);
        FILE* f = open_file(argv[a], "wb");
        if (!f) {
            printf("open failed: %d\n", errno);
            return 1;
        }
        size_t n = fwrite(block, 1, sizeof block, f);
        int closed = fclose(f);
        if (n != sizeof block || closed != 0) {
            printf("write failed: %d\n", errno);
            return 1;
        }
        printf("written\n");
        return 0;
    }
    return 2;
}
