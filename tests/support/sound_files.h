#pragma once

// Sound files as users meet them: whole ones, ones cut short in a download, and
// ones of more channels than a pad plays.

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace strombel::testing {

/// Writes a 16-bit WAVE of `frames` frames of `channels` channels at `rate` (a
/// quiet sine), as a recorder would. False when it could not be written.
inline bool writeSoundFile(const std::filesystem::path& path, int channels, int64_t frames, int rate = 44100) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    std::vector<int16_t> samples(size_t(frames * channels));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(8000 * std::sin(double(i) * 0.05));
    const bool whole = sf_write_short(file, samples.data(), sf_count_t(samples.size())) == sf_count_t(samples.size());
    return sf_close(file) == 0 && whole;
}

/// A mono WAVE whose header claims 88,200 data bytes while only the first
/// `keptDataBytes` of them are there: a download that stopped early.
inline bool writeTruncatedSoundFile(const std::filesystem::path& path, uint64_t keptDataBytes = 29370) {
    if (!writeSoundFile(path, 1, 44100)) return false;
    std::error_code error;
    std::filesystem::resize_file(path, 44 + keptDataBytes, error);
    return !error;
}

}  // namespace strombel::testing
