// Fuzz target: the wildcard matcher of the directory search, through find_first_file and findfirst
// on a folder holding the input's names. Both families list the same entries, each a name of the
// folder (or "." and ".."), folders marked as such; "*" lists everything; a name and its ASCII
// case twin are found together; a pattern without wildcards finds just its own name in any case.
//
// Names reach the tools in CP932: a UTF-8 name on disk is listed in its CP932 form, one with no
// CP932 form not at all, and two names with one CP932 form are both listed under it.
//
// Input: byte 0 = which names are folders (one bit each), then the pattern and up to four names,
// separated by zero bytes.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

bool is_lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool is_ascii(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

std::string swap_case(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The name the search hands out for a name on disk; "" when it hands out none.
std::string listed_as(const std::string& name) {
    std::string cp932;
    return host_name_to_cp932(name.data(), name.size(), &cp932) ? cp932 : "";
}

std::vector<std::string> made;   // entries of the folder, to remove before the next input

void clear_folder(const std::string& folder) {
    for (const std::string& name : made) {
        std::string path = folder + "/" + name;
        if (unlink(path.c_str()) != 0) rmdir(path.c_str());
    }
    made.clear();
}

std::vector<find_entry> search_both(const std::string& pattern) {
    std::vector<find_entry> first, second;
    find_entry e;
    if (find_state* s = find_first_file(pattern.c_str(), &e)) {
        do first.push_back(e);
        while (find_next_file(s, &e));
        find_close(s);
    }
    intptr_t h = findfirst(pattern.c_str(), &e);
    if (h != -1) {
        do second.push_back(e);
        while (findnext(h, &e) == 0);
        findclose(h);
    }
    if (first.size() != second.size()) fuzz_fail("FindFirstFile found %zu, _findfirst %zu", first.size(), second.size());
    for (size_t k = 0; k < first.size(); ++k)
        if (strcmp(first[k].name, second[k].name) != 0 || first[k].attrib != second[k].attrib)
            fuzz_fail("the two searches differ at entry %zu", k);
    return first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = scratch_dir() + "/w";
    mkdir(folder.c_str(), 0755);
    clear_folder(folder);
    if (size == 0) return 0;

    unsigned folders = data[0];
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 1; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            parts.push_back(part);
            part.clear();
            if (parts.size() == 5) break;
        } else {
            part.push_back(static_cast<char>(data[i]));
        }
    }
    // Separators in the pattern would search another folder; a 0x5C after a lead byte may be a
    // double-byte character's second half and stays.
    std::string pattern = parts[0];
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '/' || (pattern[i] == '\\' && (i == 0 || !is_lead(static_cast<unsigned char>(pattern[i - 1])))))
            pattern[i] = '_';
    }

    std::set<std::string> names;
    std::set<std::string> folder_names;
    for (size_t k = 1; k < parts.size(); ++k) {
        std::string name = parts[k];
        for (char& c : name)
            if (c == '/') c = '_';
        if (name.empty() || name == "." || name == ".." || name.size() > 200 || names.count(name)) continue;
        bool as_folder = (folders >> (k - 1)) & 1;
        std::string path = folder + "/" + name;
        int made_ok = as_folder ? mkdir(path.c_str(), 0755) : (put_file(path, ""), 0);
        if (made_ok != 0) continue;
        made.push_back(name);
        names.insert(name);
        if (as_folder) folder_names.insert(name);
        // The first name's case twin, to be found along with it.
        std::string twin = swap_case(name);
        if (k == 1 && is_ascii(name) && twin != name && !names.count(twin)) {
            put_file(folder + "/" + twin, "");
            made.push_back(twin);
            names.insert(twin);
        }
    }

    // What the search should hand out: each name as the tools see it, with how often it occurs.
    std::map<std::string, int> listed;
    std::set<std::string> listed_folders;
    for (const std::string& n : names) {
        std::string as = listed_as(n);
        if (as.empty() || as.size() >= sizeof(find_entry::name)) continue;
        ++listed[as];
        if (folder_names.count(n)) listed_folders.insert(as);
    }
    size_t listed_count = 0;
    for (const auto& entry : listed) listed_count += static_cast<size_t>(entry.second);

    std::vector<find_entry> found = search_both(folder + "\\" + pattern);
    std::map<std::string, int> seen_count;
    std::set<std::string> seen;
    for (const find_entry& e : found) {
        std::string n = e.name;
        bool dots = n == "." || n == "..";
        if (!dots && !listed.count(n)) fuzz_fail("found \"%s\", which is not in the folder", e.name);
        if (++seen_count[n] > (dots ? 1 : listed[n])) fuzz_fail("found \"%s\" too often", e.name);
        seen.insert(n);
        bool may_be_folder = dots || listed_folders.count(n);
        bool may_be_file = !dots && (!listed_folders.count(n) || listed[n] > 1);
        if (!(e.attrib == ATTR_FOLDER ? may_be_folder : e.attrib == 0x20u && may_be_file))
            fuzz_fail("\"%s\" has attributes %#x", e.name, e.attrib);
    }
    if (parts.size() > 1 && names.count(parts[1])) {
        std::string twin = swap_case(parts[1]);
        if (names.count(twin) && seen.count(parts[1]) != seen.count(twin))
            fuzz_fail("\"%s\" and \"%s\" are not found together by \"%s\"", parts[1].c_str(), twin.c_str(), pattern.c_str());
    }
    bool literal = !pattern.empty() && pattern.find_first_of("*?") == std::string::npos && pattern.back() != '.' &&
                   is_ascii(pattern);
    if (literal)
        for (const std::string& n : names)
            if (is_ascii(n) && (strcasecmp(n.c_str(), pattern.c_str()) == 0) != (seen.count(n) == 1))
                fuzz_fail("the literal pattern \"%s\" and the name \"%s\"", pattern.c_str(), n.c_str());

    std::vector<find_entry> all = search_both(folder + "\\*");
    if (all.size() != listed_count + 2) fuzz_fail("\"*\" lists %zu entries for %zu names", all.size(), listed_count);
    return 0;
}
