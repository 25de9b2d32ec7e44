#pragma once

#include <string>

#include "library/sound_data_manager.h"

namespace strombel::library {

/// Brings the stored library up to date at every start, before any screen
/// exists: the packs that ship are imported into a new library, a bank is made
/// sure of, the packs of version 2.0 are added, and old absolute sample paths
/// become relative. Each one-time step is remembered in the user's settings, and
/// only once it fully succeeded, so that a failed step is tried again next start.
class DataMigrationManager {
public:
    static constexpr const char* kStockSoundpacksImportedKey = "Stock soundpacks imported";
    static constexpr const char* kVersion20MigrationCompleteKey = "Version 2.0 Migration complete";
    static constexpr const char* kSampleFilepathsMadeRelativeKey = "Sample filepaths made relative";

    /// The start-up entry point, over the program's library.
    static void makeDataUpToDate();
    /// The same over a given library (and its settings).
    static void makeDataUpToDate(SoundDataManager& library);

    /// Imports a pack file of the bundle (file name with extension); false when it
    /// cannot be read, does not import, or could not be saved (it is then in the
    /// library only until the program ends).
    static bool importSoundpackJsonFile(SoundDataManager& library, const std::string& fileName);
    /// Imports each former pack the library does not hold and never held (one the
    /// user removed stays removed); true when all that should be there are.
    static bool migrateFrom12to20(SoundDataManager& library);
};

}  // namespace strombel::library
