// A stand-in for the MP3 encoder in tests: "fake_encoder -e -w IN OUT" writes OUT as a marker plus
// IN's bytes. FAKE_ENCODER_LOG names a file that gets one line per call (the arguments as received);
// FAKE_ENCODER_PLAN names a file of exit statuses, one per line, used by the calls in turn (a call
// beyond the plan succeeds). A failing call writes nothing unless the status is 99, which leaves a
// partial OUT behind like a crashed encoder; status 98 answers success without writing OUT.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

extern const char tool_title[] = "fake_encoder";

static std::vector<std::string> read_lines(const char* path) {
    std::vector<std::string> lines;
    if (!path) return lines;
    FILE* f = fopen(path, "r");
    if (!f) return lines;
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        lines.push_back(s);
    }
    fclose(f);
    return lines;
}

int main(int argc, char** argv) {
    const char* log_path = getenv("FAKE_ENCODER_LOG");
    size_t call = read_lines(log_path).size();
    if (log_path) {
        FILE* log = fopen(log_path, "a");
        if (log) {
            for (int i = 1; i < argc; ++i) fprintf(log, "%s%s", i > 1 ? " " : "", argv[i]);
            fputc('\n', log);
            fclose(log);
        }
    }
    if (argc != 5 || strcmp(argv[1], "-e") != 0 || strcmp(argv[2], "-w") != 0) return 2;

    std::vector<std::string> plan = read_lines(getenv("FAKE_ENCODER_PLAN"));
    int status = call < plan.size() ? atoi(plan[call].c_str()) : 0;
    if (status == 98) return 0;
    if (status != 0 && status != 99) return status;

    FILE* in = open_file(argv[3], "rb");
    if (!in) return 3;
    FILE* out = open_file(argv[4], "wb");
    if (!out) return 4;
    fputs("FAKEMP3:", out);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) fwrite(buf, 1, n, out);
    fclose(in);
    if (fclose(out) != 0) return 5;
    return status;
}
