// Reading the library: packs, banks, samples and what lies on each pad.

#include "library/sound_data_manager.h"

#include <algorithm>

namespace strombel::library {
namespace {

template <class T>
void sortByFoldedName(std::vector<std::shared_ptr<T>>& objects) {
    std::stable_sort(objects.begin(), objects.end(), [](const auto& a, const auto& b) {
        return foldCase(a->name()) < foldCase(b->name());
    });
}

}  // namespace

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
    // The bank at a position of the ordered list (by orderId, equal ones in the
    // registry's order of row ids, as the list's stable sort leaves them),
    // without sorting the others.
    std::vector<Soundbank*> banks;
    banks.reserve(registry.size());
    for (const auto& [id, bank] : registry) banks.push_back(bank.get());
    const auto at = banks.begin() + static_cast<std::ptrdiff_t>(bankIdx);
    std::nth_element(banks.begin(), at, banks.end(), [](Soundbank* a, Soundbank* b) {
        return a->orderId() != b->orderId() ? a->orderId() < b->orderId() : a->rowId() < b->rowId();
    });
    return (*at)->shared_from_this();
}

size_t SoundDataManager::soundbankCount() const { return context_->soundbanks().size(); }

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
    auto bank = soundbankAtIndex(bankIdx);
    return bank ? soundbankSampleOnPad(*bank, padIdx) : nullptr;
}

std::shared_ptr<SoundbankSample> SoundDataManager::soundbankSampleOnPad(const Soundbank& bank, uint64_t padIdx) {
    // The first of the pad's assignments in the bank's order, without sorting them all.
    SoundbankSample* first = nullptr;
    for (SoundbankSample* assignment : bank.samplesInBankPointers()) {
        if (assignment->orderId() == padIdx && (!first || assignment->rowId() < first->rowId())) first = assignment;
    }
    return first ? first->shared_from_this() : nullptr;
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

}  // namespace strombel::library
