// tormel: turns a game's file-played music tracks into emulated CD tracks. Run in the game folder.
#include "common/common.h"
#include "configurator/driver.h"
#include "platform/platform.h"

extern const char tool_title[] = "tormel.exe";

int main(int argc, char** argv) {
    begin_run(&argc, &argv);
    if (!enter_dropped_folder(&argc, argv)) return end_run(1);
    return end_run(run_configurator(argc, argv));
}
