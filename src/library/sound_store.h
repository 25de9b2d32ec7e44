#pragma once

// What the library knows of its store part (the catalogue and the pack
// downloads, made in src/store/ and plugged in by the program): the items of the
// catalogue and the interface the library and the store screens use.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "json/error.h"

namespace strombel::library {

/// One entry of the store catalogue.
struct StoreItem {
    static constexpr int kStateNotInstalled = 1;
    static constexpr int kStateInstalled = 2;

    std::string identifier;
    std::string title;
    std::string descriptionText;
    std::string contents;
    /// The icon's address; empty when the item has none.
    std::string iconURL;
    /// The addresses of the item's files and their plain file names, in the same
    /// order; exactly one of them is the ".pack".
    std::vector<std::string> contentURLs;
    std::vector<std::string> contentFiles;
    int state = kStateNotInstalled;
    /// One of the packs that ship with the program.
    bool stockPack = false;
};

/// Where the installation of one item stands.
struct StoreItemProgress {
    enum class Phase { idle, downloading, installed, failed };
    Phase phase = Phase::idle;
    /// Files in and checked, of all the item needs (the pack's samples count
    /// once the pack file is in).
    size_t filesDone = 0;
    size_t filesTotal = 0;
    /// Why the installation failed (phase failed).
    std::string failure;
    /// How many times in a row the item has been tried in this run: 1 for the
    /// first download, one more for each RETRY after a failure.
    size_t tries = 0;
};

/// The store part of the library. Main loop only.
class SoundStore {
public:
    virtual ~SoundStore() = default;
    /// Asks for the catalogue; the library's observers hear storeItemsLoaded or
    /// storeItemsLoadingFailed. A call while a fetch runs joins it.
    virtual void fetchStoreItems() = 0;
    /// The last catalogue that loaded; null until one has.
    virtual const std::vector<StoreItem>* storeItems() const = 0;
    /// True while a catalogue fetch runs.
    virtual bool isLoadingStoreItems() const = 0;
    /// Starts installing an item of the catalogue (again, after a failure); false
    /// when there is no such item or it is installed or on its way.
    virtual bool downloadStoreItem(const std::string& identifier) = 0;
    virtual StoreItemProgress progressOfStoreItem(const std::string& identifier) const = 0;
    /// Fetches an item's icon; `done` gets its bytes (empty on any failure) on the
    /// main loop, unless the store is gone by then.
    virtual void fetchStoreItemIcon(const StoreItem& item, std::function<void(std::vector<uint8_t>)> done) = 0;
};

}  // namespace strombel::library
