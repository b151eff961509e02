// What the configurator relies on in an installed AVG32 or RealLive game: the engines'
// executables, GAMEEXE.INI's line form and the runtime's scanf-style line matching, and the
// "#REGNAME" line that names the game's registry key.
#ifndef VNAUDIO_ENGINE_H
#define VNAUDIO_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Game system: which engine the game in the current folder runs on.
constexpr int NO_SYSTEM = 0;
constexpr int AVG32 = 1;
constexpr int REALLIVE = 2;

extern const char REALLIVE_EXECUTABLE[];
// The AVG32 family, in the order they are looked for.
extern const char* const AVG32_EXECUTABLES[4];

// GAMEEXE.INI lines are read into this much room, terminator included.
constexpr size_t LINE_SIZE = 1024;
// Room for the registry name and for the key path formed from it.
constexpr size_t REGNAME_SIZE = 256;

// Reads the next line (with its "\n") into line, at most LINE_SIZE - 1 bytes: a longer line
// arrives in pieces. The bytes are terminated; the answer is their count, which also covers any
// NUL byte inside the line. 0 at the end of the stream or on a read error (ferror tells which).
size_t read_line(FILE* stream, char line[LINE_SIZE]);

// One field of a scan_line pattern.
//   %d      number: where the value goes. A null pointer accepts a digit run of any length and
//           keeps nothing; otherwise a value outside 32 bits does not fit.
//   %[^c]   text, size: one or more characters up to the next c.
//   %Ns     text, size: after white space, one to N (any count without N) non-blank characters.
// A text field with size bytes of room or more does not fit: the terminator must fit as well.
struct scan_field {
    int32_t* number;
    char* text;
    size_t size;
};

// Matches line against pattern as the runtime's sscanf would, without ever writing past a
// field's room. A blank in the pattern matches any run of white space, none included; any other
// character must equal the line's next one. Answers how many fields were filled before the
// first mismatch; the caller decides whether that is all it asked for.
int scan_line(const char* line, const char* pattern, const scan_field* fields, int count);

// The longest registry name whose key path "Software\\<name>" fits REGNAME_SIZE.
constexpr size_t MAX_REGNAME_LENGTH = REGNAME_SIZE - 1 - 9;

// Reads lines from the stream's current position until one holds "#REGNAME = \"%[^\"]\"" and
// puts the name in name. 1 when found (the stream then stands behind that line), 0 at the end of
// the stream or on a read error, -1 when the first name found is longer than MAX_REGNAME_LENGTH
// (its length is then in *too_long).
int find_registry_name(FILE* ini, char name[REGNAME_SIZE], size_t* too_long);

// Forms "Software\\<name>" in key. 0 when it does not fit.
int format_game_key(char key[REGNAME_SIZE], const char* name);

#endif
