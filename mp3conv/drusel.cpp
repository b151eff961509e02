// drusel: run inside koewav; converts every voice to MP3 under its own name.
#include "mp3conv/mp3conv.h"
#include "platform/platform.h"

extern const char tool_title[] = "drusel.exe";

int main(int argc, char** argv) {
    begin_run(&argc, &argv);
    return end_run(run_drusel());
}
