#pragma once

// WAVE files the editor and exchange tests write and read back.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace strombel::testing {

/// 16-bit samples of a sine of `hertz` at `rate`, `frames` long, at half scale.
inline std::vector<int16_t> sineSamples(double hertz, double rate, size_t frames, uint32_t channels = 1) {
    std::vector<int16_t> samples(frames * channels);
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c)
            samples[i * channels + c] = int16_t(std::lround(16000.0 * std::sin(2 * M_PI * hertz * double(i) / rate)));
    return samples;
}

/// Writes interleaved 16-bit samples as a WAVE file (or another `format`).
inline bool writeWave(const std::filesystem::path& path, const std::vector<int16_t>& samples, uint32_t channels,
                      int rate = 44100, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = int(channels);
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    const sf_count_t frames = sf_count_t(samples.size() / channels);
    const bool ok = sf_writef_short(file, samples.data(), frames) == frames;
    sf_close(file);
    return ok;
}

/// A file's samples as 16-bit, interleaved; `channels` and `rate` are set.
inline std::vector<int16_t> readWave(const std::filesystem::path& path, uint32_t* channels = nullptr,
                                     int* rate = nullptr, int* format = nullptr) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<int16_t> samples(size_t(info.frames * info.channels));
    sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    if (channels) *channels = uint32_t(info.channels);
    if (rate) *rate = info.samplerate;
    if (format) *format = info.format;
    return samples;
}

/// The bytes of a WAVE file made from `samples`.
inline std::vector<uint8_t> waveBytes(const std::filesystem::path& scratch, const std::vector<int16_t>& samples,
                                      uint32_t channels, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    writeWave(scratch, samples, channels, 44100, format);
    std::FILE* in = std::fopen(scratch.c_str(), "rb");
    std::vector<uint8_t> bytes;
    if (!in) return bytes;
    uint8_t block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) bytes.insert(bytes.end(), block, block + n);
    std::fclose(in);
    std::filesystem::remove(scratch);
    return bytes;
}

/// The names of the files in `folder`, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace strombel::testing
