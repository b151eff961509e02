// A stand-in for the MP3 encoder in the fault loops: "plain_encoder -e -w IN OUT" writes OUT as
// "MP3:" and IN's bytes. It uses the C library's files directly, not the platform layer, so that a
// fault armed for the converter through the environment is not met again in here.
#include <cstdio>
#include <cstring>
#include <string>

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
    fputs("MP3:", out);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) fwrite(buf, 1, n, out);
    fclose(in);
    return fclose(out) == 0 ? 0 : 5;
}
