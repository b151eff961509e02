// Fuzz target: the POSIX registry store. The input's store text is read through the registry calls
// the tools make (open, query, set), keys and value names taken from its own lines. A malformed
// store is an error code, never a crash; a query that asks for the size first gets the data in a
// buffer of that size; and a value that is set reads back byte for byte while every other value
// reads as before.
//
// Input: byte 0 = the kind of value to set (0 a string with its terminator, 1 one without, 2 a
// DWORD, 3 binary), byte 1 = length of its name (0-15) and the name, one byte = length of its
// data (0-63) and the data, then the store text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

constexpr long INVALID_PARAMETER = 87;   // ERROR_INVALID_PARAMETER

struct reading {
    long rc;
    std::string data;
};

const std::string& store_path() {
    static std::string path;
    if (path.empty()) {
        path = scratch_dir() + "/registry.reg";
        setenv("VNAUDIO_REGISTRY", path.c_str(), 1);
    }
    return path;
}

// Takes length-prefixed bytes; a NUL ends a name early, as it would in the tools' C strings.
std::string take(const uint8_t*& p, const uint8_t* end, unsigned limit) {
    if (p >= end) return "";
    size_t n = *p++ % (limit + 1);
    if (n > static_cast<size_t>(end - p)) n = static_cast<size_t>(end - p);
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    return s;
}

// Keys and value names as they stand in the store's lines, for probing.
void collect_probes(const std::string& text, std::vector<std::string>* keys, std::vector<std::string>* names) {
    keys->assign({"", "Software\\fuzz"});
    names->assign({"", "BGM_FOLDER", "KOE_FOLDER"});
    const std::string hkcu = "[HKEY_CURRENT_USER\\";
    size_t start = 0;
    while (start < text.size() && keys->size() < 8 && names->size() < 10) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, hkcu.size(), hkcu) == 0) {
            size_t close = line.find(']');
            if (close != std::string::npos) keys->push_back(line.substr(hkcu.size(), close - hkcu.size()));
        } else if (!line.empty() && line[0] == '"') {
            std::string name;
            for (size_t i = 1; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size()) ++i;
                name.push_back(line[i]);
            }
            names->push_back(name.c_str());
        }
    }
}

reading query(reg_key key, const std::string& name) {
    uint32_t size = 0;
    long rc = reg_query_value(key, name.c_str(), nullptr, &size);
    if (rc != REG_OK) return {rc, ""};
    std::vector<unsigned char> buf(size + 1, 0xEE);
    uint32_t room = size;
    long full = reg_query_value(key, name.c_str(), buf.data(), &room);
    if (full != REG_OK || room != size)
        fuzz_fail("value \"%s\": %u bytes by size, then rc %ld with %u bytes", name.c_str(), size, full, room);
    if (buf[size] != 0xEE) fuzz_fail("value \"%s\": query wrote past the %u bytes given", name.c_str(), size);
    if (size > 0) {
        uint32_t small = size - 1;
        long rc_small = reg_query_value(key, name.c_str(), buf.data(), &small);
        if (rc_small != REG_MORE_DATA || small != size)
            fuzz_fail("value \"%s\": a buffer one byte short gave rc %ld and size %u", name.c_str(), rc_small, small);
    }
    return {REG_OK, std::string(reinterpret_cast<char*>(buf.data()), size)};
}

// Every probe key that opens, with each probe name's reading.
std::vector<std::vector<reading>> read_all(const std::vector<std::string>& keys, const std::vector<std::string>& names,
                                           std::vector<long>* opened) {
    std::vector<std::vector<reading>> all;
    opened->clear();
    for (const std::string& k : keys) {
        reg_key key = nullptr;
        long rc = reg_open_key(k.c_str(), REG_ACCESS_QUERY, &key);
        opened->push_back(rc);
        std::vector<reading> row;
        if (rc == REG_OK)
            for (const std::string& n : names) row.push_back(query(key, n));
        if (key) reg_close_key(key);
        all.push_back(row);
    }
    return all;
}

bool same_name(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = store_path();
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    unsigned kind = p < end ? *p++ % 4 : 0;
    std::string name = take(p, end, 15).c_str();
    std::string value = take(p, end, 63);
    std::string text(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
    put_file(path, text);

    std::vector<std::string> keys, names;
    collect_probes(text, &keys, &names);
    names.push_back(name);
    std::vector<long> opened;
    std::vector<std::vector<reading>> before = read_all(keys, names, &opened);

    size_t target = 0;
    while (target < keys.size() && opened[target] != REG_OK) ++target;
    if (target == keys.size()) return 0;

    std::string set_bytes = value;
    uint32_t type = REG_TYPE_SZ;
    if (kind == 0) set_bytes.push_back('\0');
    if (kind == 2) {
        set_bytes.resize(4);
        type = 4;
    }
    if (kind == 3) type = 3;
    reg_key key = nullptr;
    if (reg_open_key(keys[target].c_str(), REG_ACCESS_QUERY | REG_ACCESS_SET, &key) != REG_OK)
        fuzz_fail("key \"%s\" opened for reading but not for writing", keys[target].c_str());
    long rc = reg_set_value(key, name.c_str(), type, reinterpret_cast<const unsigned char*>(set_bytes.data()),
                            static_cast<uint32_t>(set_bytes.size()));
    reg_close_key(key);
    // A line end in a name has no place in the store's text; such a name is refused.
    // So is a name whose CP932 bytes would read back as other UTF-8 text.
    bool storable = name.find('\n') == std::string::npos && registry_text_storable(name.c_str());
    if (rc != (storable ? REG_OK : INVALID_PARAMETER))
        fuzz_fail("setting \"%s\" in a readable store answered %ld", name.c_str(), rc);
    if (!storable && get_file(path) != text) fuzz_fail("a refused value changed the store");

    std::vector<long> reopened;
    std::vector<std::vector<reading>> after = read_all(keys, names, &reopened);
    for (size_t k = 0; k < keys.size(); ++k) {
        if (opened[k] == REG_OK && reopened[k] != REG_OK)
            fuzz_fail("key \"%s\" lost after setting a value (rc %ld)", keys[k].c_str(), reopened[k]);
        if (opened[k] != REG_OK) continue;
        for (size_t n = 0; n < names.size(); ++n) {
            const reading& b = before[k][n];
            const reading& a = after[k][n];
            if (storable && names[n] == name && k == target && (a.rc != REG_OK || a.data != set_bytes))
                fuzz_fail("value \"%s\" set to %zu bytes reads back rc %ld, %zu bytes", name.c_str(), set_bytes.size(),
                          a.rc, a.data.size());
            if (!same_name(names[n], name) && (a.rc != b.rc || a.data != b.data))
                fuzz_fail("value \"%s\" of key \"%s\" changed when \"%s\" was set", names[n].c_str(), keys[k].c_str(),
                          name.c_str());
        }
    }
    return 0;
}
