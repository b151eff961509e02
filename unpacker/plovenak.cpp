// plovenak: switches a game's voice folder to "koewav" and unpacks its KOEPAC voice archives
// there as 16-bit WAV files. Run in the game folder; takes no options.
#include "unpacker/unpack.h"

extern const char tool_title[] = "plovenak.exe";

int main() { return run_unpacker(); }
