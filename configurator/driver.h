// The configurator's run: engine detection, backups, the rewriting, and the roll-back.
#ifndef VNAUDIO_DRIVER_H
#define VNAUDIO_DRIVER_H

// The game system chosen by "--avg32" / "--reallive" (the first wins) or else by the engine
// executables in the current folder; NO_SYSTEM when neither tells.
int detect_system(int argc, char** argv);

// The whole run in the current folder; answers the exit status, 0 or 1.
int run_configurator(int argc, char** argv);

#endif
