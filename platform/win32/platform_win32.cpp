// The Windows backend's command call: the runtime's system(), as the tools are defined by.
#include "platform/platform.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>

// The runtime buffers its streams fully when they go to a pipe or a file, and system() does not
// flush them: without this, lines written before a command would come out after the command's own.
int run_command(const char* command) {
    fflush(nullptr);
    return system(command);
}
