// The voice unpacker on an archive in memory (see koepac_memory.h).
#include "fuzz/koepac_memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "unpacker/koepac.h"
#include "unpacker/unpack.h"
#include "unpacker/voice.h"

namespace {

struct sink {
    std::string* text;
    size_t position;
};

ssize_t sink_write(void* cookie, const char* buf, size_t size) {
    sink* s = static_cast<sink*>(cookie);
    if (s->text->size() < s->position + size) s->text->resize(s->position + size);
    memcpy(&(*s->text)[s->position], buf, size);
    s->position += size;
    return static_cast<ssize_t>(size);
}

int sink_seek(void* cookie, off64_t* offset, int whence) {
    sink* s = static_cast<sink*>(cookie);
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<off64_t>(s->position)
                                                                : static_cast<off64_t>(s->text->size());
    if (base + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    s->position = static_cast<size_t>(base + *offset);
    *offset = static_cast<off64_t>(s->position);
    return 0;
}

int sink_close(void* cookie) {
    delete static_cast<sink*>(cookie);
    return 0;
}

}  // namespace

// A binary stream writing into text, which keeps every byte written up to the furthest position
// reached, also after seeking back (a stream from open_memstream would cut it at the position).
static FILE* open_sink(std::string* text) {
    text->clear();
    cookie_io_functions_t io = {nullptr, sink_write, sink_seek, sink_close};
    return fopencookie(new sink{text, 0}, "wb", io);
}

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
