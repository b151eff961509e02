// Test helpers for the voice unpacker: a literal decoder of KOEPAC data written straight from the
// format's description (the oracle the fast decoder is checked against), a WAV maker, and game
// folders with a registry store to run plovenak in.
#ifndef VNAUDIO_TESTS_UNPACKER_SUPPORT_H
#define VNAUDIO_TESTS_UNPACKER_SUPPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/support.h"

// One block, nibble by nibble; an escape cut off by the block's end yields nothing.
std::vector<int16_t> reference_decode_block(const uint8_t* bytes, size_t size);

struct reference_voice {
    uint16_t id;
    std::vector<int16_t> samples;
    bool broken = false;   // its blocks run past the end of the file: the unpacker passes it over
};

// Decodes a whole archive held in bytes into its voices in index order, with the archive's rate
// (22050 for 0). False when its index is impossible (the count or a size table outside the file):
// the unpacker refuses such an archive.
bool reference_unpack(const std::string& archive, std::vector<reference_voice>* voices,
                      uint32_t* rate);

// The files an archive gives in koewav/<code>/ (names relative to koewav): each id's last whole
// voice; broken voices give none.
void add_expected_tree(std::map<std::string, std::string>& tree, const std::vector<reference_voice>& voices,
                       uint32_t rate, const std::string& code);

// The square-law value of a companded code, for expected samples.
int16_t expanded(uint8_t code);
std::vector<int16_t> expanded(const std::vector<uint8_t>& codes);

// A game folder: GAMEEXE.INI naming the registry key "Software\<regname>", a registry store file
// (outside the folder) holding KOE_FOLDER, and the voice folder.
struct game_setup {
    temp_dir root;          // holds "game" and the registry store
    std::string game;       // the game folder
    std::string registry;   // the store, for VNAUDIO_REGISTRY
};

// Writes GAMEEXE.INI with "#REGNAME = \"<regname>\"" and the store with KOE_FOLDER = koe_folder
// (raw bytes, escaped for the store).
void setup_game(game_setup& g, const std::string& regname, const std::string& koe_folder);
// A registry store file holding one string value (bytes as given) under Software\<regname>.
std::string registry_text(const std::string& regname, const std::string& name, const std::string& value);
// The value of name under Software\<regname> in the store, or "<missing>".
std::string registry_value(const std::string& store_path, const std::string& regname, const std::string& name);

// The files and folders below koewav, as snapshot gives them, less the unpacker's work folder when
// it is empty: a run whose last call (that folder's removal) fails leaves it so, harmlessly.
std::map<std::string, std::string> voice_tree(const std::string& koewav);

// Runs the built plovenak in the game folder with the store; input answers its questions.
run_result run_plovenak(const game_setup& g, const std::string& input = "",
                        const std::vector<std::string>& env = {});

#endif
