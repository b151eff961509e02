// Fuzz target: the check of drusel's encoder output and the WAV header reader. On any bytes they
// must stay inside the buffer (the input is copied to a heap block of its exact size, so ASan sees a
// read past its end), and a whole file must account for its frames.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "mp3conv/mp3_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size ? size : 1]);
    if (size) memcpy(copy.get(), data, size);
    mp3_facts facts;
    int whole = check_mp3(copy.get(), size, &facts);
    if (whole != (facts.fault == nullptr)) abort();
    if (!whole && facts.fault_at > size) abort();
    if (whole && (facts.audio_frames == 0 || facts.samples_per_frame < 384 || facts.rate < 8000)) abort();
    if (whole) mp3_length_matches(&facts, uint64_t{facts.audio_frames} * facts.samples_per_frame, facts.rate);
    uint64_t frames;
    unsigned long rate;
    if (read_wav_length(copy.get(), size, size, &frames, &rate) && frames > size) abort();
    return 0;
}
