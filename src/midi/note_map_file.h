#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "platform/result.h"

namespace strombel::midi {

/// Note number to pad index.
using NoteToButtonMap = std::map<int32_t, int64_t>;

/// The file's name in the documents folder.
inline constexpr const char* kNoteToButtonMapFileName = ".noteToButtonMap.dict";
/// The key the map is stored under inside the file.
inline constexpr const char* kNoteToButtonMapKey = "noteToButtonMap";

/// Notes 60 to 71 on pads 0 to 11.
NoteToButtonMap defaultNoteToButtonMap();

/// The file's text: {"noteToButtonMap": {"60": 0, ...}}. JSON text, not the
/// binary keyed archive the name ".dict" may suggest: this platform has no coder
/// for that format. A file in it does not decode and is set aside as unreadable.
std::string encodeNoteToButtonMap(const NoteToButtonMap& map);
/// The map in `text`, or none when the text is not such a file: malformed, the
/// key missing, a note outside 0 to 127 or a pad outside 0 to 11.
std::optional<NoteToButtonMap> decodeNoteToButtonMap(const std::string& text);

struct NoteMapRead {
    /// `unreadable`: the file is not a note map (damage). `inaccessible`: the disk
    /// would not let it be read; the file may be fine and must be kept.
    enum class Outcome { loaded, missing, unreadable, inaccessible };
    Outcome outcome = Outcome::missing;
    NoteToButtonMap map;
    std::string error;
};

/// Reads the file; `missing` when there is none.
NoteMapRead readNoteToButtonMapFile(const std::filesystem::path& path);

/// Writes the file atomically (a temporary file, flushed, then renamed over the
/// old one). When it cannot, a "POSIXErrorDomain" error whose message is the
/// system's words ("No space left on device").
platform::Result<void> writeNoteToButtonMapFile(const std::filesystem::path& path, const NoteToButtonMap& map);

/// Renames an unreadable file aside ("<name>.unreadable-<seconds>"), so that
/// writing the defaults loses nothing; answers the new path, none when it could not.
std::optional<std::filesystem::path> setAsideNoteToButtonMapFile(const std::filesystem::path& path);

}  // namespace strombel::midi
