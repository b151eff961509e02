// A stand-in for the MP3 encoder in tests: "fake_encoder -e -w IN OUT" writes OUT as a marker plus
// IN's bytes (the marker "FAKEMP3:", or "ID3FAKE:" when FAKE_ENCODER_ID3 is set, which the converter
// takes for MP3 data). FAKE_ENCODER_LOG names a file that gets one line per call (the arguments as
// received). FAKE_ENCODER_PLAN names a file of exit statuses, one per line: a plain line is used by
// the calls in turn; a line "NAME STATUS" only by calls whose IN ends in NAME, in turn among them (a
// call beyond the plan succeeds). A failing call writes nothing unless the status is 99, which
// leaves a partial OUT behind like a crashed encoder; status 98 answers success without writing OUT,
// 97 success with an empty OUT. FAKE_ENCODER_MS makes each call take that long. FAKE_ENCODER_RUNNING
// names a folder where each call marks itself while it runs and appends to its file "counts" how
// many calls it saw running, at its start and its end. FAKE_ENCODER_SAY makes it print a line of
// its own on standard output, to show where an encoder's output lands among the converter's.
// The marker and IN's bytes are the body of an ID3v2 tag, followed by silent MPEG-1 layer III
// frames as long as IN's WAV header says (one frame when IN is no WAV), so the output passes the
// converter's check of MP3 data.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>
#include <dirent.h>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/helpers/fake_mp3.h"

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

static bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The status planned for this call of IN; calls is every call logged before this one.
static int planned_status(const std::vector<std::string>& calls, const std::string& in) {
    std::vector<std::string> plan = read_lines(getenv("FAKE_ENCODER_PLAN"));
    std::vector<int> mine;
    for (const std::string& line : plan) {
        size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        if (ends_with(in, line.substr(0, blank))) mine.push_back(atoi(line.c_str() + blank + 1));
    }
    if (!mine.empty()) {
        size_t seen = 0;
        for (const std::string& call : calls) seen += ends_with(call.substr(0, call.rfind(' ')), in);
        return seen < mine.size() ? mine[seen] : 0;
    }
    size_t call = calls.size();
    return call < plan.size() && plan[call].find(' ') == std::string::npos ? atoi(plan[call].c_str()) : 0;
}

static void count_running(const std::string& folder) {
    int n = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) n += ends_with(e->d_name, ".run");
        closedir(d);
    }
    if (FILE* f = fopen((folder + "/counts").c_str(), "a")) {
        fprintf(f, "%d\n", n);
        fclose(f);
    }
}

// Encoders that claim success for output that is not their voice: exit 0 after writing it, or a
// crash (abort) in the middle of the write.
static int misbehave_with(const std::string& how, const std::string& body, const std::string& mp3, FILE* out) {
    std::string data;
    if (how == "cut") data = mp3.substr(0, mp3.size() - 100);
    else if (how == "garbage") data = "this is not an MP3 at all\n";
    else if (how == "stub") data = std::string("\xFF\xFB\x90\xC0stub...", 11);
    else if (how == "short") data = mp3.substr(0, 10 + body.size() + 417);
    else if (how == "crash") {
        fwrite(mp3.data(), 1, mp3.size() / 2, out);
        fflush(out);
        abort();
    } else data = mp3;   // "full": the whole MP3, its failed writes unreported as LAME does
    fwrite(data.data(), 1, data.size(), out);
    fclose(out);
    return 0;
}

int main(int argc, char** argv) {
    const char* log_path = getenv("FAKE_ENCODER_LOG");
    std::vector<std::string> calls = read_lines(log_path);
    if (log_path) {
        std::string line;
        for (int i = 1; i < argc; ++i) line += std::string(i > 1 ? " " : "") + argv[i];
        // One write of the whole line: calls running at once must not mix their lines.
        if (FILE* log = fopen(log_path, "a")) {
            fprintf(log, "%s\n", line.c_str());
            fclose(log);
        }
    }
    if (argc != 5 || strcmp(argv[1], "-e") != 0 || strcmp(argv[2], "-w") != 0) return 2;

    const char* running = getenv("FAKE_ENCODER_RUNNING");
    std::string mark = running ? std::string(running) + "/" + std::to_string(getpid()) + ".run" : "";
    if (running) {
        fclose(fopen(mark.c_str(), "w"));
        count_running(running);
    }
    // FAKE_ENCODER_HANG=NAME: a call whose IN ends in NAME writes the start of OUT and then never
    // ends, like an encoder stuck on a voice (its mark in FAKE_ENCODER_RUNNING stays).
    if (const char* hang = getenv("FAKE_ENCODER_HANG")) {
        if (ends_with(argv[3], hang)) {
            if (FILE* out = open_file(argv[4], "wb")) {
                fputs("FAKEMP3:part", out);
                fflush(out);
            }
            for (;;) usleep(500000);
        }
    }
    if (const char* ms = getenv("FAKE_ENCODER_MS")) usleep(static_cast<useconds_t>(atoi(ms)) * 1000);
    if (running) {
        count_running(running);
        remove(mark.c_str());
    }

    if (getenv("FAKE_ENCODER_SAY")) printf("encoding %s\n", argv[3]);
    int status = planned_status(calls, argv[3]);
    if (status == 98) return 0;
    if (status != 0 && status != 99 && status != 97) return status;

    FILE* in = open_file(argv[3], "rb");
    if (!in) return 3;
    FILE* out = open_file(argv[4], "wb");
    if (!out) return 4;
    if (status == 97) {
        fclose(in);
        return fclose(out) == 0 ? 0 : 5;
    }
    std::string body = getenv("FAKE_ENCODER_ID3") ? "ID3FAKE:" : "FAKEMP3:";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) body.append(buf, n);
    fclose(in);
    std::string mp3 = fake_mp3(body);
    if (const char* misbehave = getenv("FAKE_ENCODER_MISBEHAVE")) return misbehave_with(misbehave, body, mp3, out);
    fwrite(mp3.data(), 1, mp3.size(), out);
    if (fclose(out) != 0) return 5;
    return status;
}
