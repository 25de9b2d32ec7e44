#pragma once

// The desktop clipboard as the exchange screens use it: audio offered as
// "audio/wav" bytes and as a "text/uri-list" file URI, and audio found there.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace strombel::editor {

/// Files above this size are offered by URI only.
constexpr uint64_t kMaxClipboardBytes = 64ull << 20;

/// Puts the WAVE file `snapshot` on the clipboard; an error whose message says why
/// when it cannot be read.
platform::Result<void> offerAudioOnClipboard(const std::filesystem::path& snapshot);

/// What the clipboard holds that may be audio.
struct ClipboardAudio {
    /// "audio/wav" or "audio/x-wav" bytes, when offered.
    std::vector<uint8_t> bytes;
    /// Otherwise the file a "text/uri-list" names (a local file URI).
    std::filesystem::path file;
    /// Why what is there cannot be pasted (a URI that is not file:, ...).
    std::string problem;
};

/// Nothing when the clipboard holds neither audio data nor a URI.
std::optional<ClipboardAudio> audioOnClipboard();

}  // namespace strombel::editor
