// Changing the sound banks: making, removing and ordering banks, and putting
// samples on their pads.

#include "library/sound_data_manager.h"

#include <algorithm>

#include "logging/log.h"

namespace strombel::library {

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

}  // namespace strombel::library
