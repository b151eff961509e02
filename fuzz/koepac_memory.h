// An archive held in memory, unpacked by the voice unpacker's own index reading and voice
// decoding with every WAV going to memory instead of a file: the entry point of the archive fuzz
// target, and what the tests hold against plovenak's files.
#ifndef VNAUDIO_KOEPAC_MEMORY_H
#define VNAUDIO_KOEPAC_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct memory_voice {
    uint16_t id;
    std::string wav;   // the whole file: header and samples
};

// 0 when every voice of the archive has been decoded into voices (in index order); 1 after the
// unpacker's message, with the voices done before it. archive_path names the archive in messages.
int unpack_in_memory(const uint8_t* data, size_t size, const char* archive_path, std::vector<memory_voice>* voices);

#endif
