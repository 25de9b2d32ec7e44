#include "ui/library_sound_bank_list.h"

#include <algorithm>

namespace strombel::ui {

LibrarySoundBankList::LibrarySoundBankList(library::SoundDataManager& library) : library_(library) {
    library_.addDelegate(this);
}

// Leaving the library is the delegate base's work (it knows whether the library is still there).
LibrarySoundBankList::~LibrarySoundBankList() = default;

std::vector<std::string> LibrarySoundBankList::soundbankNames() const {
    std::vector<std::string> names;
    for (const auto& bank : library_.soundbanks())
        names.push_back(bank ? bank->name() : std::string());
    return names;
}

void LibrarySoundBankList::addObserver(SoundBankListObserver* observer) {
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
        observers_.push_back(observer);
    }
}

void LibrarySoundBankList::removeObserver(SoundBankListObserver* observer) {
    // A hole, not an erase: removal may happen while the observers are being told.
    std::replace(observers_.begin(), observers_.end(), observer,
                 static_cast<SoundBankListObserver*>(nullptr));
}

void LibrarySoundBankList::soundbanksChanged() {
    for (size_t i = 0; i < observers_.size(); ++i) {
        if (SoundBankListObserver* observer = observers_[i]) observer->soundbanksChanged();
    }
    std::erase(observers_, nullptr);
}

}  // namespace strombel::ui
