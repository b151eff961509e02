// drusel: run inside koewav; converts every voice to MP3 under its own name.
#include "mp3conv/mp3conv.h"

extern const char tool_title[] = "drusel.exe";

int main() { return run_drusel(); }
