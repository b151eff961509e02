// A stand-in for the MP3 encoder in the fault loops: "plain_encoder -e -w IN OUT" writes OUT as
// "MP3:" and IN's bytes in the ID3v2 tag of an MP3 (see fake_mp3.h). It uses the C library's files directly, not the platform layer, so that a
// fault armed for the converter through the environment is not met again in here.
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/helpers/fake_mp3.h"

static std::string posix_path(const char* path) {
    std::string out = path;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

int main(int argc, char** argv) {
    if (argc != 5 || strcmp(argv[1], "-e") != 0 || strcmp(argv[2], "-w") != 0) return 2;
    FILE* in = fopen(posix_path(argv[3]).c_str(), "rb");
    if (!in) return 3;
    FILE* out = fopen(posix_path(argv[4]).c_str(), "wb");
    if (!out) return 4;
    std::string body = "MP3:";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) body.append(buf, n);
    fclose(in);
    std::string mp3 = fake_mp3(body, 4);
    fwrite(mp3.data(), 1, mp3.size(), out);
    return fclose(out) == 0 ? 0 : 5;
}
