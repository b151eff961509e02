// The MP3 data the stand-in encoders write: an ID3v2 tag that carries their marker and the WAV's
// bytes (tests read them back with fake_payload), then silent frames as long as the WAV.
#ifndef VNAUDIO_FAKE_MP3_H
#define VNAUDIO_FAKE_MP3_H

#include <cstdint>
#include <string>

// A silent MPEG-1 layer III frame: 128 kbit/s, 44,100 Hz, mono, 417 bytes, 1,152 samples.
inline std::string silent_frame() {
    std::string frame(417, '\0');
    frame[0] = '\xFF', frame[1] = '\xFB', frame[2] = '\x90', frame[3] = '\xC0';
    return frame;
}

inline uint32_t le(const std::string& s, size_t at, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

// The frames a real encoder would write for the WAV in body (after a marker of w bytes): its sound
// and one frame of padding. A plain "fmt " then "data" header is all the tests write.
inline unsigned long frames_for(const std::string& body, size_t w = 8) {
    if (body.size() < w + 44 || body.compare(w, 4, "RIFF") != 0 || body.compare(w + 12, 4, "fmt ") != 0) return 1;
    uint32_t rate = le(body, w + 24, 4), align = le(body, w + 32, 2);
    if (!rate || !align) return 1;
    uint64_t samples = (body.size() - w - 44) / align;
    return static_cast<unsigned long>((samples * 44100 / rate + 1151) / 1152 + 1);
}

inline std::string fake_mp3(const std::string& body, size_t marker_size = 8) {
    size_t n = body.size();
    std::string mp3 = "ID3\x03";
    mp3 += '\0', mp3 += '\0';
    for (int shift = 21; shift >= 0; shift -= 7) mp3 += static_cast<char>((n >> shift) & 0x7F);
    mp3 += body;
    for (unsigned long i = frames_for(body, marker_size); i > 0; --i) mp3 += silent_frame();
    return mp3;
}

#endif
