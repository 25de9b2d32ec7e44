// The library's life: opening the store, the shared library, saving, the folders
// it keeps, and the observers told of changes on the main loop. The other
// concerns live beside it in sound_data_manager_*.cpp.

#include "library/sound_data_manager.h"

#include <algorithm>
#include <mutex>

#include "logging/log.h"

namespace strombel::library {
namespace {

std::mutex sharedMutex;
std::unique_ptr<SoundDataManager>& sharedSlot() {
    static std::unique_ptr<SoundDataManager> library;
    return library;
}

}  // namespace

// ---- Delegate ----

SoundDataManagerDelegate::~SoundDataManagerDelegate() {
    auto libraries = libraries_;
    for (SoundDataManager* library : libraries) library->removeDelegate(this);
}

// ---- Results controller ----

std::shared_ptr<Sample> SoundpackSamplesResults::objectAtIndexPath(size_t section, size_t row) const {
    if (section >= sections_.size() || row >= sections_[section].samples.size()) return nullptr;
    return sections_[section].samples[row];
}

void SoundpackSamplesResults::performFetch(const ObjectContext& context) {
    // One section per pack, in the order of soundpacks(): by folded name, and
    // packs whose names differ only in case by row id, each its own section.
    struct Keyed {
        std::string packKey;
        int64_t packRow = 0;
        std::shared_ptr<Sample> sample;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(context.samples().size());
    for (const auto& [id, sample] : context.samples()) {
        Soundpack* pack = sample->soundpackPointer();
        keyed.push_back({pack ? foldCase(pack->name()) : std::string(), pack ? pack->rowId() : 0, sample});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.packKey != b.packKey) return a.packKey < b.packKey;
        if (a.packRow != b.packRow) return a.packRow < b.packRow;
        return a.sample->foldedName() < b.sample->foldedName();
    });
    sections_.clear();
    Soundpack* sectionPack = nullptr;
    for (Keyed& entry : keyed) {
        Soundpack* pack = entry.sample->soundpackPointer();
        if (sections_.empty() || pack != sectionPack) {
            sections_.push_back({pack ? pack->name() : std::string(), {}});
            sectionPack = pack;
        }
        sections_.back().samples.push_back(std::move(entry.sample));
    }
    count_ = keyed.size();
    fetched_ = true;
}

// ---- Life ----

SoundDataManager::SoundDataManager(platform::Sandbox& sandbox, platform::UserDefaults& defaults,
                                   platform::MainLoop& mainLoop)
    : sandbox_(sandbox), defaults_(defaults), mainLoop_(mainLoop) {
    (void)sandbox_.createFolders();
    store_ = std::make_unique<PersistentStore>(sandbox_.documents() / kStoreFileName);
    if (!store_->isOpen()) {
        storeProblem_ = store_->openError();
        STROMBEL_LOG_ERROR("could not create data store: {}", storeProblem_);
        store_.reset();
    } else if (!store_->openError().empty()) {
        STROMBEL_LOG_ERROR("could not create data store: {}; it was set aside as {} and a new one made",
                           store_->openError(), store_->setAsidePath().string());
    }
    // The context always exists, over the store or, without one, in memory only:
    // the program runs on what it holds until it ends.
    context_ = std::make_unique<ObjectContext>(store_.get());
    if (store_ && !store_->writeProblem().empty()) {
        writeProblem_ = store_->writeProblem();
        STROMBEL_LOG_ERROR("The library cannot be saved: {}", writeProblem_);
    } else if (!store_) {
        writeProblem_ = storeProblem_;
    }

    makeSureUserSamplesSoundpackExists();
    soundpackSamplesResults_.performFetch(*context_);

    STROMBEL_LOG_DEBUG("starting user sample scanning");
    userSamplesScannerTimer_ =
        mainLoop_.scheduleRepeating(kUserSampleScanIntervalNanos, [this] { scanUserSamplesChanges(); });
}

SoundDataManager::~SoundDataManager() {
    mainLoop_.cancel(userSamplesScannerTimer_);
    for (SoundDataManagerDelegate* delegate : delegates_) std::erase(delegate->libraries_, this);
    delegates_.clear();
    soundStore_.reset();
}

SoundDataManager& SoundDataManager::shared() {
    // The library outlives nothing it uses: those are made first, so they are
    // destroyed after it at exit.
    platform::Sandbox& sandbox = platform::Sandbox::shared();
    platform::UserDefaults& defaults = platform::UserDefaults::shared();
    platform::MainLoop& mainLoop = platform::MainLoop::shared();
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_unique<SoundDataManager>(sandbox, defaults, mainLoop);
    return *slot;
}

void SoundDataManager::setShared(std::unique_ptr<SoundDataManager> library) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(library);
}

bool SoundDataManager::save() {
    if (platform::Result<void> saved = context_->save(); !saved) {
        const std::string error = saved.error().message();
        if (writeProblem_.empty()) {
            writeProblem_ = error;
            STROMBEL_LOG_ERROR("error persisting managedObjectContext: {}", error);
            informDelegates([error](SoundDataManagerDelegate& delegate) { delegate.libraryWriteProblemChanged(error); });
        }
        return false;
    }
    STROMBEL_LOG_DEBUG("persistence saved!");
    if (!writeProblem_.empty() && store_ && store_->writeProblem().empty()) {
        writeProblem_.clear();
        STROMBEL_LOG_WARN("The library is saved again");
        informDelegates([](SoundDataManagerDelegate& delegate) { delegate.libraryWriteProblemChanged({}); });
    }
    return true;
}

// ---- Folders ----

std::filesystem::path SoundDataManager::exportTempFolder() const {
    std::filesystem::path folder = sandbox_.caches() / "export";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

std::filesystem::path SoundDataManager::downloadsFolder() const {
    std::filesystem::path folder = sandbox_.caches() / "downloads";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

std::filesystem::path SoundDataManager::absolutePathOfSample(const std::string& filepath) const {
    return sandbox_.absolutePath(filepath);
}

// ---- Observers ----

void SoundDataManager::addDelegate(SoundDataManagerDelegate* delegate) {
    if (!delegate || std::find(delegates_.begin(), delegates_.end(), delegate) != delegates_.end()) return;
    delegates_.push_back(delegate);
    delegate->libraries_.push_back(this);
}

void SoundDataManager::removeDelegate(SoundDataManagerDelegate* delegate) {
    if (!delegate) return;
    std::erase(delegates_, delegate);
    std::erase(delegate->libraries_, this);
}

void SoundDataManager::informDelegates(const std::function<void(SoundDataManagerDelegate&)>& message) {
    std::weak_ptr<bool> alive = alive_;
    auto deliver = [this, alive, message] {
        if (alive.expired()) return;  // the library went before the loop came round
        // An observer may leave (or destroy another) while it is told: each one
        // still registered at its turn hears the message.
        auto snapshot = delegates_;
        for (SoundDataManagerDelegate* delegate : snapshot) {
            if (std::find(delegates_.begin(), delegates_.end(), delegate) != delegates_.end()) message(*delegate);
        }
    };
    if (mainLoop_.isMainThread()) {
        deliver();
    } else {
        mainLoop_.post(deliver);
    }
}

bool SoundDataManager::saveSamples() {
    const bool saved = save();
    soundpackSamplesResults_.performFetch(*context_);
    informDelegates([](SoundDataManagerDelegate& delegate) { delegate.samplesChanged(); });
    return saved;
}

void SoundDataManager::saveSoundbanks() {
    save();
    informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
}

}  // namespace strombel::library
