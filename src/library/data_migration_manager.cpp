#include "library/data_migration_manager.h"

#include <fstream>
#include <set>
#include <span>
#include <sstream>

#include "logging/log.h"

namespace strombel::library {
namespace {

struct ShippedPack {
    const char* file;
    const char* packId;
};

constexpr ShippedPack kStockPacks[] = {
    {"GK-Preview.pack", "groovekitpreview"},
    {"TM-Preview.pack", "tamboro-preview"},
    {"RavelleNights.pack", "ravellenights"},
};

constexpr ShippedPack kFormerPacks[] = {
    {"DunmarshTidewell.pack", "dunmarshtidewell"},
    {"Calderwick2012-shortvocals.pack", "calderwickshortvocals"},
    {"Calderwick2012-longvocals.pack", "calderwickvocals"},
    {"Calderwick2012-samples.pack", "calderwicksamples"},
    {"Quenby.pack", "quenby"},
};

void setFlag(platform::UserDefaults& defaults, const char* key) {
    // Settings already known to be unusable (since they were opened) are told
    // at start with their reason: a flag they cannot keep adds nothing.
    const bool knownUnusable = !defaults.writeProblem().empty();
    defaults.setBool(key, true);
    if (!defaults.synchronize() && !knownUnusable) {
        STROMBEL_LOG_ERROR("could not store the migration flag \"{}\": {}", key, defaults.lastError());
    }
}

/// What this start may import: packs that ship and were never imported into this
/// store (the record outlives a pack the user removed), or, without a store,
/// every pack that ships, into memory.
struct ShippedImports {
    SoundDataManager& library;
    PersistentStore* store;
    std::set<std::string> imported;

    explicit ShippedImports(SoundDataManager& library)
        : library(library), store(library.persistentStore()), imported(store ? store->importedPacks() : std::set<std::string>{}) {
        // Packs a store already holds count as imported, whoever brought them.
        for (std::span<const ShippedPack> table : {std::span<const ShippedPack>(kStockPacks), std::span<const ShippedPack>(kFormerPacks)}) {
            for (const ShippedPack& pack : table) {
                if (library.soundpackWithIdExists(pack.packId)) note(pack);
            }
        }
    }
    bool inMemory() const { return store == nullptr; }
    bool wanted(const ShippedPack& pack) const {
        return !library.soundpackWithIdExists(pack.packId) && !imported.count(pack.packId);
    }
    void note(const ShippedPack& pack) {
        if (!store || imported.count(pack.packId)) return;
        if (platform::Result<void> noted = store->noteImportedPack(pack.packId)) {
            imported.insert(pack.packId);
        } else {
            STROMBEL_LOG_ERROR("could not record the import of pack {}: {}", pack.packId, noted.error().message());
        }
    }
    /// Imports a wanted pack; true when it is in the library and saved.
    bool import(const ShippedPack& pack) {
        if (!DataMigrationManager::importSoundpackJsonFile(library, pack.file)) return false;
        note(pack);
        return true;
    }
};

/// The former packs the library lacks and never had; the flag once all are there.
bool importFormerPacks(ShippedImports& imports) {
    bool allThere = true;
    for (const ShippedPack& pack : kFormerPacks) {
        if (imports.wanted(pack)) allThere &= imports.import(pack);
    }
    if (allThere && !imports.inMemory()) {
        setFlag(imports.library.defaults(), DataMigrationManager::kVersion20MigrationCompleteKey);
    }
    return allThere;
}

}  // namespace

void DataMigrationManager::makeDataUpToDate() { makeDataUpToDate(SoundDataManager::shared()); }

void DataMigrationManager::makeDataUpToDate(SoundDataManager& library) {
    platform::UserDefaults& defaults = library.defaults();
    ShippedImports imports(library);
    // A store made new this start (first launch, or a damaged one set aside) holds
    // nothing the flags speak of: the one-time steps run again. Without any store
    // this run, the stock packs play from memory, and no flag is set for them.
    const bool fresh = library.storeWasCreatedFresh();
    const bool again = fresh || imports.inMemory();

    if (again || !defaults.boolForKey(kStockSoundpacksImportedKey)) {
        bool allImported = true;
        const bool empty = library.samples().empty();
        bool resumed = false;
        for (const ShippedPack& pack : kStockPacks) resumed |= library.soundpackWithIdExists(pack.packId);
        if (empty || resumed || imports.inMemory()) {
            // An empty library gets them all; one where an earlier start imported
            // some and failed on others gets the rest. A pack imported before and
            // removed since stays removed.
            if (empty) STROMBEL_LOG_INFO("database is empty, importing default samples");
            for (const ShippedPack& pack : kStockPacks) {
                if (imports.wanted(pack)) allImported &= imports.import(pack);
            }
        }
        if (allImported && !imports.inMemory()) setFlag(defaults, kStockSoundpacksImportedKey);
    }

    library.makeSureAtLeastOneSoundbankExists();

    if (again || !defaults.boolForKey(kVersion20MigrationCompleteKey)) importFormerPacks(imports);

    // Done for good only once the new paths are on disk: a save the disk refused
    // leaves them in memory, and the next start converts the stored ones again.
    if (!defaults.boolForKey(kSampleFilepathsMadeRelativeKey) && library.makeSamplePathsRelative())
        setFlag(defaults, kSampleFilepathsMadeRelativeKey);
}

bool DataMigrationManager::importSoundpackJsonFile(SoundDataManager& library, const std::string& fileName) {
    const std::filesystem::path path = library.sandbox().bundle() / fileName;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (file) text << file.rdbuf();
    if (!file || file.bad()) {
        STROMBEL_LOG_ERROR("can't read from soundbank file: {}, error: {}", path.string(),
                           std::error_code(errno, std::generic_category()).message());
        return false;
    }
    if (!library.addSoundpackFromJson(text.str()).ok()) return false;
    // Read and in the library, but only in memory when the save failed (a full
    // disk): not imported for good, so that the next start tries again.
    return library.writeProblem().empty();
}

bool DataMigrationManager::migrateFrom12to20(SoundDataManager& library) {
    ShippedImports imports(library);
    return importFormerPacks(imports);
}

}  // namespace strombel::library
