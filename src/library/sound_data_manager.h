#pragma once

// src/library/: the sample library and its store: packs, banks, samples, patterns,
// pack import and migration.
// May include: platform, logging, json.

// The sample library: packs, sound banks, samples and pad assignments, kept in
// the store file in the documents folder, with the pattern storage of the
// sequencer. Everything here runs on the main thread.
//
// What the engine, the sequencer and the screens call:
//   SoundDataManager::shared()                 the program's library
//   addDelegate(observer)                      told sampleRemoved(path), samplesChanged(),
//                                              sampleRenamed(from, to), soundbanksChanged(),
//                                              on the main loop
//   samples()                                  every sample (filepath, name, volume)
//   soundbanks(), samplePathsOfSoundbank(b)    banks by order; the relative path on each pad
//   soundbankSamplesOfSoundbank(b)             a bank's pad assignments, by pad
//   sampleWithFilepath(p), userSamples(), soundpacks(), soundpackSamplesResultsController()
//   setSample(s, b, pad), removeSampleFromSoundbank(b, pad), switchSamplesInSoundbank(b, x, y)
//   createNewSoundbank(), removeSoundbankAtIndex(b), moveSoundbankFromIndex(x, y), saveSoundbanks()
//   removeSample(s, persist), removeSoundpackAtIndex(i), renameUserSampleWithPath(p, name)
//   notifyOfNewUserSample(p), addSoundpackFromJson(text), relativeSamplePathFromJson(text)
//   patternForIdx(n), sequencerEventsForPattern(n), addSequenceEventOnPattern(...), save()
//   adapters/library_adapters.h: the same as engine::SoundLibrary and sequencer::PatternStore.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json/value.h"
#include "library/entities.h"
#include "library/object_context.h"
#include "library/persistent_store.h"
#include "library/sound_store.h"
#include "platform/main_loop.h"
#include "platform/not_found.h"
#include "platform/result.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"

namespace strombel::library {

class SoundDataManager;
struct PackDescription;

/// An observer of the library. Every message is optional; they arrive on the main
/// loop, in order of registration. An observer leaves every library it joined when
/// it is destroyed.
class SoundDataManagerDelegate {
public:
    virtual ~SoundDataManagerDelegate();

    /// A sample left the library; `filepath` is its relative path.
    virtual void sampleRemoved(const std::string& filepath) { (void)filepath; }
    /// Samples were added, removed, renamed or changed.
    virtual void samplesChanged() {}
    /// A sample's file took a new name: what held the sample by `from`, its old
    /// relative path, holds it by `to` now. It comes before the save that sends
    /// samplesChanged and gives the engine a table without `from`, so that the
    /// patterns play the new name before the old one is gone.
    virtual void sampleRenamed(const std::string& from, const std::string& to) {
        (void)from;
        (void)to;
    }
    /// Banks or pad assignments changed.
    virtual void soundbanksChanged() {}
    /// Saves stopped reaching the store file (`problem` says why), or, with an
    /// empty `problem`, reach it again. Changes made meanwhile are kept in memory
    /// and go with the next save that works.
    virtual void libraryWriteProblemChanged(const std::string& problem) { (void)problem; }

    // Sent by the store part of the library (catalogue and downloads).
    virtual void storeItemsLoaded(const std::vector<StoreItem>& items) { (void)items; }
    virtual void storeItemsLoadingFailed(const platform::Error& error) { (void)error; }
    virtual void storeItemsDownloadingCompleted() {}
    virtual void storeItemFileDownloaded(const std::string& file) { (void)file; }
    virtual void storeItemFileDownloadFailed(const std::string& file) { (void)file; }

private:
    friend class SoundDataManager;
    std::vector<SoundDataManager*> libraries_;
};

/// All samples grouped by pack: sections in pack-name order, samples by name
/// within each (both case-insensitive). What the library browser lists.
class SoundpackSamplesResults {
public:
    struct Section {
        std::string name;
        std::vector<std::shared_ptr<Sample>> samples;
    };

    const std::vector<Section>& sections() const { return sections_; }
    size_t fetchedObjectCount() const { return count_; }
    /// The sample at (section, row), or null outside the results.
    std::shared_ptr<Sample> objectAtIndexPath(size_t section, size_t row) const;

private:
    friend class SoundDataManager;
    void performFetch(const ObjectContext& context);
    std::vector<Section> sections_;
    size_t count_ = 0;
    bool fetched_ = false;
};

class SoundDataManager {
public:
    static constexpr uint64_t kNotFound = platform::kNotFound;
    static constexpr uint64_t kPadsPerBank = 12;
    /// The store file, in the documents folder.
    static constexpr const char* kStoreFileName = ".strombel.xcdatamodeld";
    static constexpr const char* kUserSamplesPackId = "usersamples";
    static constexpr uint64_t kUserSampleScanIntervalNanos = 5'000'000'000ULL;

    /// A library over `sandbox`'s folders whose timer runs on `mainLoop`. Opens (or
    /// makes) the store, makes sure the user-samples pack exists and starts the
    /// five-second scan of the documents folder.
    SoundDataManager(platform::Sandbox& sandbox, platform::UserDefaults& defaults, platform::MainLoop& mainLoop);
    ~SoundDataManager();
    SoundDataManager(const SoundDataManager&) = delete;
    SoundDataManager& operator=(const SoundDataManager&) = delete;

    /// The program's library, made on first use from the shared sandbox, settings
    /// and main loop.
    static SoundDataManager& shared();
    /// Replaces (or, with null, forgets) the program's library.
    static void setShared(std::unique_ptr<SoundDataManager> library);

    platform::Sandbox& sandbox() const { return sandbox_; }
    platform::UserDefaults& defaults() const { return defaults_; }
    platform::MainLoop& mainLoop() const { return mainLoop_; }

    // ---- Store ----
    ObjectContext& managedObjectContext() { return *context_; }
    /// The store file; null only when not even a fresh one could be made.
    PersistentStore* persistentStore() const { return store_.get(); }
    /// True when this start made a new store file (first launch or a damaged one
    /// set aside): one-time imports must run again.
    bool storeWasCreatedFresh() const { return store_ && store_->createdFresh(); }
    /// Why the library has no store file ("" when it has one; a damaged file set
    /// aside and replaced is no problem: see persistentStore()->setAsidePath()).
    std::string storeProblem() const { return storeProblem_; }
    /// Writes every change in one transaction; false when it failed, in which
    /// case the changes stay for a later save. A failure is logged and told to
    /// the observers once, when saving stops working, not at every save.
    bool save();
    /// Why changes do not reach the store file now; empty while they do.
    const std::string& writeProblem() const { return writeProblem_; }

    // ---- Folders ----
    std::filesystem::path applicationDirectory() const { return sandbox_.root(); }
    std::filesystem::path applicationDocumentsDirectory() const { return sandbox_.documents(); }
    /// Library/Caches/export, created when missing.
    std::filesystem::path exportTempFolder() const;
    /// Library/Caches/downloads, created when missing.
    std::filesystem::path downloadsFolder() const;
    /// The absolute path of a stored relative sample path.
    std::filesystem::path absolutePathOfSample(const std::string& filepath) const;

    // ---- Observers ----
    void addDelegate(SoundDataManagerDelegate* delegate);
    void removeDelegate(SoundDataManagerDelegate* delegate);
    /// Sends a message to every observer, in order of registration, on the main loop.
    void informDelegates(const std::function<void(SoundDataManagerDelegate&)>& message);
    /// save, refetch the grouped samples, tell observers samplesChanged; whether
    /// the save reached the store file.
    bool saveSamples();
    /// save, tell observers soundbanksChanged.
    void saveSoundbanks();

    // ---- Queries ----
    /// Packs holding at least one sample, by name (case-insensitive).
    std::vector<std::shared_ptr<Soundpack>> soundpacks() const;
    /// All banks by orderId.
    std::vector<std::shared_ptr<Soundbank>> soundbanks() const;
    /// The bank at `bankIdx` of that order (null past the end), without the list.
    std::shared_ptr<Soundbank> soundbankAtIndex(uint64_t bankIdx) const;
    /// How many banks there are (the length of soundbanks()).
    size_t soundbankCount() const;
    std::vector<std::shared_ptr<Sample>> samples() const;
    std::shared_ptr<Sample> sampleWithFilepath(const std::string& filepath) const;
    /// The pad assignments of the bank at `bankIdx` of soundbanks(), by pad.
    std::vector<std::shared_ptr<SoundbankSample>> soundbankSamplesOfSoundbank(uint64_t bankIdx) const;
    std::vector<std::shared_ptr<Sample>> samplesOfSoundbank(uint64_t bankIdx) const;
    std::shared_ptr<SoundbankSample> soundbankSampleForSoundbank(uint64_t bankIdx, uint64_t padIdx) const;
    /// The same for a bank already at hand: the first of its assignments to the pad.
    static std::shared_ptr<SoundbankSample> soundbankSampleOnPad(const Soundbank& bank, uint64_t padIdx);
    std::shared_ptr<Sample> sampleForSoundbank(uint64_t bankIdx, uint64_t padIdx) const;
    /// The relative sample path on each of the twelve pads of a bank ("" for an
    /// empty pad); all empty for a bank index out of range.
    std::array<std::string, kPadsPerBank> samplePathsOfSoundbank(uint64_t bankIdx) const;
    bool soundpackWithIdExists(const std::string& packId) const;
    int32_t highestSoundbankOrderId() const;
    std::shared_ptr<Soundpack> userSamplesSoundpack() const;
    /// The user-samples pack's samples by name (case-insensitive).
    std::vector<std::shared_ptr<Sample>> userSamples() const;
    SoundpackSamplesResults& soundpackSamplesResultsController();

    // ---- Banks ----
    /// Inserts "Soundbank N" after the last bank; does not save.
    std::shared_ptr<Soundbank> createNewSoundbank();
    void makeSureAtLeastOneSoundbankExists();
    bool removeSoundbankAtIndex(uint64_t bankIdx);
    bool moveSoundbankFromIndex(uint64_t fromIdx, uint64_t toIdx);
    /// Puts `sample` on a pad (0 to 11) of a bank. With `preventDuplicates`, refuses
    /// a sample that already lies on the bank.
    bool setSample(const std::shared_ptr<Sample>& sample, uint64_t bankIdx, uint64_t padIdx, bool save = true,
                   bool preventDuplicates = true);
    bool removeSampleFromSoundbank(uint64_t bankIdx, uint64_t padIdx, bool save = true);
    bool switchSamplesInSoundbank(uint64_t bankIdx, uint64_t fromPadIdx, uint64_t toPadIdx);

    // ---- Samples and packs ----
    bool removeSampleWithFilePath(const std::string& filepath);
    /// Removes the sample and its file: a file of the documents folder (the
    /// user's own) goes to the desktop's trash, a downloaded one is deleted; never
    /// one of the bundle or outside those folders; a file already gone is fine.
    /// A file that cannot go to the trash keeps its sample: false, and
    /// `removalProblem()` says why.
    bool removeSample(const std::shared_ptr<Sample>& sample, bool persist);
    /// Why the last removeSample() answered false, in words for the user; empty
    /// when it had no more to say.
    const std::string& removalProblem() const { return removalProblem_; }
    /// A path of the documents folder: a file of the user's own, not one that
    /// can be downloaded again.
    static bool isUsersOwnFile(const std::string& filepath);
    /// Removes every sample of the pack (as removeSample does), then the pack.
    /// False when a sample stayed because its file could not be deleted: the pack
    /// then stays too, holding the samples that stayed.
    bool removeSoundpackAtIndex(uint64_t packIdx);

    // ---- Pack files ----
    /// Imports a ".pack" description: its pack (once), its samples (once each) and
    /// its banks (every time). A pack that does not validate changes nothing.
    platform::Result<std::shared_ptr<Soundpack>> addSoundpackFromJson(const std::string& text);
    /// The "file" of every sound of every bank, in order; nullopt for an empty or
    /// unusable text.
    std::optional<std::vector<std::string>> relativeSamplePathFromJson(const std::string& text);

    // ---- User samples ----
    void makeSureUserSamplesSoundpackExists();
    /// The audio files at the top of the documents folder, absolute, sorted.
    std::vector<std::string> findUserSampleFiles() const;
    /// Brings the user-samples pack in step with the documents folder (the timer's
    /// work). A file that does not open as audio is not added; it is logged once,
    /// and looked at again only when it changes.
    void scanUserSamplesChanges();
    /// Adds a file the program just wrote to the documents folder; false when known.
    bool notifyOfNewUserSample(const std::string& relativePath);
    /// Renames a user sample, and its file to the name as typed (spaces and signs
    /// included, control characters left out), keeping its extension; the new
    /// relative path, or nullopt when the name is refused, a file of that name is
    /// there already, or the move fails (`renameProblem()` says which).
    std::optional<std::string> renameUserSampleWithIdx(uint64_t userSampleIdx, const std::string& newName);
    /// Why a name the user gives a file of the documents folder (a renamed
    /// sample, an export, a paste) cannot be used, in words for the user, or empty
    /// when it can: a name with '/' or NUL (or one that is '.' or '..'), one
    /// without letters or digits, and one beginning with '.' (its file would be
    /// hidden, never a sample) are refused.
    static std::string fileNameProblem(const std::string& name);
    /// Why `newName` cannot name the user sample at `filepath`, in words for the
    /// user, or empty when it can: what fileNameProblem() refuses, and a name
    /// another user sample already shows (names are shown in upper case).
    std::string userSampleNameProblem(const std::string& filepath, const std::string& newName) const;
    std::optional<std::string> renameUserSampleWithPath(const std::string& filepath, const std::string& newName);
    /// Why the last rename answered nullopt, in words for the user.
    const std::string& renameProblem() const { return renameProblem_; }
    /// Sorts by upper-cased name and numbers packOrderId from 0.
    static void applyAlphabetialSortOrderID(std::vector<std::shared_ptr<Sample>>& samples);

    // ---- Migration ----
    /// Turns absolute paths of old installations into paths relative to the root;
    /// false when the result could not be saved (the next start converts again).
    bool makeSamplePathsRelative();

    // ---- Patterns ----
    std::shared_ptr<Pattern> patternForIdx(uint64_t patternIdx);
    /// The stored events of a pattern by step.
    std::vector<std::shared_ptr<SequencerEvent>> sequencerEventsForPattern(uint64_t patternIdx) const;
    /// Stores an event (not saved until the next save); false when no sample has
    /// that path.
    bool addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, int32_t type, const std::string& filepath);
    /// Deletes the stored events of a sample at a step (not saved until the next
    /// save); answers how many went.
    size_t removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, const std::string& filepath);
    void copyAllSequencerEventsOfPattern(uint64_t fromPatternIdx, uint64_t toPatternIdx);
    void removeAllSequencerEventsOfPattern(uint64_t patternIdx);

    // ---- Store part ----
    /// Plugs in the store part and asks it for the catalogue.
    void setStore(std::unique_ptr<SoundStore> store);
    /// Asks the store part for the catalogue (nothing without one).
    void fetchStoreItems();
    SoundStore* store() const { return soundStore_.get(); }
    /// The ids of the packs that ship with the program.
    const std::vector<std::string>& stockSoundPackIds() const { return stockSoundPackIds_; }
    bool sampleFileExistenceChecked = false;

private:
    /// The folder of downloaded packs' samples, relative to the sandbox's root.
    static constexpr const char* kDownloadsRelative = "Library/Caches/downloads";

    std::vector<std::string> userSampleFileNames() const;
    /// The first bank (by order) that the pack brought, of that name, with no
    /// sample on any pad; else the first such bank the user renamed (its name is
    /// none of the pack's banks'), if any.
    std::shared_ptr<Soundbank> emptySoundbankOfPack(const PackDescription& description, const std::string& name) const;
    bool mayDeleteFileOf(const std::string& filepath) const;
    std::shared_ptr<Sample> insertUserSample(const std::string& relativePath);
    /// The user-sample file names, without the files already found not to be audio.
    std::vector<std::string> usableUserSampleFileNames();

    platform::Sandbox& sandbox_;
    platform::UserDefaults& defaults_;
    platform::MainLoop& mainLoop_;
    std::unique_ptr<PersistentStore> store_;
    std::unique_ptr<ObjectContext> context_;
    std::vector<SoundDataManagerDelegate*> delegates_;
    SoundpackSamplesResults soundpackSamplesResults_;
    platform::MainLoop::TimerId userSamplesScannerTimer_ = 0;
    uint64_t numUserSamplesInDatabase_ = kNotFound;
    std::unique_ptr<SoundStore> soundStore_;
    std::string storeProblem_;
    std::string writeProblem_;
    /// Files of the documents folder that did not open as audio, by name, with
    /// their size and change time then.
    std::map<std::string, std::pair<int64_t, int64_t>> notAudioFiles_;
    std::string removalProblem_;
    std::string renameProblem_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<std::string> stockSoundPackIds_{"ravellenights", "groovekitpreview", "tamboro-preview"};
};

}  // namespace strombel::library
