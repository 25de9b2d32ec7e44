#pragma once

#include <string>
#include <vector>

#include "library/sound_data_manager.h"
#include "ui/sound_bank_control.h"

namespace strombel::ui {

/// The library's banks as the bank selector sees them: their names by order, and
/// news of every change the library reports. Lives on the main thread.
class LibrarySoundBankList final : public SoundBankList, public library::SoundDataManagerDelegate {
  public:
    /// Joins `library`, which must outlive this list.
    explicit LibrarySoundBankList(library::SoundDataManager& library);
    ~LibrarySoundBankList() override;
    LibrarySoundBankList(const LibrarySoundBankList&) = delete;
    LibrarySoundBankList& operator=(const LibrarySoundBankList&) = delete;

    std::vector<std::string> soundbankNames() const override;
    void addObserver(SoundBankListObserver* observer) override;
    void removeObserver(SoundBankListObserver* observer) override;

    void soundbanksChanged() override;

  private:
    library::SoundDataManager& library_;
    std::vector<SoundBankListObserver*> observers_;
};

}  // namespace strombel::ui
