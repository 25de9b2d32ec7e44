#pragma once

#include <QRectF>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ui/gui_type.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/timer.h"
#include "ui/kit/view.h"

namespace strombel::ui {

/// A little display between a left (minus) and a right (plus) key, as the value
/// boxes and the bank selector share it. The frame given to setFrame places the
/// display: the keys stick out half a key to its left.
class ValueBoxView : public kit::View {
  public:
    void setFrame(const QRectF& frame) override;
    kit::Label& screenLabel() const { return *screenLabel_; }
    kit::Button& leftButton() const { return *leftButton_; }
    kit::Button& rightButton() const { return *rightButton_; }
    int32_t leftBtnImageWidth() const { return leftBtnImageWidth_; }

  protected:
    struct Pictures {
        const char* display;
        const char* left;
        const char* leftPressed;
        const char* right;
        const char* rightPressed;
    };
    /// Builds display, keys and frame for `guiType`.
    void layOut(GuiType guiType, const Pictures& pictures);
    /// Adds the display's label in `frame` (x counted from the display) at the type's text size.
    kit::Label* addScreenLabel(GuiType guiType, const QRectF& frame, const QString& text);

    kit::Label* screenLabel_ = nullptr;
    kit::Button* leftButton_ = nullptr;
    kit::Button* rightButton_ = nullptr;
    int32_t leftBtnImageWidth_ = 0;
};

/// A value box whose keys repeat while held (one step at touch down, then on a timer).
class RepeatingValueBox : public ValueBoxView {
  public:
    void btnReleased();
    void retriggerBtnPress();
    bool isRepeating() const { return btnRetriggerTimer_ != nullptr; }

  protected:
    void wireKeys(std::function<void()> minus, std::function<void()> plus);
    /// The sequencer's and the MIDI channel's box: small screen, slim keys, a clipped
    /// label starting with `text`, and `minus` / `plus` on the keys.
    void layOutStepper(GuiType guiType, const QString& text, std::function<void()> minus,
                       std::function<void()> plus);
    void scheduleRetrigger(double seconds);

    std::unique_ptr<kit::Timer> btnRetriggerTimer_;
    std::function<void()> btnRetriggerSelector_;
};

class DryWetEffectsControlDelegate {
  public:
    virtual ~DryWetEffectsControlDelegate() = default;
    /// The balance of the effects, 0 (dry) to 1 (wet).
    virtual void dryWetAmountChanged(float amount) { (void)amount; }
};

/// The dry/wet balance in percent (0 to 100, steps of 5); 100 after creation.
class DryWetEffectsControl final : public RepeatingValueBox {
  public:
    explicit DryWetEffectsControl(GuiType guiType = GuiType::tablet);

    void decreasePressed();
    void increasePressed();
    /// Sets the balance from 0..1 (held inside it, NaN as 0), shows it and tells the delegate.
    void setEffectAmount(float amount);
    int32_t currentEffectAmount() const { return currentEffectAmount_; }

    DryWetEffectsControlDelegate* delegate() const { return delegate_; }
    void setDelegate(DryWetEffectsControlDelegate* delegate) { delegate_ = delegate; }

  private:
    void show();
    DryWetEffectsControlDelegate* delegate_ = nullptr;
    int32_t currentEffectAmount_ = 100;
};

class SequencerScreenControlDelegate {
  public:
    virtual ~SequencerScreenControlDelegate() = default;
    virtual void sequencerControlMinusPressed() {}
    virtual void sequencerControlPlusPressed() {}
};

/// A box that shows what it is told and reports its keys: tempo, bars, swing.
class SequencerScreenControl final : public RepeatingValueBox {
  public:
    explicit SequencerScreenControl(GuiType guiType = GuiType::tablet);

    void minusPressed();
    void plusPressed();
    /// Shows "<amount> <UNIT>".
    void setAmount(int32_t amount, const QString& unitType);
    void setText(const QString& text);

    SequencerScreenControlDelegate* delegate() const { return delegate_; }
    void setDelegate(SequencerScreenControlDelegate* delegate) { delegate_ = delegate; }

  private:
    SequencerScreenControlDelegate* delegate_ = nullptr;
};

class MidiChannelControlDelegate {
  public:
    virtual ~MidiChannelControlDelegate() = default;
    /// -1 for omni, 0 to 15 for channels 1 to 16.
    virtual void midiChannelChanged(int32_t channel) { (void)channel; }
};

/// The MIDI channel filter: "OMNI" or 1 to 16.
class MidiChannelControl final : public RepeatingValueBox {
  public:
    explicit MidiChannelControl(GuiType guiType = GuiType::tablet);

    void minusPressed();
    void plusPressed();
    /// Holds the channel inside -1..15 and shows it; tells nobody.
    void setMidiChannel(int32_t channel);
    int32_t currentMidiChannel() const { return currentMidiChannel_; }

    MidiChannelControlDelegate* delegate() const { return delegate_; }
    void setDelegate(MidiChannelControlDelegate* delegate) { delegate_ = delegate; }

  private:
    void step(int32_t by);
    MidiChannelControlDelegate* delegate_ = nullptr;
    int32_t currentMidiChannel_ = 0;
};

}  // namespace strombel::ui
