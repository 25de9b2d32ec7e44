#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/value_boxes.h"

namespace strombel::ui {

/// Told when the library's banks change (added, removed, renamed, reordered).
class SoundBankListObserver {
  public:
    virtual ~SoundBankListObserver() = default;
    virtual void soundbanksChanged() {}
};

/// What the bank selector needs of the library: the banks' names in the
/// library's order, and news of changes. The library satisfies it.
class SoundBankList {
  public:
    virtual ~SoundBankList() = default;
    virtual std::vector<std::string> soundbankNames() const = 0;
    virtual void addObserver(SoundBankListObserver* observer) = 0;
    virtual void removeObserver(SoundBankListObserver* observer) = 0;
};

/// A bank list held in memory (tests, the gallery, a library not loaded yet).
class InMemorySoundBankList final : public SoundBankList {
  public:
    explicit InMemorySoundBankList(std::vector<std::string> names = {})
        : names_(std::move(names)) {}
    std::vector<std::string> soundbankNames() const override { return names_; }
    void addObserver(SoundBankListObserver* observer) override;
    void removeObserver(SoundBankListObserver* observer) override;
    /// Replaces the names and tells every observer.
    void setNames(std::vector<std::string> names);
    size_t observerCount() const;

  private:
    std::vector<std::string> names_;
    std::vector<SoundBankListObserver*> observers_;
};

class SoundBankControlDelegate {
  public:
    virtual ~SoundBankControlDelegate() = default;
    virtual void activeSoundbankChanged(uint64_t index) { (void)index; }
};

/// The bank selector: the active bank's name in capitals between a previous and
/// a next key, stepping round in both directions. It follows the library's
/// banks for as long as it lives. With no bank at all it shows nothing and
/// sends nothing.
class SoundBankControl final : public ValueBoxView, public SoundBankListObserver {
  public:
    /// Registers with `banks`, which must outlive the control.
    SoundBankControl(GuiType guiType, SoundBankList& banks);
    /// The tablet's selector.
    explicit SoundBankControl(SoundBankList& banks) : SoundBankControl(GuiType::tablet, banks) {}
    ~SoundBankControl() override;

    uint64_t currentBank() const { return currentBank_; }
    /// Shows bank `index` (cut to the last bank); tells nobody.
    void setCurrentBank(uint64_t index);
    void setScreenLabelText();
    void previousSoundbank();
    void nextSoundbank();
    void soundbanksChanged() override;
    const std::vector<std::string>& soundbankNames() const { return soundbankNames_; }

    SoundBankControlDelegate* delegate() const { return delegate_; }
    void setDelegate(SoundBankControlDelegate* delegate) { delegate_ = delegate; }

  private:
    void stepped();

    SoundBankList& banks_;
    SoundBankControlDelegate* delegate_ = nullptr;
    uint64_t currentBank_ = 0;
    std::vector<std::string> soundbankNames_;
};

}  // namespace strombel::ui
