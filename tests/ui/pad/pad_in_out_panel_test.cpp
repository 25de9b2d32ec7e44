// The input/output panel on its own, on a MIDI hub that remembers what it is
// told: LEARN and EXPRT exclude each other, the learn role follows LEARN, and the
// channel and note mapping reach the hub.

#include "ui/pad/pad_in_out_panel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "still_pad_services.h"
#include "support/temp_dir.h"
#include "pad_panel_test.h"

namespace strombel::ui {
namespace {

struct RememberingMidi final : StillMidi {
    void setMidiLearnDelegate(PadMidiLearnObserver* observer) override { learner = observer; }
    PadMidiLearnObserver* midiLearnDelegate() const override { return learner; }
    void stopMidiLearning() override { ++stops; }
    int32_t channel() const override { return channel_; }
    void setChannel(int32_t channel) override { channel_ = channel; }
    bool notesMapToButtons() const override { return notesPlayPads; }
    void setNotesMapToButtons(bool map) override { notesPlayPads = map; }
    PadMidiLearnObserver* learner = nullptr;
    int stops = 0;
    int32_t channel_ = 3;
    bool notesPlayPads = true;
};

struct Learner final : PadMidiLearnObserver {
    void midiLearnBtnChangedToNote(int32_t, int32_t) override {}
};

struct InOutHostRecorder final : PadInOutPanelHost {
    void showPadsPlaying() override { said.push_back("play"); }
    void showPatternsToExport() override { said.push_back("export"); }
    void showMidiLearn() override { said.push_back("learn"); }
    std::vector<std::string> said;
};

class PadInOutPanelTest : public PadPanelTest {
protected:
    PadInOutPanelTest() { panel_.open(base_); }
    // The ports panel leaves the hub while the hub is there, as on the screen.
    ~PadInOutPanelTest() override { panel_.detach(); }
    static void toggle(SmallButtonControl* button, bool down, void (PadInOutPanel::*action)(), PadInOutPanel& panel) {
        button->setIsPressedDown(down);
        (panel.*action)();
    }

    kit::View base_{QRectF(0, 0, 1024, 768)};
    strombel::testing::TempDir temp_;
    platform::UserDefaults defaults_{temp_ / "defaults.sqlite"};
    RememberingMidi midi_;
    GuiFactory gf_{GuiType::tablet};
    InOutHostRecorder host_;
    Learner learner_, other_;
    PadInOutPanel panel_{&midi_, defaults_, gf_, host_, learner_};
};

TEST_F(PadInOutPanelTest, LearnAndExportExcludeEachOtherAndTheLearnRoleFollowsLearn) {
    toggle(panel_.midiLearnBtn(), true, &PadInOutPanel::midiLearnBtnPressed, panel_);
    EXPECT_EQ(midi_.learner, &learner_);
    // Another screen takes the role meanwhile; coming back takes it again.
    midi_.learner = &other_;
    panel_.retakeHubRoles();
    EXPECT_EQ(midi_.learner, &learner_);

    toggle(panel_.exportBtn(), true, &PadInOutPanel::exportBtnPressed, panel_);
    EXPECT_FALSE(panel_.midiLearnBtn()->isPressedDown());
    EXPECT_EQ(midi_.learner, nullptr);
    EXPECT_EQ(midi_.stops, 1);
    EXPECT_TRUE(defaults_.boolForKey("ExportMode"));
    panel_.retakeHubRoles();  // LEARN is up: the role stays given up
    EXPECT_EQ(midi_.learner, nullptr);

    panel_.close();
    EXPECT_FALSE(panel_.isOpen());
    EXPECT_TRUE(base_.subviews().empty());  // the ports panel went too
    EXPECT_FALSE(defaults_.boolForKey("ExportMode"));
    // Each of LEARN and EXPRT first lets the other go up, which lets the pads play.
    EXPECT_EQ(host_.said, (std::vector<std::string>{"play", "learn", "play", "export", "play", "play"}));
}

TEST_F(PadInOutPanelTest, ChannelNoteMappingAndBackgroundAudio) {
    ASSERT_NE(panel_.midiInOutControl(), nullptr);
    EXPECT_EQ(panel_.midiChannelControl()->currentMidiChannel(), 3);
    panel_.midiChannelControl()->plusPressed();  // the box tells the panel, which tells the hub
    panel_.midiChannelControl()->btnReleased();
    EXPECT_EQ(midi_.channel_, 4);

    toggle(panel_.tappadsOrSoundbanksBtn(), true, &PadInOutPanel::tappadsOrSoundbanksBtnPressed, panel_);
    EXPECT_FALSE(midi_.notesPlayPads);
    toggle(panel_.backgroundAudioBtn(), true, &PadInOutPanel::backgroundAudioBtnPressed, panel_);
    EXPECT_TRUE(panel_.backgroundAudioEnabled());

    // Opened again, the buttons show what the hub and the panel hold.
    panel_.close();
    panel_.open(base_);
    EXPECT_TRUE(panel_.tappadsOrSoundbanksBtn()->isPressedDown());
    EXPECT_TRUE(panel_.backgroundAudioBtn()->isPressedDown());
    EXPECT_EQ(panel_.midiChannelControl()->currentMidiChannel(), 4);
}

}  // namespace
}  // namespace strombel::ui
