#pragma once

// The library's file: one SQLite database with a table per kind of object.
// It reads and writes plain rows; the object graph lives in ObjectContext.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "library/entities.h"
#include "platform/result.h"

struct sqlite3;

namespace strombel::library {

/// The domain of a write the store could not make (code 1; the message is SQLite's).
inline constexpr std::string_view kPersistentStoreErrorDomain = "PersistentStoreErrorDomain";

struct SoundpackRow {
    int64_t id = 0;
    std::string packId, name, imagePath;
};
struct SoundbankRow {
    int64_t id = 0;
    std::string name;
    int64_t orderId = 0;
    std::string sourcePackId = {};  // the pack whose import made it; empty: the user's own
};
struct SampleRow {
    int64_t id = 0;
    std::string filepath, name;
    double volume = 1.0;
    int64_t packOrderId = 0;
    int64_t soundpack = 0;  // 0: none
};
struct SoundbankSampleRow {
    int64_t id = 0;
    int64_t orderId = 0;
    int64_t sample = 0, soundbank = 0;
};
struct PatternRow {
    int64_t id = 0;
    int64_t patternId = 0, numBars = 1;
};
struct SequencerEventRow {
    int64_t id = 0;
    int64_t step = 0, eventType = 0;
    int64_t pattern = 0, sample = 0;
};

/// Every row of every table (what a load gives, or what a save writes).
struct StoreRows {
    std::vector<SoundpackRow> soundpacks;
    std::vector<SoundbankRow> soundbanks;
    std::vector<SampleRow> samples;
    std::vector<SoundbankSampleRow> soundbankSamples;
    std::vector<PatternRow> patterns;
    std::vector<SequencerEventRow> sequencerEvents;

    bool empty() const {
        return soundpacks.empty() && soundbanks.empty() && samples.empty() && soundbankSamples.empty() &&
               patterns.empty() && sequencerEvents.empty();
    }
};

/// One save: rows to write (inserted or changed) and rows to delete.
struct StoreChanges {
    StoreRows upserts;
    std::vector<std::pair<EntityKind, int64_t>> deletes;
};

class PersistentStore {
public:
    /// The schema this build writes, kept in PRAGMA user_version.
    static constexpr int kSchemaVersion = 1;
    /// The longest name, in characters, read from the store: what the program's
    /// name field holds. A longer one (which nothing here makes) is cut when read,
    /// so that a hostile file cannot make the start lay out megabytes of text.
    static constexpr int kLongestName = 32767;
    /// The longest file path, in characters, read from the store: no path of more
    /// bytes names a file (PATH_MAX), so a longer one, cut here, still names none.
    static constexpr int kLongestPath = 4096;

    /// Opens the store file, creating it (and its folder) when missing. A file that
    /// is not a database, fails its integrity check, or whose schema is not one
    /// this build knows is renamed aside with a timestamp and a fresh file is
    /// made; the rows that could still be read from it are written into the fresh
    /// file. A file the disk will not let us write (full, read-only, failing) is
    /// not damaged: it is kept as it is, read without touching it, and
    /// `writeProblem()` says why nothing can be saved. `isOpen()` is false only
    /// when the file can neither be read nor made.
    explicit PersistentStore(std::filesystem::path file);
    ~PersistentStore();
    PersistentStore(const PersistentStore&) = delete;
    PersistentStore& operator=(const PersistentStore&) = delete;

    bool isOpen() const { return database_ != nullptr; }
    const std::filesystem::path& file() const { return file_; }
    /// The rows read at open (moved out by the context that loads them).
    StoreRows takeLoadedRows() { return std::move(loaded_); }
    /// True when this open made a new file (first launch, or a damaged one set aside).
    bool createdFresh() const { return createdFresh_; }
    /// Where a damaged or unknown file was set aside, empty when none was.
    const std::filesystem::path& setAsidePath() const { return setAside_; }
    /// Why the file was set aside or could not be opened, as SQLite put it (for
    /// the log); empty when all went well.
    const std::string& openError() const { return openError_; }
    /// Why a file was set aside, for words a user reads.
    enum class SetAsideReason {
        none,
        notAStore,    // not a database, or one without our tables
        newerSchema,  // written by a newer version of the program
        damaged,      // pages that fail the integrity check or cannot be read
    };
    SetAsideReason setAsideReason() const { return setAsideReason_; }
    /// What of a damaged file's rows could be read and was carried into the fresh
    /// one; `failed` when rows could be read but not written there.
    struct CarriedOver {
        size_t soundbanks = 0, samples = 0, sequencerEvents = 0;
        bool failed = false;
    };
    const CarriedOver& carriedOver() const { return carriedOver_; }
    /// Why no save can reach the file in this run (it was found read-only, or the
    /// disk refused it at open); empty when saves may.
    const std::string& writeProblem() const { return writeProblem_; }

    /// Writes one save in one transaction. On failure nothing of it is written and
    /// an error of kPersistentStoreErrorDomain says why (SQLite's words).
    platform::Result<void> write(const StoreChanges& changes);

    /// The identifiers of the shipped packs once imported into this store. The
    /// record outlives a pack the user removed, so that a start whose settings
    /// were lost does not bring it back.
    std::set<std::string> importedPacks() const;
    /// Records that a shipped pack's rows were saved; an error of
    /// kPersistentStoreErrorDomain when the record cannot be written.
    platform::Result<void> noteImportedPack(const std::string& packId);

    /// Milliseconds a write waits for a lock another connection holds.
    void setBusyTimeout(int milliseconds);

private:
    enum class Check { Good, Fresh, Damaged, Unreachable };
    /// Opens (or makes) the file; an error with SQLite's words when it cannot.
    platform::Result<void> openFile();
    /// Reads a file the disk will not let us use as usual, touching nothing.
    void openUntouched(const std::string& why);
    /// What a look at an opened file found, and for a damaged or unreachable one why.
    struct Inspection {
        Check check;
        std::string reason;
    };
    Inspection inspect();
    platform::Result<void> createSchema();
    /// Reads every table into `rows`; what came before a failure stays there.
    platform::Result<void> readRows(StoreRows& rows);
    /// Within a write: which pack made each bank written.
    platform::Result<void> writeSoundbankPacks(const StoreRows& rows);
    static constexpr const char* kSoundbankPackTable = "SoundbankPack";
    void setAside();
    void close();

    std::filesystem::path file_;
    sqlite3* database_ = nullptr;
    StoreRows loaded_;
    bool createdFresh_ = false;
    std::filesystem::path setAside_;
    std::string openError_;
    SetAsideReason setAsideReason_ = SetAsideReason::none;
    std::string writeProblem_;
    CarriedOver carriedOver_;
};

}  // namespace strombel::library
