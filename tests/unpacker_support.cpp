// Test helpers for the voice unpacker (see unpacker_support.h).
#include "tests/unpacker_support.h"

int16_t expanded(uint8_t code) {
    int v = code - 128;
    return static_cast<int16_t>(2 * v * (v < 0 ? -v : v));
}

std::vector<int16_t> expanded(const std::vector<uint8_t>& codes) {
    std::vector<int16_t> out;
    for (uint8_t c : codes) out.push_back(expanded(c));
    return out;
}

// The step of a code: odd codes go up by (code + 1) / 2, even ones down by code / 2.
static int step(unsigned code) { return (code & 1) ? static_cast<int>(code + 1) / 2 : -static_cast<int>(code / 2); }

std::vector<int16_t> reference_decode_block(const uint8_t* bytes, size_t size) {
    std::vector<int16_t> out;
    if (size == 0) return std::vector<int16_t>(1024, 0);
    if (size == 1024) {
        for (size_t k = 0; k < size; ++k) out.push_back(expanded(bytes[k]));
        return out;
    }
    auto nibble = [&](size_t p) { return (p % 2 == 0) ? bytes[p / 2] & 0x0F : bytes[p / 2] >> 4; };
    int acc = 0;
    size_t p = 0;
    while (p < 2 * size) {
        unsigned code = nibble(p++);
        if (code == 15) {
            if (p + 1 >= 2 * size) break;
            code = nibble(p) | (nibble(p + 1) << 4);
            p += 2;
        }
        acc = (acc + step(code) + 256) % 256;
        out.push_back(expanded(static_cast<uint8_t>(acc)));
    }
    return out;
}

static uint32_t get_u32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<uint8_t>(s[at + k]);
    return v;
}

static unsigned get_u16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8);
}

bool reference_unpack(const std::string& archive, std::vector<reference_voice>* voices, uint32_t* rate) {
    voices->clear();
    if (archive.size() < 32) return false;
    int32_t count = static_cast<int32_t>(get_u32(archive, 16));
    *rate = get_u32(archive, 24);
    if (*rate == 0) *rate = 22050;
    if (count < 0 || 32 + 8 * static_cast<uint64_t>(count) > archive.size()) return false;
    for (int32_t k = 0; k < count; ++k) {
        size_t at = 32 + 8 * static_cast<size_t>(k);
        reference_voice v{static_cast<uint16_t>(get_u16(archive, at)), {}};
        unsigned blocks = get_u16(archive, at + 2);
        uint64_t pos = get_u32(archive, at + 4);
        uint64_t data = pos + 2 * uint64_t{blocks};
        if (data > archive.size()) return false;
        for (unsigned b = 0; b < blocks && !v.broken; ++b) {
            unsigned size = get_u16(archive, pos + 2 * b);
            v.broken = data + size > archive.size();
            if (v.broken) break;
            std::vector<int16_t> s =
                reference_decode_block(reinterpret_cast<const uint8_t*>(archive.data()) + data, size);
            v.samples.insert(v.samples.end(), s.begin(), s.end());
            data += size;
        }
        voices->push_back(std::move(v));
    }
    return true;
}

void add_expected_tree(std::map<std::string, std::string>& tree, const std::vector<reference_voice>& voices,
                       uint32_t rate, const std::string& code) {
    tree[code + "/"] = "";
    for (const reference_voice& v : voices) {
        if (v.broken) continue;
        char name[64];
        snprintf(name, sizeof name, "%s/Z%s%05u.WAV", code.c_str(), code.c_str(), unsigned{v.id});
        tree[name] = make_wav(v.samples, rate);
    }
}

std::string registry_text(const std::string& regname, const std::string& name, const std::string& value) {
    return "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\" + regname + "]\r\n\"" + name + "\"=\"" +
           registry_escape(value) + "\"\r\n";
}

std::string registry_value(const std::string& store_path, const std::string& regname, const std::string& name) {
    std::string text = read_file(store_path);
    std::string key = "[HKEY_CURRENT_USER\\Software\\" + regname + "]";
    size_t at = text.find(key);
    if (at == std::string::npos) return "<missing>";
    size_t end = text.find("\n[", at + key.size());
    std::string section = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::string prefix = "\"" + name + "\"=\"";
    size_t v = section.find(prefix);
    if (v == std::string::npos) return "<missing>";
    std::string out;
    for (size_t i = v + prefix.size(); i < section.size() && section[i] != '"'; ++i) {
        if (section[i] == '\\' && i + 1 < section.size()) ++i;
        out.push_back(section[i]);
    }
    return out;
}

void setup_game(game_setup& g, const std::string& regname, const std::string& koe_folder) {
    g.game = g.root / "game";
    g.registry = g.root / "registry.reg";
    make_dirs(g.game);
    write_file(g.game + "/GAMEEXE.INI", "#CAPTION = \"test\"\r\n#REGNAME = \"" + regname + "\"\r\n");
    write_file(g.registry, registry_text(regname, "KOE_FOLDER", koe_folder));
}

run_result run_plovenak(const game_setup& g, const std::string& input, const std::vector<std::string>& env) {
    std::vector<std::string> all = {"VNAUDIO_REGISTRY=" + g.registry};
    all.insert(all.end(), env.begin(), env.end());
    return run_program(bin_path("plovenak"), {}, g.game, input, all);
}

std::map<std::string, std::string> voice_tree(const std::string& koewav) {
    std::map<std::string, std::string> tree = snapshot(koewav);
    auto work = tree.find("~unpacking/");
    if (work != tree.end() && (std::next(work) == tree.end() || std::next(work)->first.rfind("~unpacking/", 0) != 0))
        tree.erase(work);
    return tree;
}
