// tormel: turns a game's file-played music tracks into emulated CD tracks. Run in the game folder.
#include "configurator/driver.h"

extern const char tool_title[] = "tormel.exe";

int main(int argc, char** argv) { return run_configurator(argc, argv); }
