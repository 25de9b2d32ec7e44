// Writes the sound packs that ship with Strombel: synthesised drum and
// percussion samples (16-bit, 44100 Hz WAVE), the ".pack" files that describe
// them (banks of twelve pads), and the two metronome clicks.
//
//   stock_content OUTPUT_FOLDER
//
// Deterministic: the same program writes the same bytes every time.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 44100.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

using Buffer = std::vector<double>;

size_t frames(double seconds) { return static_cast<size_t>(seconds * kRate); }

/// A small, fast generator; each sound seeds its own from its name.
class Random {
public:
    explicit Random(const std::string& seed) {
        state_ = 0x9E3779B97F4A7C15ULL;
        for (char c : seed) state_ = (state_ ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
        if (state_ == 0) state_ = 1;
    }
    /// Uniform in [-1, 1).
    double noise() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        uint64_t value = state_ * 0x2545F4914F6CDD1DULL;
        return static_cast<double>(value >> 11) / static_cast<double>(1ULL << 52) - 1.0;
    }

private:
    uint64_t state_;
};

/// A second-order filter section (the usual audio cookbook shapes).
class Biquad {
public:
    enum class Shape { LowPass, HighPass, BandPass };
    Biquad(Shape shape, double frequency, double q) { set(shape, frequency, q); }
    void set(Shape shape, double frequency, double q) {
        frequency = std::clamp(frequency, 10.0, kRate * 0.45);
        double w = kTwoPi * frequency / kRate, cosw = std::cos(w), alpha = std::sin(w) / (2.0 * q);
        double b0 = 0, b1 = 0, b2 = 0;
        switch (shape) {
            case Shape::LowPass: b0 = (1 - cosw) / 2, b1 = 1 - cosw, b2 = (1 - cosw) / 2; break;
            case Shape::HighPass: b0 = (1 + cosw) / 2, b1 = -(1 + cosw), b2 = (1 + cosw) / 2; break;
            case Shape::BandPass: b0 = alpha, b1 = 0, b2 = -alpha; break;
        }
        double a0 = 1 + alpha;
        b0_ = b0 / a0, b1_ = b1 / a0, b2_ = b2 / a0, a1_ = -2 * cosw / a0, a2_ = (1 - alpha) / a0;
    }
    double operator()(double x) {
        double y = b0_ * x + b1_ * x1_ + b2_ * x2_ - a1_ * y1_ - a2_ * y2_;
        x2_ = x1_, x1_ = x, y2_ = y1_, y1_ = y;
        return y;
    }

private:
    double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0;
    double x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;
};

double decay(double t, double tau) { return std::exp(-t / tau); }
double attack(double t, double length) { return t >= length ? 1.0 : t / length; }
double square(double phase) { return std::fmod(phase, 1.0) < 0.5 ? 1.0 : -1.0; }

// ---- Voices ----

Buffer kick(Random& random, double startHz, double endHz, double pitchTau, double ampTau, double click, double drive) {
    Buffer out(frames(ampTau * 6.0));
    Biquad clickFilter(Biquad::Shape::HighPass, 1500, 0.7);
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        double hz = endHz + (startHz - endHz) * decay(t, pitchTau);
        phase += kTwoPi * hz / kRate;
        double body = std::sin(phase) * decay(t, ampTau) * attack(t, 0.0015);
        double tick = clickFilter(random.noise()) * decay(t, 0.003) * click;
        out[i] = std::tanh(drive * (body + tick)) / std::tanh(drive);
    }
    return out;
}

Buffer snare(Random& random, double toneHz, double toneTau, double noiseTau, double noiseHz, double noiseMix) {
    Buffer out(frames(noiseTau * 6.0 + 0.02));
    Biquad band(Biquad::Shape::BandPass, noiseHz, 0.8);
    Biquad high(Biquad::Shape::HighPass, 900, 0.7);
    double phase1 = 0, phase2 = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        double drop = 1.0 + 0.35 * decay(t, 0.01);
        phase1 += kTwoPi * toneHz * drop / kRate;
        phase2 += kTwoPi * toneHz * 1.52 * drop / kRate;
        double tone = (std::sin(phase1) + 0.5 * std::sin(phase2)) * decay(t, toneTau);
        double rattle = high(band(random.noise()) * 2.5 + random.noise() * 0.3) * decay(t, noiseTau);
        out[i] = (tone * (1.0 - noiseMix) + rattle * noiseMix) * attack(t, 0.001);
    }
    return out;
}

Buffer clap(Random& random, double centreHz, double tailTau) {
    Buffer out(frames(0.03 + tailTau * 6.0));
    Biquad band(Biquad::Shape::BandPass, centreHz, 1.8);
    Biquad high(Biquad::Shape::HighPass, 600, 0.7);
    const double bursts[] = {0.0, 0.011, 0.021, 0.031};
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate, envelope = 0;
        for (int b = 0; b < 3; ++b) {
            if (t >= bursts[b]) envelope = std::max(envelope, decay(t - bursts[b], 0.004));
        }
        if (t >= bursts[3]) envelope = std::max(envelope, decay(t - bursts[3], tailTau));
        out[i] = high(band(random.noise())) * envelope * 3.0;
    }
    return out;
}

Buffer metal(Random& random, double scale, double tau, double highPassHz, double noiseMix, double length) {
    static const double kPartials[] = {205.3, 304.4, 369.6, 522.7, 540.0, 800.0};
    Buffer out(frames(length));
    Biquad band(Biquad::Shape::BandPass, 9500, 0.9);
    Biquad high(Biquad::Shape::HighPass, highPassHz, 0.7);
    Biquad high2(Biquad::Shape::HighPass, highPassHz, 0.7);
    double phases[6] = {};
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate, sum = 0;
        for (int p = 0; p < 6; ++p) {
            phases[p] += kPartials[p] * scale / kRate;
            sum += square(phases[p]);
        }
        double x = band(sum / 6.0) * 2.0 + random.noise() * noiseMix;
        out[i] = high2(high(x)) * decay(t, tau) * attack(t, 0.0008);
    }
    return out;
}

Buffer tom(Random& random, double hz, double tau) {
    Buffer out(frames(tau * 6.0));
    Biquad low(Biquad::Shape::LowPass, hz * 6, 0.7);
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        double now = hz * (1.0 + 0.6 * decay(t, 0.04));
        phase += kTwoPi * now / kRate;
        double skin = low(random.noise()) * decay(t, 0.02) * 0.4;
        out[i] = (std::sin(phase) + 0.15 * std::sin(2.0 * phase)) * decay(t, tau) * attack(t, 0.001) + skin;
    }
    return out;
}

Buffer rim(Random& random, double hz) {
    Buffer out(frames(0.09));
    Biquad high(Biquad::Shape::HighPass, 2000, 0.7);
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        double tone = (std::sin(kTwoPi * hz * t) + 0.6 * std::sin(kTwoPi * hz * 0.27 * t)) * decay(t, 0.009);
        out[i] = tone + high(random.noise()) * decay(t, 0.002) * 0.7;
    }
    return out;
}

Buffer shaker(Random& random, double highPassHz, double rise, double fall, int grains) {
    Buffer out(frames(grains * 0.09 + rise + fall * 6.0));
    Biquad high(Biquad::Shape::HighPass, highPassHz, 0.8);
    Biquad low(Biquad::Shape::LowPass, 12000, 0.7);
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate, envelope = 0;
        for (int g = 0; g < grains; ++g) {
            double start = g * 0.09;
            if (t < start) continue;
            double local = t - start;
            envelope = std::max(envelope, (local < rise ? local / rise : decay(local - rise, fall)) * (g ? 0.6 : 1.0));
        }
        out[i] = low(high(random.noise())) * envelope;
    }
    return out;
}

/// A frequency-modulated strike: bells, blocks, plucked metal.
Buffer bell(double hz, double ratio, double index, double tau, double indexTau) {
    Buffer out(frames(tau * 6.0));
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        double modulator = std::sin(kTwoPi * hz * ratio * t) * index * decay(t, indexTau);
        out[i] = std::sin(kTwoPi * hz * t + modulator) * decay(t, tau) * attack(t, 0.001);
    }
    return out;
}

/// A bass or chord stab: detuned saws through a closing low-pass.
Buffer stab(Random& random, std::vector<double> notes, double tau, double cutoffStart, double cutoffEnd) {
    Buffer out(frames(tau * 6.0));
    Biquad filter(Biquad::Shape::LowPass, cutoffStart, 1.2);
    std::vector<double> phases(notes.size() * 2);
    for (auto& phase : phases) phase = (random.noise() + 1.0) / 2.0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate, sum = 0;
        for (size_t n = 0; n < notes.size(); ++n) {
            for (int d = 0; d < 2; ++d) {
                double& phase = phases[n * 2 + d];
                phase += notes[n] * (d ? 1.004 : 0.996) / kRate;
                sum += 2.0 * std::fmod(phase, 1.0) - 1.0;
            }
        }
        if (i % 32 == 0) filter.set(Biquad::Shape::LowPass, cutoffEnd + (cutoffStart - cutoffEnd) * decay(t, tau * 0.4), 1.2);
        out[i] = filter(sum / static_cast<double>(phases.size())) * decay(t, tau) * attack(t, 0.003);
    }
    return out;
}

/// A plucked string (a delay line with a softening loop).
Buffer pluck(Random& random, double hz, double length) {
    Buffer out(frames(length));
    std::vector<double> line(static_cast<size_t>(kRate / hz));
    for (auto& value : line) value = random.noise();
    size_t at = 0;
    double previous = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double value = line[at];
        line[at] = 0.497 * (value + previous);
        previous = value;
        at = (at + 1) % line.size();
        out[i] = value * attack(i / kRate, 0.002);
    }
    return out;
}

struct Vowel {
    double f1, f2, f3;
};
constexpr Vowel kA{800, 1150, 2900}, kE{400, 2100, 2800}, kI{300, 2400, 3000}, kO{450, 800, 2830},
    kU{325, 700, 2530};

/// A sung syllable: a pulse train through three formant filters, gliding from
/// one vowel to another, with a little vibrato.
Buffer voice(Random& random, double startHz, double endHz, Vowel from, Vowel to, double length, double vibrato) {
    Buffer out(frames(length));
    Biquad f1(Biquad::Shape::BandPass, from.f1, 6), f2(Biquad::Shape::BandPass, from.f2, 8),
        f3(Biquad::Shape::BandPass, from.f3, 10);
    Biquad breath(Biquad::Shape::HighPass, 3000, 0.7);
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate, progress = t / length;
        double shaped = progress * progress * (3 - 2 * progress);
        double hz = (startHz + (endHz - startHz) * shaped) * (1.0 + vibrato * std::sin(kTwoPi * 5.5 * t) * std::min(1.0, t * 4));
        phase += hz / kRate;
        double pulse = 0;
        for (int h = 1; h * hz < 5000; ++h) pulse += std::sin(kTwoPi * h * phase) / h;
        if (i % 64 == 0) {
            f1.set(Biquad::Shape::BandPass, from.f1 + (to.f1 - from.f1) * shaped, 6);
            f2.set(Biquad::Shape::BandPass, from.f2 + (to.f2 - from.f2) * shaped, 8);
            f3.set(Biquad::Shape::BandPass, from.f3 + (to.f3 - from.f3) * shaped, 10);
        }
        double formed = f1(pulse) * 1.0 + f2(pulse) * 0.6 + f3(pulse) * 0.3 + breath(random.noise()) * 0.02;
        double envelope = attack(t, 0.02) * std::min(1.0, (length - t) / 0.06);
        out[i] = formed * envelope;
    }
    return out;
}

/// A friction drum: a sine whose pitch rises and falls, a little rough.
Buffer cuica(Random& random, double lowHz, double highHz, double length) {
    Buffer out(frames(length));
    Biquad band(Biquad::Shape::BandPass, 900, 2);
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate, progress = t / length;
        double hz = lowHz + (highHz - lowHz) * std::sin(std::numbers::pi * progress);
        phase += kTwoPi * hz / kRate;
        double tone = std::sin(phase) + 0.3 * std::sin(2 * phase) + band(random.noise()) * 0.2;
        out[i] = tone * attack(t, 0.01) * std::min(1.0, (length - t) / 0.05);
    }
    return out;
}

Buffer whistle(double hz, double length) {
    Buffer out(frames(length));
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        phase += kTwoPi * hz * (1.0 + 0.03 * std::sin(kTwoPi * 28 * t)) / kRate;
        out[i] = std::sin(phase) * attack(t, 0.015) * std::min(1.0, (length - t) / 0.04);
    }
    return out;
}

Buffer cowbell() {
    Buffer out(frames(0.5));
    Biquad band(Biquad::Shape::BandPass, 700, 1.5);
    double a = 0, b = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        a += 540 / kRate, b += 800 / kRate;
        double envelope = 0.6 * decay(t, 0.015) + 0.4 * decay(t, 0.12);
        out[i] = band(square(a) + square(b)) * envelope * attack(t, 0.0008);
    }
    return out;
}

Buffer click(double hz, double tau) {
    Buffer out(frames(tau * 8.0));
    for (size_t i = 0; i < out.size(); ++i) {
        double t = i / kRate;
        out[i] = (std::sin(kTwoPi * hz * t) + 0.3 * std::sin(kTwoPi * hz * 2.01 * t)) * decay(t, tau) * attack(t, 0.0005);
    }
    return out;
}

// ---- Treatments ----

Buffer mix(const Buffer& a, const Buffer& b, double gainB) {
    Buffer out(std::max(a.size(), b.size()));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = (i < a.size() ? a[i] : 0.0) + (i < b.size() ? b[i] * gainB : 0.0);
    }
    return out;
}

/// Fewer bits and a lower rate: the lo-fi kit.
Buffer crush(Buffer in, int bits, int hold) {
    double steps = std::pow(2.0, bits - 1);
    double held = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        if (i % static_cast<size_t>(hold) == 0) held = std::round(in[i] * steps) / steps;
        in[i] = held;
    }
    return in;
}

Buffer lowPass(Buffer in, double hz) {
    Biquad filter(Biquad::Shape::LowPass, hz, 0.7);
    for (double& x : in) x = filter(x);
    return in;
}

/// Peak at -1 dBFS (or `peak`), silence trimmed from the end, short fades.
Buffer finish(Buffer in, double peak = 0.891) {
    double loudest = 0;
    for (double x : in) loudest = std::max(loudest, std::abs(x));
    if (loudest <= 0) return in;
    size_t end = in.size();
    while (end > 1 && std::abs(in[end - 1]) < loudest * 0.001) --end;
    in.resize(end);
    size_t fade = std::min<size_t>(in.size(), frames(0.004));
    for (size_t i = 0; i < fade; ++i) in[in.size() - 1 - i] *= static_cast<double>(i) / fade;
    for (double& x : in) x = x / loudest * peak;
    return in;
}

bool writeWave(const std::filesystem::path& path, const Buffer& samples) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "stock_content: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    std::vector<short> pcm(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        pcm[i] = static_cast<short>(std::lround(std::clamp(samples[i], -1.0, 1.0) * 32767.0));
    }
    bool ok = sf_write_short(file, pcm.data(), static_cast<sf_count_t>(pcm.size())) ==
              static_cast<sf_count_t>(pcm.size());
    sf_close(file);
    return ok;
}

// ---- The packs ----

struct Sound {
    std::string file;
    std::string name;
    std::function<Buffer(Random&)> make;
};

struct Bank {
    std::string name;
    std::vector<Sound> sounds;  // twelve
};

struct Pack {
    std::string packFile, id, name;
    std::vector<Bank> banks;
};

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::vector<Pack> packs() {
    using R = Random;
    std::vector<Pack> all;

    all.push_back({"GK-Preview.pack", "groovekitpreview", "Groove Kit Preview", {{"Groove Kit", {
        {"gk_kick.wav", "Kick", [](R& r) { return kick(r, 150, 52, 0.035, 0.16, 0.5, 1.6); }},
        {"gk_kick_tight.wav", "Kick Tight", [](R& r) { return kick(r, 190, 60, 0.02, 0.09, 0.8, 2.0); }},
        {"gk_snare.wav", "Snare", [](R& r) { return snare(r, 185, 0.05, 0.12, 4200, 0.65); }},
        {"gk_snare_rim.wav", "Snare Crack", [](R& r) { return snare(r, 230, 0.03, 0.07, 6000, 0.75); }},
        {"gk_clap.wav", "Clap", [](R& r) { return clap(r, 1250, 0.07); }},
        {"gk_hat_closed.wav", "Hat Closed", [](R& r) { return metal(r, 1.0, 0.035, 7000, 0.2, 0.25); }},
        {"gk_hat_open.wav", "Hat Open", [](R& r) { return metal(r, 1.0, 0.28, 6500, 0.25, 1.4); }},
        {"gk_tom_low.wav", "Tom Low", [](R& r) { return tom(r, 98, 0.22); }},
        {"gk_tom_mid.wav", "Tom Mid", [](R& r) { return tom(r, 140, 0.18); }},
        {"gk_tom_high.wav", "Tom High", [](R& r) { return tom(r, 196, 0.15); }},
        {"gk_rim.wav", "Rim", [](R& r) { return rim(r, 1700); }},
        {"gk_crash.wav", "Crash", [](R& r) { return metal(r, 1.3, 0.6, 4000, 0.6, 3.0); }},
    }}}});

    all.push_back({"TM-Preview.pack", "tamboro-preview", "Tamboro Preview", {{"Tamboro", {
        {"tm_surdo_low.wav", "Surdo Low", [](R& r) { return tom(r, 62, 0.35); }},
        {"tm_surdo_high.wav", "Surdo High", [](R& r) { return tom(r, 82, 0.3); }},
        {"tm_conga_open.wav", "Conga Open", [](R& r) { return mix(tom(r, 310, 0.12), rim(r, 900), 0.2); }},
        {"tm_conga_slap.wav", "Conga Slap", [](R& r) { return mix(tom(r, 360, 0.05), clap(r, 2200, 0.02), 0.5); }},
        {"tm_tamborim.wav", "Tamborim", [](R& r) { return mix(tom(r, 740, 0.04), rim(r, 3000), 0.3); }},
        {"tm_agogo_high.wav", "Agogo High", [](R&) { return bell(930, 1.48, 2.0, 0.18, 0.05); }},
        {"tm_agogo_low.wav", "Agogo Low", [](R&) { return bell(620, 1.48, 2.0, 0.2, 0.05); }},
        {"tm_shaker.wav", "Shaker", [](R& r) { return shaker(r, 5500, 0.02, 0.05, 1); }},
        {"tm_caxixi.wav", "Caxixi", [](R& r) { return shaker(r, 3500, 0.01, 0.04, 2); }},
        {"tm_cuica.wav", "Cuica", [](R& r) { return cuica(r, 380, 720, 0.35); }},
        {"tm_whistle.wav", "Whistle", [](R&) { return whistle(2300, 0.32); }},
        {"tm_clave.wav", "Clave", [](R&) { return bell(2500, 1.0, 0.0, 0.03, 0.01); }},
    }}}});

    all.push_back({"RavelleNights.pack", "ravellenights", "Ravelle Nights", {
        {"Ravelle Drums", {
            {"rn_boom.wav", "Boom", [](R& r) { return kick(r, 120, 45, 0.06, 0.45, 0.2, 1.2); }},
            {"rn_kick.wav", "Night Kick", [](R& r) { return kick(r, 170, 55, 0.03, 0.2, 0.6, 2.5); }},
            {"rn_snare.wav", "Snap Snare", [](R& r) { return snare(r, 210, 0.04, 0.09, 5000, 0.8); }},
            {"rn_clap.wav", "Wide Clap", [](R& r) { return clap(r, 1000, 0.11); }},
            {"rn_hat.wav", "Tick Hat", [](R& r) { return metal(r, 1.2, 0.025, 8000, 0.1, 0.2); }},
            {"rn_hat_open.wav", "Sizzle", [](R& r) { return metal(r, 1.2, 0.2, 7500, 0.3, 1.0); }},
            {"rn_shaker.wav", "Shaker", [](R& r) { return shaker(r, 6000, 0.03, 0.06, 1); }},
            {"rn_tom.wav", "Pitch Tom", [](R& r) { return tom(r, 120, 0.3); }},
            {"rn_rim.wav", "Rim Shot", [](R& r) { return rim(r, 1450); }},
            {"rn_cowbell.wav", "Cowbell", [](R&) { return cowbell(); }},
            {"rn_ride.wav", "Ride", [](R& r) { return metal(r, 1.5, 0.5, 5000, 0.15, 2.5); }},
            {"rn_crash.wav", "Crash", [](R& r) { return metal(r, 1.1, 0.7, 3500, 0.7, 3.2); }},
        }},
        {"Ravelle Keys", {
            {"rn_bass_c.wav", "Bass C", [](R& r) { return stab(r, {65.41}, 0.3, 2200, 200); }},
            {"rn_bass_eb.wav", "Bass Eb", [](R& r) { return stab(r, {77.78}, 0.3, 2200, 200); }},
            {"rn_bass_f.wav", "Bass F", [](R& r) { return stab(r, {87.31}, 0.3, 2200, 200); }},
            {"rn_bass_g.wav", "Bass G", [](R& r) { return stab(r, {98.0}, 0.3, 2200, 200); }},
            {"rn_chord_cm.wav", "Chord Cm", [](R& r) { return stab(r, {261.6, 311.1, 392.0}, 0.25, 5000, 600); }},
            {"rn_chord_fm.wav", "Chord Fm", [](R& r) { return stab(r, {349.2, 415.3, 523.3}, 0.25, 5000, 600); }},
            {"rn_chord_ab.wav", "Chord Ab", [](R& r) { return stab(r, {311.1, 415.3, 523.3}, 0.25, 5000, 600); }},
            {"rn_chord_bb.wav", "Chord Bb", [](R& r) { return stab(r, {293.7, 349.2, 466.2}, 0.25, 5000, 600); }},
            {"rn_pluck_c.wav", "Pluck C", [](R& r) { return pluck(r, 523.3, 0.9); }},
            {"rn_pluck_eb.wav", "Pluck Eb", [](R& r) { return pluck(r, 622.3, 0.9); }},
            {"rn_bell_g.wav", "Bell G", [](R&) { return bell(784.0, 3.5, 3.0, 0.5, 0.15); }},
            {"rn_bell_c.wav", "Bell C", [](R&) { return bell(1046.5, 3.5, 3.0, 0.5, 0.15); }},
        }},
    }});

    all.push_back({"DunmarshTidewell.pack", "dunmarshtidewell", "Dunmarsh Tidewell", {{"Tidewell Lo-Fi", {
        {"dt_kick.wav", "Dusty Kick", [](R& r) { return crush(lowPass(kick(r, 140, 50, 0.04, 0.18, 0.4, 2.2), 3000), 10, 2); }},
        {"dt_kick_soft.wav", "Soft Kick", [](R& r) { return lowPass(kick(r, 110, 48, 0.05, 0.22, 0.1, 1.2), 1500); }},
        {"dt_snare.wav", "Tape Snare", [](R& r) { return crush(lowPass(snare(r, 175, 0.05, 0.14, 3500, 0.7), 7000), 9, 2); }},
        {"dt_snare_brush.wav", "Brush", [](R& r) { return lowPass(shaker(r, 1500, 0.03, 0.12, 1), 6000); }},
        {"dt_clap.wav", "Room Clap", [](R& r) { return crush(clap(r, 1100, 0.15), 10, 3); }},
        {"dt_hat.wav", "Hat", [](R& r) { return crush(metal(r, 0.9, 0.04, 6000, 0.3, 0.25), 8, 2); }},
        {"dt_hat_open.wav", "Open Hat", [](R& r) { return crush(metal(r, 0.9, 0.25, 5500, 0.3, 1.2), 8, 2); }},
        {"dt_tom.wav", "Low Tom", [](R& r) { return lowPass(tom(r, 90, 0.25), 2500); }},
        {"dt_rim.wav", "Rim", [](R& r) { return crush(rim(r, 1300), 8, 2); }},
        {"dt_shaker.wav", "Shaker", [](R& r) { return crush(shaker(r, 4000, 0.02, 0.05, 2), 8, 2); }},
        {"dt_vinyl_thump.wav", "Thump", [](R& r) { return lowPass(tom(r, 55, 0.15), 600); }},
        {"dt_ride.wav", "Ride", [](R& r) { return crush(metal(r, 1.4, 0.45, 4500, 0.2, 2.0), 9, 2); }},
    }}}});

    all.push_back({"Calderwick2012-shortvocals.pack", "calderwickshortvocals", "Calderwick 2012 Short Vocals", {{"Short Vocals", {
        {"cw_short_ah.wav", "Ah", [](R& r) { return voice(r, 220, 210, kA, kA, 0.22, 0.0); }},
        {"cw_short_oh.wav", "Oh", [](R& r) { return voice(r, 196, 190, kO, kO, 0.22, 0.0); }},
        {"cw_short_ee.wav", "Ee", [](R& r) { return voice(r, 262, 262, kI, kI, 0.2, 0.0); }},
        {"cw_short_eh.wav", "Eh", [](R& r) { return voice(r, 233, 220, kE, kE, 0.18, 0.0); }},
        {"cw_short_oo.wav", "Oo", [](R& r) { return voice(r, 175, 175, kU, kU, 0.22, 0.0); }},
        {"cw_short_ya.wav", "Ya", [](R& r) { return voice(r, 247, 220, kI, kA, 0.24, 0.0); }},
        {"cw_short_wo.wav", "Wo", [](R& r) { return voice(r, 196, 175, kU, kO, 0.24, 0.0); }},
        {"cw_short_hey.wav", "Hey", [](R& r) { return voice(r, 294, 330, kE, kI, 0.26, 0.0); }},
        {"cw_short_uh.wav", "Uh", [](R& r) { return voice(r, 147, 131, kA, kO, 0.16, 0.0); }},
        {"cw_short_ha.wav", "Ha", [](R& r) { return mix(shaker(r, 1200, 0.01, 0.02, 1), voice(r, 330, 294, kA, kA, 0.15, 0.0), 1.0); }},
        {"cw_short_yo.wav", "Yo", [](R& r) { return voice(r, 220, 262, kI, kO, 0.25, 0.0); }},
        {"cw_short_oi.wav", "Oi", [](R& r) { return voice(r, 262, 294, kO, kI, 0.25, 0.0); }},
    }}}});

    all.push_back({"Calderwick2012-longvocals.pack", "calderwickvocals", "Calderwick 2012 Long Vocals", {{"Long Vocals", {
        {"cw_long_ah_c.wav", "Aah C", [](R& r) { return voice(r, 262, 262, kA, kA, 1.1, 0.012); }},
        {"cw_long_ah_eb.wav", "Aah Eb", [](R& r) { return voice(r, 311, 311, kA, kA, 1.1, 0.012); }},
        {"cw_long_oh_f.wav", "Ooh F", [](R& r) { return voice(r, 349, 349, kO, kU, 1.1, 0.012); }},
        {"cw_long_oh_g.wav", "Ooh G", [](R& r) { return voice(r, 392, 392, kO, kU, 1.1, 0.012); }},
        {"cw_long_ee_bb.wav", "Eee Bb", [](R& r) { return voice(r, 466, 466, kI, kE, 1.0, 0.012); }},
        {"cw_long_glide_up.wav", "Glide Up", [](R& r) { return voice(r, 196, 392, kO, kA, 1.2, 0.008); }},
        {"cw_long_glide_down.wav", "Glide Down", [](R& r) { return voice(r, 392, 196, kA, kO, 1.2, 0.008); }},
        {"cw_long_yeah.wav", "Yeah", [](R& r) { return voice(r, 294, 262, kI, kA, 0.9, 0.015); }},
        {"cw_long_woah.wav", "Woah", [](R& r) { return voice(r, 220, 247, kU, kA, 1.0, 0.015); }},
        {"cw_long_hum_c.wav", "Hum C", [](R& r) { return voice(r, 131, 131, kU, kU, 1.2, 0.01); }},
        {"cw_long_hum_g.wav", "Hum G", [](R& r) { return voice(r, 196, 196, kU, kU, 1.2, 0.01); }},
        {"cw_long_ay.wav", "Ay", [](R& r) { return voice(r, 330, 294, kA, kI, 1.0, 0.015); }},
    }}}});

    all.push_back({"Calderwick2012-samples.pack", "calderwicksamples", "Calderwick 2012 Samples", {{"Calderwick Kit", {
        {"cw_kick.wav", "Kick", [](R& r) { return kick(r, 160, 50, 0.03, 0.14, 0.6, 3.0); }},
        {"cw_kick_sub.wav", "Sub Kick", [](R& r) { return kick(r, 90, 40, 0.08, 0.5, 0.1, 1.1); }},
        {"cw_snare.wav", "Snare", [](R& r) { return snare(r, 200, 0.06, 0.1, 4500, 0.6); }},
        {"cw_clap.wav", "Clap", [](R& r) { return clap(r, 1500, 0.06); }},
        {"cw_snap.wav", "Snap", [](R& r) { return clap(r, 2600, 0.02); }},
        {"cw_hat.wav", "Hat", [](R& r) { return metal(r, 1.1, 0.03, 7500, 0.15, 0.2); }},
        {"cw_hat_half.wav", "Half Open Hat", [](R& r) { return metal(r, 1.1, 0.12, 7000, 0.2, 0.6); }},
        {"cw_splash.wav", "Splash", [](R& r) { return metal(r, 1.6, 0.3, 5000, 0.5, 1.5); }},
        {"cw_china.wav", "China", [](R& r) { return metal(r, 0.8, 0.5, 2500, 0.6, 2.5); }},
        {"cw_block.wav", "Wood Block", [](R&) { return bell(1200, 2.0, 0.8, 0.04, 0.02); }},
        {"cw_triangle.wav", "Triangle", [](R&) { return bell(3200, 2.76, 0.6, 0.6, 0.3); }},
        {"cw_zap.wav", "Zap", [](R& r) { return kick(r, 2400, 120, 0.015, 0.08, 0.0, 1.5); }},
    }}}});

    all.push_back({"Quenby.pack", "quenby", "Quenby", {{"Quenby Kit", {
        {"qb_kick.wav", "Kick", [](R& r) { return kick(r, 130, 56, 0.025, 0.12, 0.9, 1.4); }},
        {"qb_kick_room.wav", "Room Kick", [](R& r) { return mix(kick(r, 125, 50, 0.03, 0.2, 0.5, 1.3), clap(r, 400, 0.08), 0.15); }},
        {"qb_snare.wav", "Snare", [](R& r) { return snare(r, 190, 0.07, 0.16, 3800, 0.6); }},
        {"qb_snare_ghost.wav", "Ghost Snare", [](R& r) { return snare(r, 200, 0.03, 0.05, 4000, 0.7); }},
        {"qb_sidestick.wav", "Side Stick", [](R& r) { return rim(r, 2100); }},
        {"qb_hat_closed.wav", "Hat", [](R& r) { return metal(r, 0.95, 0.045, 6800, 0.25, 0.3); }},
        {"qb_hat_pedal.wav", "Pedal Hat", [](R& r) { return metal(r, 0.95, 0.02, 5000, 0.3, 0.15); }},
        {"qb_hat_open.wav", "Open Hat", [](R& r) { return metal(r, 0.95, 0.35, 6000, 0.3, 1.6); }},
        {"qb_tom_floor.wav", "Floor Tom", [](R& r) { return tom(r, 82, 0.3); }},
        {"qb_tom_rack.wav", "Rack Tom", [](R& r) { return tom(r, 165, 0.2); }},
        {"qb_tambourine.wav", "Tambourine", [](R& r) { return mix(shaker(r, 6000, 0.005, 0.08, 1), metal(r, 2.0, 0.08, 8000, 0.0, 0.4), 0.5); }},
        {"qb_crash.wav", "Crash", [](R& r) { return metal(r, 1.25, 0.8, 3800, 0.65, 3.5); }},
    }}}});
    return all;
}

bool writePackFile(const std::filesystem::path& path, const Pack& pack) {
    std::string json = "{\n  \"id\": \"" + escaped(pack.id) + "\",\n  \"name\": \"" + escaped(pack.name) +
                       "\",\n  \"bundled\": \"yes\",\n  \"banks\": [\n";
    for (size_t b = 0; b < pack.banks.size(); ++b) {
        const Bank& bank = pack.banks[b];
        json += "    {\n      \"name\": \"" + escaped(bank.name) + "\",\n      \"sounds\": [\n";
        for (size_t s = 0; s < bank.sounds.size(); ++s) {
            json += "        {\"file\": \"" + escaped(bank.sounds[s].file) + "\", \"name\": \"" +
                    escaped(bank.sounds[s].name) + "\"}" + (s + 1 < bank.sounds.size() ? ",\n" : "\n");
        }
        json += std::string("      ]\n    }") + (b + 1 < pack.banks.size() ? ",\n" : "\n");
    }
    json += "  ]\n}\n";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << json;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "stock_content: cannot make %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }
    bool ok = true;
    for (const Pack& pack : packs()) {
        for (const Bank& bank : pack.banks) {
            if (bank.sounds.size() != 12) {
                std::fprintf(stderr, "stock_content: bank %s has %zu sounds\n", bank.name.c_str(), bank.sounds.size());
                ok = false;
            }
            for (const Sound& sound : bank.sounds) {
                Random random(sound.file);
                ok &= writeWave(folder / sound.file, finish(sound.make(random)));
            }
        }
        ok &= writePackFile(folder / pack.packFile, pack);
    }
    ok &= writeWave(folder / "metronomeOn1.wav", finish(click(1760, 0.012), 0.7));
    ok &= writeWave(folder / "metronomeOn234.wav", finish(click(1320, 0.010), 0.55));
    return ok ? 0 : 1;
}
