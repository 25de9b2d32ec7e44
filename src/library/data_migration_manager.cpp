#include "library/data_migration_manager.h"

#include <fstream>
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
    defaults.setBool(key, true);
    if (!defaults.synchronize()) {
        STROMBEL_LOG_ERROR("could not store the migration flag \"{}\": {}", key, defaults.lastError());
    }
}

}  // namespace

void DataMigrationManager::makeDataUpToDate() { makeDataUpToDate(SoundDataManager::shared()); }

void DataMigrationManager::makeDataUpToDate(SoundDataManager& library) {
    platform::UserDefaults& defaults = library.defaults();
    // A store made new this start (first launch, or a damaged one set aside) holds
    // nothing the flags speak of: the one-time steps run again.
    const bool fresh = library.storeWasCreatedFresh();

    if (fresh || !defaults.boolForKey(kStockSoundpacksImportedKey)) {
        bool allImported = true;
        const bool empty = library.samples().empty();
        bool resumed = false;
        for (const ShippedPack& pack : kStockPacks) resumed |= library.soundpackWithIdExists(pack.packId);
        if (empty) {
            STROMBEL_LOG_INFO("database is empty, importing default samples");
            for (const ShippedPack& pack : kStockPacks) allImported &= importSoundpackJsonFile(library, pack.file);
        } else if (resumed) {
            // An earlier start imported some of them and failed on others.
            for (const ShippedPack& pack : kStockPacks) {
                if (!library.soundpackWithIdExists(pack.packId)) {
                    allImported &= importSoundpackJsonFile(library, pack.file);
                }
            }
        }
        if (allImported) setFlag(defaults, kStockSoundpacksImportedKey);
    }

    library.makeSureAtLeastOneSoundbankExists();

    if (fresh || !defaults.boolForKey(kVersion20MigrationCompleteKey)) migrateFrom12to20(library);

    if (!defaults.boolForKey(kSampleFilepathsMadeRelativeKey)) {
        library.makeSamplePathsRelative();
        setFlag(defaults, kSampleFilepathsMadeRelativeKey);
    }
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
    return library.addSoundpackFromJson(text.str()).ok();
}

bool DataMigrationManager::migrateFrom12to20(SoundDataManager& library) {
    bool allThere = true;
    for (const ShippedPack& pack : kFormerPacks) {
        if (!library.soundpackWithIdExists(pack.packId)) allThere &= importSoundpackJsonFile(library, pack.file);
    }
    if (allThere) setFlag(library.defaults(), kVersion20MigrationCompleteKey);
    return allThere;
}

}  // namespace strombel::library
