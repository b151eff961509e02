// drusel: run inside koewav; converts every voice to MP3 under its own name. "-j N" runs up to N
// encoders at once ("-j" alone: one per processor).
#include "common/common.h"
#include "mp3conv/mp3conv.h"
#include "platform/platform.h"

extern const char tool_title[] = "drusel.exe";

int main(int argc, char** argv) {
    begin_run(&argc, &argv);
    if (!enter_dropped_folder(&argc, argv)) return end_run(1);
    int jobs = parse_jobs(argc, argv);
    if (jobs == 0) {
        error_box("使い方: drusel [-j [同時に動かすエンコーダの数 (1以上%d以下)]]", MAX_PROGRAMS);
        return end_run(1);
    }
    return end_run(run_drusel(jobs));
}
