#pragma once

// The store catalogue, "ItemsList.json" under the store's base address: a JSON
// array with one object per item:
//
//   [{"id": "deepkit",                      the pack's id (a plain file name)
//     "title": "Deep Kit",                  shown as the item's title
//     "description": "Twelve deep drums",   its description
//     "contents": "1 bank, 12 sounds",      what it holds
//     "icon": "deepkit.png",                a file under the icon base (optional)
//     "files": ["deepkit.pack"]}]           files under the base; exactly one ".pack"
//
// The ".pack" lists the samples (each bank's sounds' "file"), fetched from the
// same base. Every name is a plain file name: no "/", "\", "." or "..", no
// control characters. "title", "description", "contents" and "icon" may be
// missing; an item whose keys have the wrong types, or whose names are not plain,
// is skipped with a warning.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "library/sound_store.h"
#include "platform/result.h"
#include "store/store_settings.h"

namespace strombel::store {

/// The errors of the store.
inline constexpr std::string_view kStoreErrorDomain = "StoreErrorDomain";

enum StoreErrorCode : int64_t {
    StoreErrorUnreachable = 1,
    StoreErrorCredentialsRefused = 2,
    StoreErrorHttpStatus = 3,
    StoreErrorNotJson = 4,
    StoreErrorNotAList = 5,
    StoreErrorTooLarge = 6,
    StoreErrorBadFile = 7,
    StoreErrorNotAudio = 8,
    StoreErrorWrongPack = 9,
    StoreErrorFileInUse = 10,
    StoreErrorDiskFull = 11,
    StoreErrorFileSystem = 12,
};

/// The largest catalogue the store reads.
inline constexpr uint64_t kMaximumCatalogueSize = 1024 * 1024;

platform::Error storeError(StoreErrorCode code, std::string_view message);

/// True for the name of a pack description: something, then ".pack".
bool isPackFileName(std::string_view name);

/// What decoding needs to know of the library.
struct CatalogueContext {
    const StoreSettings& settings;
    const std::vector<std::string>& stockSoundPackIds;
    /// True when the library holds the pack with this id.
    std::function<bool(const std::string&)> packInstalled;
};

/// The items of a catalogue text, in order; an item id seen twice keeps its
/// first entry. Fails on a text that is not JSON, not an array, or larger than
/// kMaximumCatalogueSize.
platform::Result<std::vector<library::StoreItem>> decodeStoreItems(std::string_view text, const CatalogueContext& context);

}  // namespace strombel::store
