#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/sample_format.h"
#include "platform/whole_file.h"

struct sf_private_tag;
struct SRC_STATE_tag;

namespace strombel::platform {

/// What a file's header says about it.
struct AudioFileInfo {
    uint64_t frames = 0;
    uint32_t channels = 0;
    double sampleRate = 0;
};

/// A whole file decoded into the engine's format: one buffer per channel of 8.24
/// fixed-point samples at the engine's rate. The length is what was decoded, not
/// what the header claimed.
struct DecodedAudio {
    uint32_t numChannels = 0;
    double sampleRate = 0;
    std::vector<int32_t> channels[2];
    uint32_t frames() const { return numChannels ? static_cast<uint32_t>(channels[0].size()) : 0; }
};

/// The longest sound that becomes a sample: ten minutes. Longer files are
/// refused where they come in (`checkSoundFile`) and never decoded.
constexpr double kMaxSoundSeconds = 600.0;

/// Why a sound file could not be read or decoded (kAudioDecodeErrorDomain); the
/// message says why in words.
inline constexpr std::string_view kAudioDecodeErrorDomain = "AudioDecodeErrorDomain";
enum AudioDecodeError : int64_t {
    /// It does not open as audio ("not a readable audio file: ...").
    AudioDecodeNotReadable = 1,
    /// More than two channels, or no sample rate.
    AudioDecodeUnsupported = 2,
    /// Longer than kMaxSoundSeconds.
    AudioDecodeTooLong = 3,
    /// Not one frame in it.
    AudioDecodeNoFrames = 4,
    /// libsndfile or libsamplerate failed on the way (their words).
    AudioDecodeFailed = 5,
};

/// Reads the header of a WAVE, AIFF, CAF or MP3 file; AudioDecodeNotReadable
/// when the file cannot be opened or read.
Result<AudioFileInfo> readAudioFileInfo(const std::filesystem::path& path);

/// Whether a sound file can become a sample; when not, an AudioDecodeUnsupported
/// error saying why in words for the user. It must open as audio, hold one or two channels and at least one
/// frame, and last no longer than `kMaxSoundSeconds`; a WAVE or AIFF file's chunks must be whole (no chunk, the sample data
/// least of all, may claim more bytes than the file holds). Every way a file
/// enters the library asks this: store downloads, files found in the documents
/// folder, pastes and microphone takes.
Result<void> checkSoundFile(const std::filesystem::path& path);
/// The same for a whole file's bytes held in memory.
Result<void> checkSoundBytes(std::span<const uint8_t> bytes);

/// Decodes a whole file into 8.24 at `sampleRate` (resampled with libsamplerate
/// where the file's rate differs). Files of more than two channels, empty files,
/// and files longer than `kMaxSoundSeconds` are refused.
Result<DecodedAudio> decodeAudioFile(const std::filesystem::path& path, double sampleRate);

/// Writes 16-bit PCM WAVE files from 8.24 samples, clipping at full scale. When
/// the samples come at another rate than the file's, they are converted.
class WaveWriter {
public:
    WaveWriter() = default;
    ~WaveWriter();
    WaveWriter(const WaveWriter&) = delete;
    WaveWriter& operator=(const WaveWriter&) = delete;

    /// Starts a file of `channels` channels at `fileRate`, fed with samples at
    /// `inputRate`, to become `path` (replacing it) once it is whole. Until then it
    /// is written to a hidden file beside it, so that no empty or partial file
    /// ever lies under the name. False with `error()` set on failure.
    bool open(const std::filesystem::path& path, uint32_t channels, double fileRate, double inputRate);
    /// Whether `fileName` is the name of such a hidden file (".NAME.partial").
    static bool isPartialFileName(std::string_view fileName);
    /// The hidden file that becomes `path` once whole.
    static std::filesystem::path partialPathFor(const std::filesystem::path& path);
    /// Appends `frames` frames; `samples[c]` is channel c (8.24). False on a failed write.
    bool write(const int32_t* const* samples, uint32_t frames);
    /// Whether the samples given are converted to the file's rate; when not, they
    /// may also come as the file holds them (`writeInterleaved16`).
    bool convertsRate() const { return converter_ != nullptr; }
    /// Appends `frames` frames of 16-bit samples, channels interleaved, as the file
    /// holds them; only while the rate is not converted. False on a failed write.
    bool writeInterleaved16(const int16_t* samples, uint32_t frames);
    /// Finishes the file and puts it under its name; false, leaving nothing behind
    /// (an older file of that name stays as it was), when any write or the
    /// finishing failed.
    bool close();
    /// Drops the file being written: nothing lies under the name, and an older
    /// file of that name stays as it was.
    void abandon();
    bool isOpen() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    uint64_t framesWritten() const { return framesWritten_; }

private:
    bool writeFloatInterleaved(const float* samples, uint32_t frames);
    /// Writes `frames` frames of `shorts` and counts them.
    bool writeShorts(const int16_t* shorts, uint32_t frames);

    sf_private_tag* file_ = nullptr;
    std::unique_ptr<WholeFile> partial_;
    uint64_t bytesWritten_ = 0;     // sample bytes written
    uint64_t writebackAsked_ = 0;   // sample bytes the disk was asked to take so far
    SRC_STATE_tag* converter_ = nullptr;
    uint32_t channels_ = 0;
    double ratio_ = 1.0;
    std::string error_;
    uint64_t framesWritten_ = 0;
    std::vector<float> interleaved_, converted_;
    std::vector<int16_t> shorts_;
};

}  // namespace strombel::platform
