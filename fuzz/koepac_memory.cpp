// The voice unpacker on an archive in memory (see koepac_memory.h).
#include "fuzz/koepac_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "unpacker/koepac.h"
#include "unpacker/unpack.h"
#include "unpacker/voice.h"

int unpack_in_memory(const uint8_t* data, size_t size, const char* archive_path, std::vector<memory_voice>* voices) {
    voices->clear();
    static bool tables_built = false;
    if (!tables_built) {
        build_decode_tables();
        tables_built = true;
    }
    // A copy of exactly the input's size, so a read past the archive's end shows as one.
    std::vector<uint8_t> copy(data, data + size);
    static uint8_t nothing[1];
    FILE* archive = fmemopen(copy.empty() ? nothing : copy.data(), size, "rb");
    if (!archive) return 1;

    koe_header header;
    koe_entry* entries = nullptr;
    if (!read_archive_index(archive, archive_path, &header, &entries)) {
        fclose(archive);
        return 1;
    }
    int result = 0;
    for (int32_t k = 0; k < header.entry_count; ++k) {
        memory_voice voice{entries[k].id, {}};
        FILE* out = open_sink(&voice.wav);
        char name[32];
        snprintf(name, sizeof name, "Z%05u.WAV", unsigned{entries[k].id});
        int failed = !out || decode_voice_into(out, name, header, entries[k], archive, archive_path) != 0;
        if (out) fclose(out);
        if (failed) {
            result = 1;
            break;
        }
        voices->push_back(std::move(voice));
    }
    free(entries);
    fclose(archive);
    return result;
}
