#pragma once

#include <algorithm>
#include <map>

#include "engine/sound_library.h"

namespace strombel::engine {

/// A library held in memory: for tests, and for running the engine before the
/// persistent library is wired in. Changes tell the observers at once.
class InMemorySoundLibrary final : public SoundLibrary {
public:
    std::vector<LibrarySample> samples() const override { return samples_; }
    std::vector<LibraryPadAssignment> soundbankSamplesOfSoundbank(uint64_t bankIndex) const override {
        auto found = banks_.find(bankIndex);
        return found == banks_.end() ? std::vector<LibraryPadAssignment>{} : found->second;
    }
    void addDelegate(SoundLibraryObserver* observer) override { observers_.push_back(observer); }
    void removeDelegate(SoundLibraryObserver* observer) override {
        observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    }

    void setSamples(std::vector<LibrarySample> samples) {
        samples_ = std::move(samples);
        for (auto* observer : std::vector(observers_)) observer->samplesChanged();
    }
    void setBank(uint64_t bankIndex, std::vector<LibraryPadAssignment> pads) {
        banks_[bankIndex] = std::move(pads);
        for (auto* observer : std::vector(observers_)) observer->soundbanksChanged();
    }

private:
    std::vector<LibrarySample> samples_;
    std::map<uint64_t, std::vector<LibraryPadAssignment>> banks_;
    std::vector<SoundLibraryObserver*> observers_;
};

}  // namespace strombel::engine
