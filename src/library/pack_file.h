#pragma once

// The ".pack" description of a sound pack: a JSON object with "id", "name",
// "bundled" and "banks", each bank a "name" and "sounds", each sound a "file"
// and an optional "name".

#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace strombel::library {

/// The error domain of pack files that cannot be imported.
inline constexpr std::string_view kPackErrorDomain = "SoundpackErrorDomain";

enum PackErrorCode : int64_t {
    PackErrorNotJson = 1,
    PackErrorInvalid = 2,
    PackErrorUnsafeFileName = 3,
};

struct PackSound {
    std::string file;
    std::string name;  // empty: the file name stands for it
};

struct PackBank {
    std::string name;
    std::vector<PackSound> sounds;  // one per pad, at most twelve
};

struct PackDescription {
    std::string id;
    std::string name;
    bool bundled = false;
    std::vector<PackBank> banks;
};

/// Decodes and checks a pack description. Refused: text that is not a JSON
/// object, an "id" that is not a non-empty string or is "usersamples", a "name", "banks", bank or
/// sound of the wrong type, a "file" that is not a plain file name (empty, ".",
/// "..", with "/" or "\", NUL or a control character). A bank listing more than
/// twelve sounds keeps the first twelve (a bank has twelve pads). A pack without
/// "name" is named by its id; a bank without one by the pack's name.
platform::Result<PackDescription> readPackDescription(std::string_view text);

/// True for a name that stays inside the folder it is joined to.
bool isPlainFileName(std::string_view name);

}  // namespace strombel::library
