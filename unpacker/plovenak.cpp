// plovenak: switches a game's voice folder to "koewav" and unpacks its KOEPAC voice archives
// there as 16-bit WAV files. Run in the game folder; takes no options.
#include "common/common.h"
#include "platform/platform.h"
#include "unpacker/unpack.h"

extern const char tool_title[] = "plovenak.exe";

int main(int argc, char** argv) {
    begin_run(&argc, &argv);
    if (!enter_dropped_folder(&argc, argv)) return end_run(1);
    return end_run(run_unpacker());
}
