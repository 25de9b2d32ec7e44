#include "ui/pad/pad_in_out_panel.h"

#include <cmath>

#include "ui/pad/pad_panel_views.h"

namespace strombel::ui {

using pad_views::isDown;

PadInOutPanel::PadInOutPanel(PadMidi* midi, platform::UserDefaults& defaults, const GuiFactory& gf,
                             PadInOutPanelHost& host, PadMidiLearnObserver& learnObserver)
    : midi_(midi), defaults_(defaults), gf_(gf), host_(host), learnObserver_(learnObserver) {}

void PadInOutPanel::open(kit::View& base) {
    if (isOpen()) return;
    const GuiType type = gf_.guiType();
    const double L = gf_.innerControlLeftMargin(), T = gf_.innerControlTopMargin(), S = gf_.smallBtnXSpace();
    container_ = pad_views::addPanel(
        base, type, QRectF(gf_.controlsRightX(), gf_.middleControlsY(), gf_.controlsWidth(), gf_.controlsHeight()),
        "linesInOutControls");
    kit::View& panel = *container_;
    auto button = [&](int column, const char* label, void (PadInOutPanel::*action)()) {
        SmallButtonControl* made = pad_views::addSmallButton(gf_, panel, L + column * S, T, label);
        pad_views::toggleOnValue(made, [this, action] { (this->*action)(); });
        return made;
    };
    exportBtn_ = button(0, "EXPRT", &PadInOutPanel::exportBtnPressed);
    midiLearnBtn_ = button(1, "LEARN", &PadInOutPanel::midiLearnBtnPressed);
    auto channel = std::make_unique<MidiChannelControl>(type);
    channel->setX(L + 2 * S, T);
    channel->setMidiChannel(midi_->channel());
    channel->setDelegate(this);
    midiChannelControl_ = panel.add(std::move(channel));
    pad_views::addCaption(type, panel, midiChannelControl_->x(), gf_.labelY(),
                          std::trunc(midiChannelControl_->width()), "MIDI CHANNEL");
    tappadsOrSoundbanksBtn_ = button(4, "TPS/SB", &PadInOutPanel::tappadsOrSoundbanksBtnPressed);
    tappadsOrSoundbanksBtn_->setIsPressedDown(!midi_->notesMapToButtons());
    backgroundAudioBtn_ = button(5, "BKGND", &PadInOutPanel::backgroundAudioBtnPressed);
    backgroundAudioBtn_->setIsPressedDown(backgroundAudioEnabled_);

    auto ports = std::make_unique<MidiInOutControl>(type, *midi_);
    ports->setX(gf_.controlsRightX(), gf_.bottomControlY());
    midiInOutControl_ = base.add(std::move(ports));
}

void PadInOutPanel::close() {
    if (!isOpen()) return;
    if (isDown(exportBtn_)) pad_views::press(exportBtn_, false, [this] { exportBtnPressed(); });
    pad_views::press(midiLearnBtn_, false, [this] { midiLearnBtnPressed(); });
    container_->removeFromSuperview();
    container_ = nullptr;
    if (midiInOutControl_) midiInOutControl_->removeFromSuperview();
    midiInOutControl_ = nullptr;
    midiChannelControl_ = nullptr;
    exportBtn_ = midiLearnBtn_ = tappadsOrSoundbanksBtn_ = backgroundAudioBtn_ = nullptr;
}

void PadInOutPanel::detach() {
    if (midiChannelControl_) midiChannelControl_->setDelegate(nullptr);
    // The ports panel leaves the hub while the hub is still there.
    if (midiInOutControl_) midiInOutControl_->removeFromSuperview();
}

void PadInOutPanel::retakeHubRoles() {
    if (midiInOutControl_) midiInOutControl_->takePortsDelegate();
    if (learnRoleGiven_) midi_->setMidiLearnDelegate(&learnObserver_);
}

void PadInOutPanel::exportBtnPressed() {
    const bool down = isDown(exportBtn_);
    defaults_.setBool("ExportMode", down);
    if (!down) {
        host_.showPadsPlaying();
        return;
    }
    pad_views::press(midiLearnBtn_, false, [this] { midiLearnBtnPressed(); });
    host_.showPatternsToExport();
}

void PadInOutPanel::midiLearnBtnPressed() {
    if (!isDown(midiLearnBtn_)) {
        if (midi_->midiLearnDelegate() == &learnObserver_) midi_->setMidiLearnDelegate(nullptr);
        learnRoleGiven_ = false;
        midi_->stopMidiLearning();
        host_.showPadsPlaying();
        return;
    }
    pad_views::press(exportBtn_, false, [this] { exportBtnPressed(); });
    host_.showMidiLearn();
    midi_->setMidiLearnDelegate(&learnObserver_);
    learnRoleGiven_ = true;
}

void PadInOutPanel::midiChannelChanged(int32_t channel) { midi_->setChannel(channel); }

void PadInOutPanel::tappadsOrSoundbanksBtnPressed() { midi_->setNotesMapToButtons(!isDown(tappadsOrSoundbanksBtn_)); }

void PadInOutPanel::backgroundAudioBtnPressed() { backgroundAudioEnabled_ = isDown(backgroundAudioBtn_); }

}  // namespace strombel::ui
