// The sample game's audio and text files: tunes and voice-like sounds synthesised from a seed, the
// two music file formats, the #DSTRACK lines and the registry store.
#include "tools/demo/sample_game.h"

#include <cmath>
#include <cstdio>

namespace {

const double PI = 3.14159265358979323846;

// Same seed, same game: the demo's files are repeatable from run to run.
struct lcg {
    uint32_t state;
};

unsigned next_random(lcg* g, unsigned n) {
    g->state = g->state * 1103515245u + 12345u;
    return (g->state >> 16) % n;
}

double noise(lcg* g) { return next_random(g, 65536) / 32768.0 - 1.0; }

int16_t to_sample(double v) {
    double s = std::lround(v * 32767.0);
    if (s > 32767) s = 32767;
    if (s < -32768) s = -32768;
    return static_cast<int16_t>(s);
}

double note_frequency(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

void put_u16(std::string& s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

void put_u32(std::string& s, uint32_t v) {
    for (int k = 0; k < 4; ++k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
}

void put_samples(std::string& s, const std::vector<int16_t>& samples) {
    for (int16_t v : samples) put_u16(s, static_cast<uint16_t>(v));
}

// A two-pole resonator: one formant of the voice.
struct resonator {
    double a1, a2, gain, y1, y2;
};

resonator make_resonator(double frequency, double bandwidth, unsigned rate) {
    double r = std::exp(-PI * bandwidth / rate);
    return {2 * r * std::cos(2 * PI * frequency / rate), -r * r, 1 - r, 0, 0};
}

double resonate(resonator* f, double x) {
    double y = f->gain * x + f->a1 * f->y1 + f->a2 * f->y2;
    f->y2 = f->y1;
    f->y1 = y;
    return y;
}

}  // namespace

std::vector<int16_t> synthesise_music(unsigned seed, unsigned rate, unsigned channels, double seconds) {
    static const int PENTATONIC[] = {0, 2, 4, 7, 9, 12, 14, 16};
    lcg g{seed * 7919u + 17u};
    const int root = 57 + static_cast<int>(next_random(&g, 7));
    const double beat = 0.22 + 0.04 * next_random(&g, 3);
    const size_t frames = static_cast<size_t>(std::lround(seconds * rate));
    const size_t beats = static_cast<size_t>(seconds / beat) + 1;

    // A melody that mostly steps through the scale, over a bass that changes every bar.
    std::vector<double> melody(beats), bass(beats / 4 + 1);
    int degree = static_cast<int>(next_random(&g, 5));
    for (size_t b = 0; b < beats; ++b) {
        degree += static_cast<int>(next_random(&g, 5)) - 2;
        if (degree < 0) degree = 1;
        if (degree > 7) degree = 6;
        melody[b] = note_frequency(root + PENTATONIC[degree]);
    }
    for (size_t bar = 0; bar < bass.size(); ++bar)
        bass[bar] = note_frequency(root - 24 + (next_random(&g, 3) == 0 ? 7 : 0));

    std::vector<int16_t> out(frames * channels);
    const double bar = 4 * beat;
    for (size_t n = 0; n < frames; ++n) {
        double t = static_cast<double>(n) / rate;
        size_t b = static_cast<size_t>(t / beat);
        double tn = t - b * beat;
        double f = melody[b < beats ? b : beats - 1];
        double tone = std::sin(2 * PI * f * tn) + 0.4 * std::sin(4 * PI * f * tn) +
                      0.15 * std::sin(6 * PI * f * tn);
        double mel = tone * std::exp(-4.5 * tn) * std::fmin(1.0, tn / 0.005);
        size_t k = static_cast<size_t>(t / bar);
        double tb = t - k * bar;
        double low = std::sin(2 * PI * bass[k < bass.size() ? k : bass.size() - 1] * tb) *
                     std::exp(-1.2 * tb) * std::fmin(1.0, tb / 0.01);
        double fade = std::fmin(1.0, std::fmin(t / 0.02, (seconds - t) / 0.2));
        if (fade < 0) fade = 0;
        if (channels == 2) {
            out[2 * n] = to_sample(0.3 * fade * (0.7 * mel + 0.6 * low));
            out[2 * n + 1] = to_sample(0.3 * fade * (0.45 * mel + 0.6 * low));
        } else {
            for (unsigned c = 0; c < channels; ++c)
                out[channels * n + c] = to_sample(0.3 * fade * (0.6 * mel + 0.6 * low));
        }
    }
    return out;
}

std::vector<int16_t> synthesise_voice(unsigned seed, unsigned rate, unsigned speaker) {
    // First two formants of a, i, u, e, o.
    static const double FORMANTS[5][2] = {{800, 1200}, {300, 2300}, {350, 1300}, {500, 1900}, {500, 900}};
    static const double PITCH[3] = {230, 125, 180};
    lcg g{seed * 104729u + speaker * 31u + 1u};
    const unsigned syllables = 5 + next_random(&g, 5);
    const double base = PITCH[speaker % 3];
    const bool question = next_random(&g, 3) == 0;

    std::vector<double> voice;
    resonator f1 = make_resonator(500, 80, rate), f2 = make_resonator(1500, 120, rate);
    double phase = 0;
    for (unsigned s = 0; s < syllables; ++s) {
        const double* vowel = FORMANTS[next_random(&g, 5)];
        f1 = make_resonator(vowel[0], 80, rate);
        f2 = make_resonator(vowel[1], 120, rate);
        // Most syllables open with a consonant: a short burst of noise.
        size_t burst = next_random(&g, 4) != 0 ? static_cast<size_t>(0.03 * rate) : 0;
        for (size_t n = 0; n < burst; ++n)
            voice.push_back(0.25 * noise(&g) * (1.0 - static_cast<double>(n) / burst));
        const size_t length = static_cast<size_t>((0.13 + 0.02 * next_random(&g, 4)) * rate);
        for (size_t n = 0; n < length; ++n) {
            double progress = (s + static_cast<double>(n) / length) / syllables;
            double pitch = base * (1.15 - 0.3 * progress);
            if (question && s + 1 == syllables) pitch *= 1.0 + 0.5 * n / length;
            phase += pitch / rate;
            phase -= std::floor(phase);
            double source = 1.0 - 2.0 * phase;   // a sawtooth has every harmonic, like the glottis
            double shaped = resonate(&f1, source) + 0.6 * resonate(&f2, source);
            double tn = static_cast<double>(n) / rate;
            double envelope = std::fmin(1.0, std::fmin(tn / 0.015, (length - n) / (0.03 * rate)));
            voice.push_back(shaped * envelope);
        }
        size_t gap = static_cast<size_t>((s == syllables / 2 ? 0.18 : 0.03) * rate);
        voice.insert(voice.end(), gap, 0.0);
    }
    voice.insert(voice.end(), static_cast<size_t>(0.1 * rate), 0.0);

    double peak = 1e-9;
    for (double v : voice) peak = std::fmax(peak, std::fabs(v));
    std::vector<int16_t> out(voice.size());
    for (size_t n = 0; n < voice.size(); ++n) out[n] = to_sample(0.5 * voice[n] / peak);
    return out;
}

std::string wav_file(const std::vector<int16_t>& samples, unsigned rate, unsigned channels) {
    uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::string s = "RIFF";
    put_u32(s, data + 36);
    s += "WAVEfmt ";
    put_u32(s, 16);
    put_u16(s, 1);
    put_u16(s, channels);
    put_u32(s, rate);
    put_u32(s, rate * channels * 2);
    put_u16(s, channels * 2);
    put_u16(s, 16);
    s += "data";
    put_u32(s, data);
    put_samples(s, samples);
    return s;
}

// The header's counts agree with the samples that follow, which are stored uncompressed; the
// fields a player of the format would need beyond the counts are left zero.
std::string nwa_file(const std::vector<int16_t>& samples, unsigned rate, unsigned channels) {
    const uint32_t count = static_cast<uint32_t>(samples.size());
    const uint32_t per_block = 512 * channels;
    const uint32_t blocks = count == 0 ? 1 : (count + per_block - 1) / per_block;
    const uint32_t last = count - (blocks - 1) * per_block;
    std::string s;
    put_u16(s, channels);
    put_u16(s, 16);
    put_u32(s, rate);
    put_u32(s, 0);
    put_u32(s, 0);
    put_u32(s, blocks);
    put_u32(s, count * 2);   // PCM data size
    put_u32(s, 0);
    put_u32(s, count);       // samples of all channels
    put_u32(s, per_block);
    put_u32(s, last);
    put_u32(s, 0);
    put_samples(s, samples);
    return s;
}

long long track_frames(const sample_track& track, double seconds) {
    return std::llround(seconds * track.rate);
}

std::string dstrack_line(const sample_track& track, long long length_frames) {
    long long start = 0, end = 99999999, loop = 0;
    if (track.span == SPAN_LOOP) {
        loop = track_frames(track, track.loop);
    } else if (track.span == SPAN_CUT) {
        start = track_frames(track, track.start);
        end = track_frames(track, track.end);
        loop = track_frames(track, track.loop);
        if (end > length_frames) end = length_frames;
    }
    char line[160];
    snprintf(line, sizeof line, "#DSTRACK = %08lld - %08lld - %08lld = \"%s\" = \"%s\"", start, end, loop,
             track.file, track.title);
    return line;
}

static std::string with_crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string sample_gameexe(const std::vector<long long>& length_frames) {
    std::string text = SAMPLE_GAMEEXE_HEAD;
    text += std::string("#REGNAME = \"") + SAMPLE_REGNAME + "\"\n";
    text += SAMPLE_GAMEEXE_SETTINGS;
    for (unsigned k = 0; k < SAMPLE_TRACK_COUNT; ++k)
        text += dstrack_line(SAMPLE_TRACKS[k], length_frames[k]) + "\n";
    text += SAMPLE_GAMEEXE_TAIL;
    return with_crlf(text);
}

static std::string registry_string(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string sample_registry(const std::string& encoder) {
    std::string text = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\";
    text += SAMPLE_REGNAME;
    text += "]\n\"BGM_FOLDER\"=\"BGM\"\n\"KOE_FOLDER\"=\"KOE\"\n";
    if (!encoder.empty())
        text += "\n[HKEY_CURRENT_USER\\Software\\vurlo\\_inmm.dll]\n\"SMX_Path\"=" + registry_string(encoder) + "\n";
    return with_crlf(text);
}
