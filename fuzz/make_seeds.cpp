// Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/ with the tests' own
// builders: archives from the KOEPAC writer, music headers and registry stores from the
// configurator's test helpers, GAMEEXE.INI texts of both engines. Run it after changing a
// builder or an input layout: make_fuzz_seeds <source folder>.
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/configurator_support.h"
#include "tools/koepac/koepac_writer.h"

namespace {

std::string root;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
    std::string dir = root + "/fuzz/corpus/" + target;
    make_dirs(dir);
    write_file(dir + "/seed-" + name, bytes);
}

koe_voice_data voice(uint16_t id, const std::vector<koe_block>& blocks) {
    koe_voice_data v;
    std::string error;
    if (!pack_blocks(id, blocks, &v, &error)) fprintf(stderr, "voice %u: %s\n", id, error.c_str());
    return v;
}

void koepac_seeds() {
    std::vector<uint8_t> ramp, jumps, noise(1024);
    for (int k = 0; k < 60; ++k) ramp.push_back(static_cast<uint8_t>(250 + k));   // wraps at 255
    for (int k = 0; k < 30; ++k) jumps.push_back(static_cast<uint8_t>(k * 83));   // escapes
    for (size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<uint8_t>(k * 37 + 11);
    seed("fuzz_koepac", "every-kind",
         build_koepac({voice(1, {{KOE_BLOCK_CODED, ramp, false}, {KOE_BLOCK_SILENT, {}, false}}),
                       voice(2, {{KOE_BLOCK_CODED, jumps, false}, {KOE_BLOCK_RAW, noise, false}}),
                       voice(3, {})},
                      8000));
    seed("fuzz_koepac", "empty", build_koepac({}, 0));
    seed("fuzz_koepac", "escaped-only", build_koepac({voice(7, {{KOE_BLOCK_CODED, jumps, true}})}, 44100));
    std::vector<uint8_t> long_codes(1500);
    for (size_t k = 0; k < long_codes.size(); ++k) long_codes[k] = static_cast<uint8_t>(128 + (k % 9) - 4);
    seed("fuzz_koepac", "long-coded-block", build_koepac({voice(65535, {{KOE_BLOCK_CODED, long_codes, false}})}, 0));

    // Two entries sharing one voice's data, whose two blocks end inside an escape (in the low and
    // in the high nibble of their last byte).
    std::string shared("KOEPAC\0", 7);
    shared.resize(16, '\0');
    put_u32(shared, 2);
    put_u32(shared, 0);
    put_u32(shared, 22050);
    put_u32(shared, 0);
    for (uint16_t id : {1, 2}) {
        put_u16(shared, id);
        put_u16(shared, 2);
        put_u32(shared, 48);
    }
    put_u16(shared, 2);
    put_u16(shared, 3);
    shared += "\x21\x4F";
    shared += "\x13\x57\xF9";
    seed("fuzz_koepac", "shared-data-escape-at-end", shared);
}

std::string gameexe_input(int flags, const std::vector<std::string>& slots, const std::string& ini) {
    std::string s(1, static_cast<char>(flags));
    for (size_t k = 0; k < 8; ++k) {
        std::string h = k < slots.size() ? slots[k] : "";
        if (h == "-") {
            s += static_cast<char>(255);
            h = "";
        } else {
            s += static_cast<char>(h.size());
        }
        h.resize(44, '\0');
        s += h;
    }
    return s + ini;
}

void gameexe_seeds() {
    const int REALLIVE_FLAG = 1, FOLDER_FLAG = 2;
    const int IGNORE_ALL = (2 << 2) | (2 << 4) | (2 << 6), RETRY_ABORT = (1 << 2) | (0 << 4) | (3 << 6);
    std::string avg32_wav = pcm_wav(44100, 2, 176400 * 75), small_wav = pcm_wav(22050, 1, 44100);
    std::string nwa = nwa_header(valid_nwa(2, 44100, 10, 1024, 500));
    std::string head = "; sample\r\n#CAPTION = \"game\"\r\n#REGNAME = \"fuzz\"\r\n";
    seed("fuzz_gameexe", "avg32",
         gameexe_input(FOLDER_FLAG | IGNORE_ALL, {"-", avg32_wav, "-", small_wav},
                       head + "#MUSIC_TYPE = 000\r\n#KOE_DOUBLE_PAC = 1 ; comment\r\n#BGM_MODE = 0\r\n"
                              "#DSTRACK = 00000000 - 99999999 - 00000000 = \"a\" = \"first\"\r\n"
                              "#DSTRACK = 176400 - 352800 - -5 = \"B\" = \"second\"\r\n"
                              "#DSTRACK = 0 - 99999999 - 0 = \"gone\" = \"third\"\r\n#END"));
    seed("fuzz_gameexe", "reallive",
         gameexe_input(REALLIVE_FLAG | FOLDER_FLAG | RETRY_ABORT, {nwa, avg32_wav, "-", small_wav, "junk"},
                       head + "#SYSCOM.011 = N : \"save\"\r\n#SYSCOM.011 = N : \"open\r\n#BGM_MODE=0\r\n"
                              "#CDDA_BGM_SETUP_NEED = 1\r\n#CDDA_AB_SETUP_NEED = 1\r\n"
                              "#DSTRACK = 0 - 99999999 - 0 = \"whole\" = \"w\"\r\n"
                              "#DSTRACK = 100 - 99999999 - 200 = \"a\" = \"nwa\"\r\n"
                              "#DSTRACK = 1 - 2 - 3 = \"b\" = \"wav\"\r\n"
                              "#DSTRACK = 1 - 2 - 3 = \"c\" = \"bad nwa\r\n#DSTRACK = 1 - 2 - 3 = \"\" = \"x\"\r\n"
                              "#DSTRACK = 0 - 99999999 - 0 = \"w\" = \"no line end\""));
    std::string long_line(1500, 'x');
    seed("fuzz_gameexe", "long-lines",
         gameexe_input(REALLIVE_FLAG | IGNORE_ALL, {},
                       "#REGNAME = \"fuzz\"\n" + long_line.substr(0, 1023 - 11) + "#BGM_MODE = 3\n" + long_line +
                           "\r\n#DSTRACK = 5 - 6 - 7 = \"" + std::string(70, 'n') + "\" = \"t\"\r\n\x1a#BGM_MODE = 2\r\n"));
    const char odd[] = "#REGNAME = \"\x83\x5C\x83\x74\x83\x67\"\r\n#MUSIC_TYPE = 1\0 2\r\n"
                       "#DSTRACK = 0 - 99999999 - 0 = \"\x83\x5C\" = \"\xFF\xFE\"\r\n";
    seed("fuzz_gameexe", "nul-and-cp932", gameexe_input(IGNORE_ALL, {}, std::string(odd, sizeof odd - 1)));
}

void header_seeds() {
    std::string positions;
    put_u32(positions, 2000000);
    put_u32(positions, 0xFFFFFFFF);
    put_u32(positions, 2147483647);
    positions += '\x05';
    seed("fuzz_headers", "nwa", nwa_header(valid_nwa(2, 44100, 3, 512, 100)) + positions);
    seed("fuzz_headers", "wav", pcm_wav(44100, 2, 10584000) + positions);
    wav_fields w;
    w.block_align = 0;
    w.byte_rate = 0;
    seed("fuzz_headers", "wav-zero-divisors", wav_header(w) + positions);
    nwa_fields n = valid_nwa(0, 0, 1, 1, 1);
    seed("fuzz_headers", "nwa-zero-channels", nwa_header(n));
    seed("fuzz_headers", "short", pcm_wav(8000, 1, 0).substr(0, 40));
}

std::string registry_input(int kind, const std::string& name, const std::string& data, const std::string& store) {
    return std::string(1, static_cast<char>(kind)) + static_cast<char>(name.size()) + name +
           static_cast<char>(data.size()) + data + store;
}

void registry_seeds() {
    seed("fuzz_registry", "folder", registry_input(0, "BGM_FOLDER", "music\\bgm", registry_with_folder("fuzz", "BGM")));
    seed("fuzz_registry", "kinds",
         registry_input(1, "KOE_FOLDER", "koe",
                        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\fuzz]\n@=\"default\"\n\"KOE_FOLDER\"=\"koe\\\\\\\"x\"\n"
                        "\"n\"=dword:0000002a\n\"b\"=hex:01,02,\\\n  03,04\n\"s\"=hex(1):61,00\n\"gone\"=-\n"
                        "; comment\n[HKEY_LOCAL_MACHINE\\Software\\other]\n\"x\"=\"y\"\n"));
    seed("fuzz_registry", "cp932-keys",
         registry_input(2, "SMX_Path", "abcd",
                        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\\x83\x5C\x83\x74\x83\x67]\r\n\"KOE_FOLDER\"=\"\x83\x5C\"\r\n"
                        "[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\r\n\"SMX_Path\"=\"C:\\\\scmpx.exe\"\r\n"));
    seed("fuzz_registry", "only-subkeys", registry_input(3, "", std::string("\0\1\2", 3),
                                                         "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\fuzz\\below]\n"));
    seed("fuzz_registry", "malformed", registry_input(0, "v", "x", "REGEDIT4\n[HKEY_CURRENT_USER\\a\n\"v\"=\"x\n"));
}

std::string wildcard_input(int folders, const std::vector<std::string>& parts) {
    std::string s(1, static_cast<char>(folders));
    for (size_t k = 0; k < parts.size(); ++k) s += (k ? std::string(1, '\0') : "") + parts[k];
    return s;
}

void wildcard_seeds() {
    seed("fuzz_wildcard", "three-characters", wildcard_input(1, {"???", "001", "abcd", "a.b", "ab"}));
    seed("fuzz_wildcard", "wav", wildcard_input(0, {"*.wav", "Z00100001.WAV", "x.wav.mp3", "wav", ".wav"}));
    seed("fuzz_wildcard", "koe", wildcard_input(2, {"Z???.KOE", "z0a1.koe", "Z01.KOE", "Z0011.KOE", "Z001.KOE"}));
    seed("fuzz_wildcard", "dos-dot", wildcard_input(0, {"*.", "noext", "a.b.", "a.b", ".x"}));
    seed("fuzz_wildcard", "cp932", wildcard_input(0, {"\x83\x5C*", "\x83\x5C\x83\x74", "\x83\x7C", "\x83\x5C" "a"}));
    seed("fuzz_wildcard", "literal", wildcard_input(0, {"GameExe.ini", "gameexe.INI", "GAMEEXE.IN", "xGAMEEXE.INI"}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_fuzz_seeds <source folder>\n");
        return 2;
    }
    root = argv[1];
    koepac_seeds();
    gameexe_seeds();
    header_seeds();
    registry_seeds();
    wildcard_seeds();
    return 0;
}
