#pragma once

// src/editor/: what the sample editor and the audio exchange do with files and
// peers, without a screen: waveform peaks, trimming, keeping a recorded take,
// checking and writing pasted audio, the snapshot a copy offers, and the client
// of the local exchange server.
// May include: platform, logging, json, http.
//
//   audio_files.h             peaks, trim, takes, pasted audio, copy snapshots
//   audio_exchange_client.h   AudioExchangeClient: "/status", "/upload", "/contents"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace strombel::editor {

/// The most bytes of audio a paste or a peer's item may bring.
constexpr uint64_t kMaxPasteBytes = 256ull << 20;

/// Why a file was not written, in words for the user (kAudioFileErrorDomain);
/// then nothing was written and nothing was changed.
inline constexpr std::string_view kAudioFileErrorDomain = "AudioFileErrorDomain";
enum AudioFileError : int64_t {
    AudioFileNotWritten = 1,
    /// A take without frames: there is nothing to keep.
    AudioFileNoSound = 2,
};

/// A file of an earlier run's take (see `recoverTakes`) and the recording it
/// became, or why not.
struct RecoveredTake {
    std::filesystem::path file;
    platform::Result<std::filesystem::path> kept;
};

/// What the waveform view draws: for each of `points` columns, the lowest and the
/// highest sample (-1 to 1) of the frames it covers, over every channel.
struct WaveformPeaks {
    std::vector<float> minimum, maximum;
    uint64_t frames = 0;
    uint32_t channels = 0;
    double sampleRate = 0;
};

/// The domain of a sample file that does not open as audio (code 1; the message
/// is libsndfile's).
inline constexpr std::string_view kWaveformErrorDomain = "WaveformErrorDomain";

/// Reads `file` through once, in blocks, into `points` min/max pairs; an error of
/// kWaveformErrorDomain when it does not open as audio. `stopped`, when given, is
/// asked before each block: once it answers true the read ends there (with the
/// peaks of what was read), so a reader nobody waits for any more lets go at once.
platform::Result<WaveformPeaks> readWaveformPeaks(const std::filesystem::path& file, size_t points,
                                                  const std::function<bool()>& stopped = {});

/// Keeps frames [fromFrame, toFrame) of `file` in the file's own format: the
/// frames go to a temporary file beside it, which is renamed over the file once
/// whole. On any failure the file stays as it was.
platform::Result<std::filesystem::path> trimAudioFile(const std::filesystem::path& file, uint64_t fromFrame,
                                                      uint64_t toFrame);

/// Whether `fileName` is the name of the temporary file a trim, a paste or a kept
/// recording is written to before it takes its own name (".partial-XXXXXX").
bool isTemporaryAudioFileName(std::string_view fileName);

/// Copies a finished take into `folder` as the first free "recording NN.wav"
/// (never replacing a file), through a temporary file. A take without frames is
/// refused (AudioFileNoSound).
platform::Result<std::filesystem::path> keepRecordedTake(const std::filesystem::path& take,
                                                         const std::filesystem::path& folder);

/// Keeps what an earlier run left of the microphone's take `take`: the file
/// itself (the run ended before the take was kept) and the file half-written
/// aside of it (`platform::WaveWriter`; the run was killed while recording),
/// whose header is first given the sizes of the frames it holds. Each becomes
/// the next "recording NN.wav" in `folder` and leaves the caches. One outcome
/// per file found: the recording it became, or why not (the file then stays
/// for the next try). A take without sound goes without one.
std::vector<RecoveredTake> recoverTakes(const std::filesystem::path& take, const std::filesystem::path& folder);

/// Checks that `bytes` are audio a paste may take: a RIFF/WAVE whose chunks are
/// whole (a data chunk may not claim more than the bytes hold), or another
/// format libsndfile reads; one or two channels; at most kMaxPasteBytes. When not,
/// an error saying why.
platform::Result<void> checkPastedAudio(std::span<const uint8_t> bytes);

/// Writes pasted audio as a 16-bit WAVE file under a fresh name ("pasted NN.wav",
/// never one that exists) in `folder`, through a temporary file; other formats
/// and sample widths are converted.
platform::Result<std::filesystem::path> writePastedAudio(std::span<const uint8_t> bytes,
                                                         const std::filesystem::path& folder);
/// The same from a file: it must be a regular file (no folder, device or FIFO)
/// that can be read.
platform::Result<std::filesystem::path> writePastedAudioFile(const std::filesystem::path& source,
                                                             const std::filesystem::path& folder);

/// Why a file could not be read whole (kRegularFileErrorDomain); the message names
/// the file and the reason.
inline constexpr std::string_view kRegularFileErrorDomain = "RegularFileErrorDomain";
enum RegularFileError : int64_t {
    RegularFileNotOpened = 1,
    RegularFileNotAFile = 2,
    RegularFileTooLarge = 3,
    RegularFileCutShort = 4,
};

/// Reads a regular file of at most `limit` bytes whole.
platform::Result<std::vector<uint8_t>> readRegularFile(const std::filesystem::path& file, uint64_t limit);

/// Copies `source` (which must read as WAVE) to `folder`/"clipboard.wav" through a
/// temporary file, so that what was copied stays as it was when the source is
/// overwritten later.
platform::Result<std::filesystem::path> snapshotForCopy(const std::filesystem::path& source,
                                                        const std::filesystem::path& folder);

/// The first free name `stem` " NN" `extension` in `folder` (01 to 99, then more digits).
std::filesystem::path firstFreeName(const std::filesystem::path& folder, std::string_view stem,
                                    std::string_view extension);

}  // namespace strombel::editor
