#include "library/sound_data_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "library/pack_file.h"
#include "logging/log.h"
#include "platform/audio_file.h"

namespace strombel::library {
namespace {

std::mutex sharedMutex;
std::unique_ptr<SoundDataManager>& sharedSlot() {
    static std::unique_ptr<SoundDataManager> library;
    return library;
}

constexpr const char* kDownloadsRelative = "Library/Caches/downloads";

template <class T>
void sortByFoldedName(std::vector<std::shared_ptr<T>>& objects) {
    std::stable_sort(objects.begin(), objects.end(), [](const auto& a, const auto& b) {
        return foldCase(a->name()) < foldCase(b->name());
    });
}

/// True when the first component of a relative path names the bundle folder.
bool isBundlePath(const std::string& filepath) {
    std::filesystem::path path(filepath);
    auto first = path.begin();
    return first != path.end() && path.is_relative() && first->string().size() > 4 &&
           first->string().ends_with(".app");
}

std::string upperCased(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

/// Decodes one UTF-8 sequence at `at`; 0 bytes when it is not valid.
size_t decodeUtf8(const std::string& text, size_t at, char32_t& codePoint) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    codePoint = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000) || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

/// Letters and digits of a user's name for a file: ASCII letters and digits, and
/// the letters of other scripts; punctuation, symbols and spaces go.
std::string cleanFileName(const std::string& name) {
    std::string clean;
    for (size_t at = 0; at < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[at]);
        if (c < 0x80) {
            if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) clean.push_back(name[at]);
            ++at;
            continue;
        }
        char32_t codePoint = 0;
        size_t length = decodeUtf8(name, at, codePoint);
        if (length == 0) {
            ++at;
            continue;
        }
        bool punctuation = codePoint < 0xC0 || codePoint == 0xD7 || codePoint == 0xF7 ||
                           (codePoint >= 0x2000 && codePoint <= 0x2BFF) || (codePoint >= 0x3000 && codePoint <= 0x303F) ||
                           (codePoint >= 0xE000 && codePoint <= 0xF8FF) || (codePoint >= 0xFE00 && codePoint <= 0xFE6F) ||
                           (codePoint >= 0xFF00 && codePoint <= 0xFF0F) || (codePoint >= 0xFF1A && codePoint <= 0xFF20) ||
                           (codePoint >= 0xFF3B && codePoint <= 0xFF40) || (codePoint >= 0xFF5B && codePoint <= 0xFF65) ||
                           codePoint >= 0xFFF0;
        if (!punctuation) clean.append(name, at, length);
        at += length;
    }
    return clean;
}

/// A visible file whose extension (the text after the last dot) is an audio type.
bool isAudioFileName(std::string_view name) {
    if (name.empty() || name.front() == '.') return false;
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view extension = name.substr(dot + 1);
    auto is = [extension](std::string_view type) {
        return std::equal(extension.begin(), extension.end(), type.begin(), type.end(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    };
    return is("wav") || is("caf") || is("aif") || is("aiff") || is("mp3");
}

/// A file name as the user sees it: control characters (a newline in a name)
/// become spaces.
std::string printableName(std::string name) {
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = ' ';
    }
    return name;
}

/// A file's size and change time, to notice that it changed.
std::pair<int64_t, int64_t> fileStamp(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {-1, -1};
    return {int64_t(info.st_size), int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
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
    sandbox_.createFolders();
    store_ = std::make_unique<PersistentStore>(sandbox_.documents() / kStoreFileName);
    if (!store_->isOpen()) {
        storeProblem_ = store_->openError();
        STROMBEL_LOG_ERROR("could not create data store: {}", storeProblem_);
        store_.reset();
    } else if (!store_->openError().empty()) {
        STROMBEL_LOG_ERROR("could not create data store: {}; it was set aside as {} and a new one made",
                           store_->openError(), store_->setAsidePath().string());
    }
    context_ = std::make_unique<ObjectContext>(store_.get());
    if (!store_) STROMBEL_LOG_ERROR("can't create core data (coordinator)");
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
    std::string error;
    if (!context_->save(error)) {
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

void SoundDataManager::saveSamples() {
    save();
    soundpackSamplesResults_.performFetch(*context_);
    informDelegates([](SoundDataManagerDelegate& delegate) { delegate.samplesChanged(); });
}

void SoundDataManager::saveSoundbanks() {
    save();
    informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
}

// ---- Queries ----

std::vector<std::shared_ptr<Soundpack>> SoundDataManager::soundpacks() const {
    std::vector<std::shared_ptr<Soundpack>> packs;
    for (const auto& [id, pack] : context_->soundpacks()) {
        if (pack->sampleCount() > 0) packs.push_back(pack);
    }
    sortByFoldedName(packs);
    return packs;
}

std::vector<std::shared_ptr<Soundbank>> SoundDataManager::soundbanks() const {
    std::vector<std::shared_ptr<Soundbank>> banks;
    banks.reserve(context_->soundbanks().size());
    for (const auto& [id, bank] : context_->soundbanks()) banks.push_back(bank);
    std::stable_sort(banks.begin(), banks.end(), [](const auto& a, const auto& b) { return a->orderId() < b->orderId(); });
    return banks;
}

std::shared_ptr<Soundbank> SoundDataManager::soundbankAtIndex(uint64_t bankIdx) const {
    const auto& registry = context_->soundbanks();
    if (bankIdx >= registry.size()) return nullptr;
    // The bank at a position of the ordered list, without building the list.
    std::vector<Soundbank*> banks;
    banks.reserve(registry.size());
    for (const auto& [id, bank] : registry) banks.push_back(bank.get());
    std::stable_sort(banks.begin(), banks.end(), [](Soundbank* a, Soundbank* b) { return a->orderId() < b->orderId(); });
    return banks[bankIdx]->shared_from_this();
}

std::vector<std::shared_ptr<Sample>> SoundDataManager::samples() const {
    std::vector<std::shared_ptr<Sample>> result;
    result.reserve(context_->samples().size());
    for (const auto& [id, sample] : context_->samples()) result.push_back(sample);
    return result;
}

std::shared_ptr<Sample> SoundDataManager::sampleWithFilepath(const std::string& filepath) const {
    auto found = context_->samplesWithFilepath(filepath);
    return found.empty() ? nullptr : found.front()->shared_from_this();
}

std::vector<std::shared_ptr<SoundbankSample>> SoundDataManager::soundbankSamplesOfSoundbank(uint64_t bankIdx) const {
    auto bank = soundbankAtIndex(bankIdx);
    if (!bank) return {};
    auto assignments = bank->samplesInBank();
    std::sort(assignments.begin(), assignments.end(), [](const auto& a, const auto& b) {
        return a->orderId() != b->orderId() ? a->orderId() < b->orderId() : a->rowId() < b->rowId();
    });
    return assignments;
}

std::vector<std::shared_ptr<Sample>> SoundDataManager::samplesOfSoundbank(uint64_t bankIdx) const {
    std::vector<std::shared_ptr<Sample>> result;
    for (const auto& assignment : soundbankSamplesOfSoundbank(bankIdx)) {
        if (auto sample = assignment->sample()) result.push_back(std::move(sample));
    }
    return result;
}

std::shared_ptr<SoundbankSample> SoundDataManager::soundbankSampleForSoundbank(uint64_t bankIdx,
                                                                               uint64_t padIdx) const {
    for (const auto& assignment : soundbankSamplesOfSoundbank(bankIdx)) {
        if (assignment->orderId() == padIdx) return assignment;
    }
    return nullptr;
}

std::shared_ptr<Sample> SoundDataManager::sampleForSoundbank(uint64_t bankIdx, uint64_t padIdx) const {
    auto assignment = soundbankSampleForSoundbank(bankIdx, padIdx);
    return assignment ? assignment->sample() : nullptr;
}

std::array<std::string, SoundDataManager::kPadsPerBank> SoundDataManager::samplePathsOfSoundbank(
    uint64_t bankIdx) const {
    std::array<std::string, kPadsPerBank> paths;
    for (const auto& assignment : soundbankSamplesOfSoundbank(bankIdx)) {
        Sample* sample = assignment->samplePointer();
        if (assignment->orderId() < kPadsPerBank && sample && paths[assignment->orderId()].empty()) {
            paths[assignment->orderId()] = sample->filepath();
        }
    }
    return paths;
}

bool SoundDataManager::soundpackWithIdExists(const std::string& packId) const {
    for (const auto& [id, pack] : context_->soundpacks()) {
        if (pack->packId() == packId) return true;
    }
    return false;
}

int32_t SoundDataManager::highestSoundbankOrderId() const {
    int64_t highest = 0;
    bool any = false;
    for (const auto& [id, bank] : context_->soundbanks()) {
        if (!any || bank->orderId() > highest) highest = bank->orderId();
        any = true;
    }
    return static_cast<int32_t>(highest);
}

std::shared_ptr<Soundpack> SoundDataManager::userSamplesSoundpack() const {
    std::shared_ptr<Soundpack> last;
    for (const auto& [id, pack] : context_->soundpacks()) {
        if (pack->packId() == kUserSamplesPackId) last = pack;
    }
    return last;
}

std::vector<std::shared_ptr<Sample>> SoundDataManager::userSamples() const {
    auto pack = userSamplesSoundpack();
    if (!pack) return {};
    auto result = pack->samplesInPack();
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        return a->foldedName() != b->foldedName() ? a->foldedName() < b->foldedName() : a->rowId() < b->rowId();
    });
    return result;
}

SoundpackSamplesResults& SoundDataManager::soundpackSamplesResultsController() {
    if (!soundpackSamplesResults_.fetched_ || soundpackSamplesResults_.count_ == 0) {
        soundpackSamplesResults_.performFetch(*context_);
    }
    return soundpackSamplesResults_;
}

// ---- Banks ----

std::shared_ptr<Soundbank> SoundDataManager::createNewSoundbank() {
    int32_t order = highestSoundbankOrderId() + 1;
    auto bank = context_->insertSoundbank();
    bank->setOrderId(order);
    bank->setName(fmt::format("Soundbank {}", order));
    return bank;
}

void SoundDataManager::makeSureAtLeastOneSoundbankExists() {
    if (!context_->soundbanks().empty()) return;
    createNewSoundbank();
    saveSoundbanks();
}

bool SoundDataManager::removeSoundbankAtIndex(uint64_t bankIdx) {
    auto bank = soundbankAtIndex(bankIdx);
    if (!bank) return false;
    context_->deleteObject(*bank);
    makeSureAtLeastOneSoundbankExists();
    saveSoundbanks();
    return true;
}

bool SoundDataManager::moveSoundbankFromIndex(uint64_t fromIdx, uint64_t toIdx) {
    auto banks = soundbanks();
    if (fromIdx >= banks.size() || toIdx >= banks.size()) return false;
    auto moved = banks[fromIdx];
    banks.erase(banks.begin() + static_cast<std::ptrdiff_t>(fromIdx));
    banks.insert(banks.begin() + static_cast<std::ptrdiff_t>(toIdx), moved);
    for (size_t i = 0; i < banks.size(); ++i) {
        if (banks[i]->orderId() != static_cast<int64_t>(i)) banks[i]->setOrderId(static_cast<int64_t>(i));
    }
    saveSoundbanks();
    return true;
}

bool SoundDataManager::setSample(const std::shared_ptr<Sample>& sample, uint64_t bankIdx, uint64_t padIdx, bool save,
                                 bool preventDuplicates) {
    if (!sample || sample->isDeleted() || padIdx >= kPadsPerBank) return false;
    auto bank = soundbankAtIndex(bankIdx);
    if (!bank) return false;
    auto assignments = soundbankSamplesOfSoundbank(bankIdx);
    if (preventDuplicates) {
        for (const auto& assignment : assignments) {
            Sample* onPad = assignment->samplePointer();
            if (onPad && onPad->filepath() == sample->filepath()) {
                STROMBEL_LOG_DEBUG("sample already added to soundbank: {}",
                                   std::filesystem::path(sample->filepath()).stem().string());
                return false;
            }
        }
    }
    bool placed = false;
    for (const auto& assignment : assignments) {
        if (assignment->orderId() == padIdx) {
            assignment->setSample(sample);
            placed = true;
            break;
        }
    }
    if (!placed) {
        auto assignment = context_->insertSoundbankSample();
        assignment->setOrderId(padIdx);
        assignment->setSample(sample);
        assignment->setSoundbank(bank);
    }
    if (save) saveSoundbanks();
    return true;
}

bool SoundDataManager::removeSampleFromSoundbank(uint64_t bankIdx, uint64_t padIdx, bool save) {
    auto assignment = soundbankSampleForSoundbank(bankIdx, padIdx);
    if (!assignment) return false;
    context_->deleteObject(*assignment);
    if (save) saveSoundbanks();
    return true;
}

bool SoundDataManager::switchSamplesInSoundbank(uint64_t bankIdx, uint64_t fromPadIdx, uint64_t toPadIdx) {
    // Both pads must exist, or the first pad's sample would be taken off and
    // never put down.
    if (!soundbankAtIndex(bankIdx) || fromPadIdx >= kPadsPerBank || toPadIdx >= kPadsPerBank) return false;
    auto first = sampleForSoundbank(bankIdx, fromPadIdx);
    auto second = sampleForSoundbank(bankIdx, toPadIdx);
    if (second) {
        setSample(second, bankIdx, fromPadIdx, false, false);
    } else {
        removeSampleFromSoundbank(bankIdx, fromPadIdx, false);
    }
    if (first) {
        setSample(first, bankIdx, toPadIdx, false, false);
    } else {
        removeSampleFromSoundbank(bankIdx, toPadIdx, false);
    }
    saveSoundbanks();
    return true;
}

// ---- Samples and packs ----

bool SoundDataManager::removeSampleWithFilePath(const std::string& filepath) {
    auto sample = sampleWithFilepath(filepath);
    if (!sample) return false;
    return removeSample(sample, true);
}

bool SoundDataManager::mayDeleteFileOf(const std::string& filepath) const {
    std::filesystem::path path(filepath);
    if (path.empty() || !path.is_relative()) return false;
    for (const auto& component : path) {
        if (component == ".." || component == ".") return false;
    }
    std::string generic = path.generic_string();
    std::filesystem::path folder;
    if (generic.starts_with("Documents/") && generic.size() > 10) {
        folder = sandbox_.documents();
    } else if (generic.starts_with(std::string(kDownloadsRelative) + "/") && generic.size() > 25) {
        folder = sandbox_.caches() / "downloads";
    } else {
        return false;
    }
    // The folder the file really lies in (through any symbolic links) must be the
    // library's folder or one inside it.
    std::error_code error;
    std::filesystem::path realFolder = std::filesystem::canonical(folder, error);
    if (error) return false;
    std::filesystem::path realParent = std::filesystem::weakly_canonical((sandbox_.root() / path).parent_path(), error);
    if (error) return false;
    auto [end, _] = std::mismatch(realFolder.begin(), realFolder.end(), realParent.begin(), realParent.end());
    return end == realFolder.end();
}

bool SoundDataManager::removeSample(const std::shared_ptr<Sample>& sample, bool persist) {
    if (!sample || sample->isDeleted()) return false;
    const std::string filepath = sample->filepath();
    if (!isBundlePath(filepath)) {
        if (mayDeleteFileOf(filepath)) {
            std::filesystem::path absolute = sandbox_.root() / filepath;
            std::error_code error;
            bool removed = std::filesystem::remove(absolute, error);
            if (error) {
                STROMBEL_LOG_WARN("WARN: could not remove sample file: {}", absolute.string());
                return false;
            }
            if (removed) {
                STROMBEL_LOG_DEBUG("sample file removed: {}", absolute.string());
            } else {
                STROMBEL_LOG_DEBUG("sample file was already gone: {}", absolute.string());
            }
        } else {
            STROMBEL_LOG_WARN("not removing a file outside the library's folders: {}", filepath);
        }
    }

    informDelegates([&filepath](SoundDataManagerDelegate& delegate) { delegate.sampleRemoved(filepath); });

    const bool wasOnPads = !sample->soundbanks().empty();
    auto pack = sample->soundpack();
    context_->deleteObject(*sample);
    if (pack && pack->sampleCount() == 0 && pack->packId() != kUserSamplesPackId) context_->deleteObject(*pack);
    if (persist) {
        saveSamples();
        if (wasOnPads) informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    }
    return true;
}

bool SoundDataManager::removeSoundpackAtIndex(uint64_t packIdx) {
    auto packs = soundpacks();
    if (packIdx >= packs.size()) return false;
    auto pack = packs[packIdx];
    auto samplesOfPack = pack->samplesInPack();
    std::sort(samplesOfPack.begin(), samplesOfPack.end(), [](const auto& a, const auto& b) {
        return a->packOrderId() != b->packOrderId() ? a->packOrderId() < b->packOrderId() : a->rowId() < b->rowId();
    });
    bool padsChanged = false;
    for (const auto& sample : samplesOfPack) {
        bool onPads = !sample->soundbanks().empty();
        if (removeSample(sample, false)) padsChanged |= onPads;
    }
    // A sample whose file could not be deleted keeps its pack, so that it can be
    // removed again later.
    if (!pack->isDeleted() && pack->packId() != kUserSamplesPackId && pack->sampleCount() == 0) {
        context_->deleteObject(*pack);
    }
    saveSamples();
    if (padsChanged) informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    return true;
}

// ---- Pack files ----

json::Result<std::shared_ptr<Soundpack>> SoundDataManager::addSoundpackFromJson(const std::string& text) {
    auto read = readPackDescription(text);
    if (!read.ok()) {
        STROMBEL_LOG_ERROR("could not import soundpack: {}", read.error().description());
        return read.error();
    }
    const PackDescription& description = read.value();

    std::shared_ptr<Soundpack> pack;
    for (const auto& existing : soundpacks()) {
        if (existing->packId() == description.id) {
            pack = existing;
            break;
        }
    }
    if (pack) {
        STROMBEL_LOG_DEBUG("soundpack with id {} exists in database", description.id);
    } else {
        pack = context_->insertSoundpack();
        pack->setName(description.name);
        pack->setPackId(description.id);
    }

    const std::string folder = description.bundled ? std::string(platform::Sandbox::kBundleFolderName)
                                                   : std::string(kDownloadsRelative);
    int64_t nextOrder = static_cast<int64_t>(highestSoundbankOrderId()) + 1;
    int64_t soundCounter = 0;
    for (const PackBank& bankDescription : description.banks) {
        auto bank = context_->insertSoundbank();
        bank->setName(bankDescription.name);
        bank->setOrderId(nextOrder++);
        for (size_t pad = 0; pad < bankDescription.sounds.size(); ++pad) {
            const PackSound& sound = bankDescription.sounds[pad];
            const std::string path = folder + "/" + sound.file;
            auto sample = sampleWithFilepath(path);
            if (sample) {
                STROMBEL_LOG_DEBUG("sample already exists in DB, skipping: {}", sample->name());
            } else {
                sample = context_->insertSample();
                sample->setFilepath(path);
                sample->setName(sound.name.empty() ? sound.file : sound.name);
                sample->setPackOrderId(soundCounter);
                sample->setVolume(1.0f);
                sample->setSoundpack(pack);
            }
            auto assignment = context_->insertSoundbankSample();
            assignment->setSoundbank(bank);
            assignment->setSample(sample);
            assignment->setOrderId(pad);
            ++soundCounter;
        }
    }
    saveSamples();
    saveSoundbanks();
    STROMBEL_LOG_DEBUG("added soundpack to database: {}", pack->name());
    return pack;
}

std::optional<std::vector<std::string>> SoundDataManager::relativeSamplePathFromJson(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        STROMBEL_LOG_ERROR("cant parse track paths from json, empty string (or nil)");
        return std::nullopt;
    }
    auto read = readPackDescription(text);
    if (!read.ok()) {
        STROMBEL_LOG_ERROR("cant parse track paths from json: {}", read.error().description());
        return std::nullopt;
    }
    std::vector<std::string> files;
    for (const PackBank& bank : read.value().banks) {
        for (const PackSound& sound : bank.sounds) files.push_back(sound.file);
    }
    return files;
}

// ---- User samples ----

void SoundDataManager::makeSureUserSamplesSoundpackExists() {
    auto pack = userSamplesSoundpack();
    if (!pack) {
        STROMBEL_LOG_DEBUG("user samples sound pack does not exist! creating...");
        pack = context_->insertSoundpack();
    }
    const std::string imagePath = (sandbox_.bundle() / "icon152.png").string();
    if (pack->packId() != kUserSamplesPackId) pack->setPackId(kUserSamplesPackId);
    if (pack->name() != "User") pack->setName("User");
    if (pack->imagePath() != imagePath) pack->setImagePath(imagePath);
    saveSamples();
}

std::vector<std::string> SoundDataManager::userSampleFileNames() const {
    // Read with readdir: the entry's own type answers for all but links (and file
    // systems that do not tell), so a folder of thousands of files costs no stat
    // and no path object per entry.
    std::vector<std::string> names;
    const std::string folder = sandbox_.documents().string();
    DIR* directory = ::opendir(folder.c_str());
    if (!directory) return names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name(entry->d_name);
        if (name.empty() || name.front() == '.') continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            regular = ::fstatat(::dirfd(directory), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
        }
        if (regular && isAudioFileName(name)) names.emplace_back(name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SoundDataManager::findUserSampleFiles() const {
    std::vector<std::string> files = userSampleFileNames();
    const std::string folder = (sandbox_.documents() / "").string();
    for (std::string& name : files) name.insert(0, folder);
    return files;
}

std::shared_ptr<Sample> SoundDataManager::insertUserSample(const std::string& relative) {
    auto sample = context_->insertSample();
    sample->setFilepath(relative);
    sample->setName(printableName(std::filesystem::path(relative).stem().string()));
    sample->setPackOrderId(0);
    sample->setVolume(1.0f);
    sample->setSoundpack(userSamplesSoundpack());
    return sample;
}

std::vector<std::string> SoundDataManager::usableUserSampleFileNames() {
    std::vector<std::string> names = userSampleFileNames();  // sorted
    if (notAudioFiles_.empty()) return names;
    const std::string folder = (sandbox_.documents() / "").string();
    std::erase_if(notAudioFiles_, [&names](const auto& entry) {
        return !std::binary_search(names.begin(), names.end(), entry.first);  // gone
    });
    std::erase_if(names, [&](const std::string& name) {
        auto found = notAudioFiles_.find(name);
        if (found == notAudioFiles_.end()) return false;
        if (found->second == fileStamp(folder + name)) return true;
        notAudioFiles_.erase(found);  // changed: look at it again
        return false;
    });
    return names;
}

void SoundDataManager::scanUserSamplesChanges() {
    // The usual answer is "nothing changed": find it with sorted lists and no
    // copies of the names.
    static constexpr std::string_view kFolder = "Documents/";
    const std::vector<std::string> names = usableUserSampleFileNames();  // sorted
    {
        const auto pack = userSamplesSoundpack();
        const auto inPack = pack ? pack->samplesInPack() : std::vector<std::shared_ptr<Sample>>{};
        if (numUserSamplesInDatabase_ == kNotFound) numUserSamplesInDatabase_ = inPack.size();
        std::vector<std::string_view> knownPaths;
        knownPaths.reserve(inPack.size());
        for (const auto& sample : inPack) knownPaths.push_back(sample->filepath());
        std::sort(knownPaths.begin(), knownPaths.end());
        knownPaths.erase(std::unique(knownPaths.begin(), knownPaths.end()), knownPaths.end());
        const bool same =
            knownPaths.size() == names.size() &&
            std::equal(knownPaths.begin(), knownPaths.end(), names.begin(), [](std::string_view path, const std::string& name) {
                return path.size() == kFolder.size() + name.size() && path.starts_with(kFolder) &&
                       path.substr(kFolder.size()) == name;
            });
        if (same) return;
    }

    std::set<std::string> files;
    for (const std::string& name : names) files.insert(std::string(kFolder) + name);
    auto known = userSamples();
    std::unordered_set<std::string> knownPaths;
    for (const auto& sample : known) knownPaths.insert(sample->filepath());

    STROMBEL_LOG_DEBUG("-- user samples changed --");
    if (!userSamplesSoundpack()) makeSureUserSamplesSoundpackExists();
    for (const std::string& file : files) {
        if (knownPaths.count(file)) continue;
        const std::string name = file.substr(kFolder.size());
        const std::string absolute = (sandbox_.documents() / name).string();
        platform::AudioFileInfo info;
        std::string error;
        if (!platform::readAudioFileInfo(absolute, info, error)) {
            STROMBEL_LOG_WARN("{} in the documents folder is not added to the user samples: {}", printableName(name),
                              error);
            notAudioFiles_[name] = fileStamp(absolute);
            continue;
        }
        STROMBEL_LOG_DEBUG("new user sample, adding: {}", printableName(name));
        insertUserSample(file);
    }
    std::vector<std::string> removed;
    bool padsChanged = false;
    for (const auto& sample : known) {
        if (files.count(sample->filepath())) continue;
        STROMBEL_LOG_DEBUG("user sample was removed: {}", sample->name());
        removed.push_back(sample->filepath());
        padsChanged |= !sample->soundbanks().empty();
        context_->deleteObject(*sample);
    }
    auto list = userSamples();
    applyAlphabetialSortOrderID(list);
    numUserSamplesInDatabase_ = list.size();
    for (const std::string& path : removed) {
        informDelegates([&path](SoundDataManagerDelegate& delegate) { delegate.sampleRemoved(path); });
    }
    saveSamples();
    if (padsChanged) informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
}

bool SoundDataManager::notifyOfNewUserSample(const std::string& relative) {
    if (relative.empty()) return false;
    for (const auto& sample : userSamples()) {
        if (sample->filepath() == relative) return false;
    }
    STROMBEL_LOG_DEBUG("adding user sample: {}", std::filesystem::path(relative).filename().string());
    if (!userSamplesSoundpack()) makeSureUserSamplesSoundpackExists();
    insertUserSample(relative);
    auto list = userSamples();
    applyAlphabetialSortOrderID(list);
    saveSamples();
    if (numUserSamplesInDatabase_ != kNotFound) ++numUserSamplesInDatabase_;
    return true;
}

std::optional<std::string> SoundDataManager::renameUserSampleWithIdx(uint64_t userSampleIdx,
                                                                    const std::string& newName) {
    auto users = userSamples();
    if (userSampleIdx >= users.size()) return std::nullopt;
    auto sample = users[userSampleIdx];
    const std::string oldPath = sample->filepath();
    const std::string clean = cleanFileName(newName);
    if (clean.empty()) {
        STROMBEL_LOG_ERROR("could not rename sample file to: {} err: {}", newName, "the name has no letters or digits");
        return std::nullopt;
    }
    std::filesystem::path old(oldPath);
    const std::string newPath = (old.parent_path() / (clean + old.extension().string())).generic_string();

    if (newPath != oldPath) {
        if (!context_->samplesWithFilepath(newPath).empty()) {
            STROMBEL_LOG_ERROR("could not rename sample file to: {} err: {}", newPath,
                               "another sample has that name");
            return std::nullopt;
        }
        const std::filesystem::path from = sandbox_.root() / oldPath;
        const std::filesystem::path to = sandbox_.root() / newPath;
        // Never replaces a file that is already there.
        int status = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (status != 0 && (errno == EINVAL || errno == ENOSYS)) {
            std::error_code ignored;
            if (std::filesystem::exists(to, ignored)) {
                errno = EEXIST;
            } else {
                status = ::rename(from.c_str(), to.c_str());
            }
        }
        if (status != 0) {
            STROMBEL_LOG_ERROR("could not rename sample file to: {} err: {}", newPath, std::strerror(errno));
            return std::nullopt;
        }
    }
    sample->setName(newName);
    sample->setFilepath(newPath);
    STROMBEL_LOG_DEBUG("renamed user sample file to: {}", newPath);
    applyAlphabetialSortOrderID(users);
    saveSamples();
    // The pads name samples by path: those showing this one must learn the new one.
    if (newPath != oldPath && !sample->soundbanks().empty()) {
        informDelegates([](SoundDataManagerDelegate& delegate) { delegate.soundbanksChanged(); });
    }
    return newPath;
}

std::optional<std::string> SoundDataManager::renameUserSampleWithPath(const std::string& filepath,
                                                                     const std::string& newName) {
    auto users = userSamples();
    for (size_t i = 0; i < users.size(); ++i) {
        if (users[i]->filepath() == filepath) return renameUserSampleWithIdx(i, newName);
    }
    return std::nullopt;
}

void SoundDataManager::applyAlphabetialSortOrderID(std::vector<std::shared_ptr<Sample>>& samples) {
    std::vector<std::pair<std::string, std::shared_ptr<Sample>>> keyed;
    keyed.reserve(samples.size());
    for (auto& sample : samples) keyed.emplace_back(upperCased(sample->name()), sample);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) {
        samples[i] = keyed[i].second;
        if (samples[i]->packOrderId() != static_cast<int64_t>(i)) samples[i]->setPackOrderId(static_cast<int64_t>(i));
    }
}

// ---- Migration ----

void SoundDataManager::makeSamplePathsRelative() {
    STROMBEL_LOG_DEBUG("Making sample paths relative...");
    for (const auto& sample : samples()) {
        const std::string& path = sample->filepath();
        if (!path.starts_with("/var/mobile/Applications/")) continue;
        STROMBEL_LOG_DEBUG("converting sample to relative path from: {}", path);
        std::vector<std::string> components;
        for (size_t at = 0; at <= path.size();) {
            size_t slash = path.find('/', at);
            if (slash == std::string::npos) slash = path.size();
            if (slash > at) components.push_back(path.substr(at, slash - at));
            at = slash + 1;
        }
        // Whole components only: "MyDocuments" is not the documents folder.
        auto findComponent = [&](const std::string& name) {
            return std::find(components.begin(), components.end(), name);
        };
        auto start = findComponent("Documents");
        const char* which = "DOCUMENTS path";
        if (start == components.end()) {
            start = findComponent(platform::Sandbox::kBundleFolderName);
            which = nullptr;
        }
        if (start == components.end()) {
            which = "CACHES path";
            for (auto it = components.begin(); it + 2 < components.end(); ++it) {
                if (*it == "Library" && *(it + 1) == "Caches" && *(it + 2) == "downloads") {
                    start = it;
                    break;
                }
            }
        }
        if (start == components.end()) continue;
        std::string relative;
        for (auto it = start; it != components.end(); ++it) relative += (relative.empty() ? "" : "/") + *it;
        sample->setFilepath(relative);
        STROMBEL_LOG_DEBUG("changed path to: {}", relative);
        if (which) STROMBEL_LOG_DEBUG("{}", which);
    }
    saveSamples();
}

// ---- Patterns ----

std::shared_ptr<Pattern> SoundDataManager::patternForIdx(uint64_t patternIdx) {
    for (const auto& [id, pattern] : context_->patterns()) {
        if (pattern->patternId() == patternIdx) return pattern;
    }
    auto pattern = context_->insertPattern();
    pattern->setPatternId(patternIdx);
    pattern->setNumBars(1);
    STROMBEL_LOG_DEBUG("creating entity for pattern {}", patternIdx);
    save();
    return pattern;
}

std::vector<std::shared_ptr<SequencerEvent>> SoundDataManager::sequencerEventsForPattern(uint64_t patternIdx) const {
    std::vector<std::shared_ptr<SequencerEvent>> events;
    for (const auto& [id, event] : context_->sequencerEvents()) {
        Pattern* pattern = event->patternPointer();
        if (pattern && pattern->patternId() == patternIdx) events.push_back(event);
    }
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a->step() < b->step(); });
    return events;
}

bool SoundDataManager::addSequenceEventOnPattern(uint64_t patternIdx, uint64_t step, int32_t type,
                                                 const std::string& filepath) {
    auto sample = sampleWithFilepath(filepath);
    if (!sample) {
        STROMBEL_LOG_ERROR("cant create seqEvent for sample, not found: '{}'", filepath);
        return false;
    }
    auto pattern = patternForIdx(patternIdx);
    auto event = context_->insertSequencerEvent();
    event->setStep(step);
    event->setEventType(static_cast<uint32_t>(type));
    event->setPattern(pattern);
    event->setSample(sample);
    return true;
}

size_t SoundDataManager::removeSequenceEventOnPattern(uint64_t patternIdx, uint64_t step,
                                                     const std::string& filepath) {
    size_t removed = 0;
    for (const auto& event : sequencerEventsForPattern(patternIdx)) {
        Sample* sample = event->samplePointer();
        if (event->step() != step || !sample || sample->filepath() != filepath) continue;
        const std::string name = std::filesystem::path(filepath).filename().string();
        if (event->eventType() == 0) {
            STROMBEL_LOG_DEBUG("removed seqEvent: ({}) -start- '{}'", step, name);
        } else if (event->eventType() == 1) {
            STROMBEL_LOG_DEBUG("removed seqEvent: ({}) -stop- '{}'", step, name);
        } else {
            STROMBEL_LOG_DEBUG("removed seqEvent: ({}) -{}- '{}'", step, event->eventType(), name);
        }
        context_->deleteObject(*event);
        ++removed;
    }
    return removed;
}

void SoundDataManager::copyAllSequencerEventsOfPattern(uint64_t fromPatternIdx, uint64_t toPatternIdx) {
    auto source = patternForIdx(fromPatternIdx);
    auto target = patternForIdx(toPatternIdx);
    target->setNumBars(source->numBars());
    for (const auto& event : sequencerEventsForPattern(fromPatternIdx)) {
        auto copy = context_->insertSequencerEvent();
        copy->setStep(event->step());
        copy->setEventType(event->eventType());
        copy->setSample(event->sample());
        copy->setPattern(target);
    }
    save();
}

void SoundDataManager::removeAllSequencerEventsOfPattern(uint64_t patternIdx) {
    for (const auto& event : sequencerEventsForPattern(patternIdx)) context_->deleteObject(*event);
    save();
}

// ---- Store part ----

void SoundDataManager::setStore(std::unique_ptr<SoundStore> store) {
    soundStore_ = std::move(store);
    if (soundStore_) soundStore_->fetchStoreItems();
}

}  // namespace strombel::library
