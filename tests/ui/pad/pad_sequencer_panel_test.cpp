// The sequencer panel on its own, on a still sequencer: TAP and the value box set
// the sequencer, and what the pads must show reaches the screen through its host.

#include "ui/pad/pad_sequencer_panel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "still_pad_services.h"
#include "support/still_pad_engine.h"
#include "support/temp_dir.h"
#include "pad_panel_test.h"

namespace strombel::ui {
namespace {

struct CountingSequencer final : StillSequencer {
    bool isRunning() const override { return running; }
    void playWithPreBar(bool preBar) override { starts.push_back(preBar); }
    void changeNumBarsTo(int64_t bars) override { barChanges.push_back(bars); }
    bool running = false;
    std::vector<bool> starts;
    std::vector<int64_t> barChanges;
};

struct HostRecorder final : PadSequencerPanelHost {
    void patternModeChanged(bool on) override { said.push_back(on ? "patterns" : "play"); }
    void patternLightsChanged() override { said.push_back("lights"); }
    void flashPatternPad(uint64_t pattern) override { said.push_back("flash " + std::to_string(pattern)); }
    void playbackStateChanged(bool running) override { said.push_back(running ? "started" : "stopped"); }
    std::vector<std::string> said;
};

class PadSequencerPanelTest : public PadPanelTest {
protected:
    PadSequencerPanelTest() { panel_.open(base_); }

    kit::View base_{QRectF(0, 0, 1024, 768)};
    strombel::testing::TempDir temp_;
    platform::UserDefaults defaults_{temp_ / "defaults.sqlite"};
    strombel::testing::StillPadEngine engine_;
    CountingSequencer sequencer_;
    GuiFactory gf_{GuiType::tablet};
    HostRecorder host_;
    PadSequencerPanel panel_{sequencer_, engine_, defaults_, gf_, host_};
};

TEST_F(PadSequencerPanelTest, TapsSetTheTempoAndTheDelayFollowsIt) {
    ASSERT_TRUE(panel_.isOpen());
    panel_.swingBtnPressed();  // SWING is up: the box edits nothing
    EXPECT_EQ(panel_.rhythmConfigMode(), RhythmNone);
    for (int tap = 0; tap < 3; ++tap) {
        panel_.tapTimerBtnPressed();
        advance(0.5);
    }
    EXPECT_EQ(panel_.rhythmConfigMode(), RhythmTempo);  // TAP brought BPM down
    EXPECT_TRUE(panel_.bpmBtn()->isPressedDown());
    EXPECT_EQ(sequencer_.bpm(), 120);
    EXPECT_EQ(defaults_.integerForKey("BeatsPerMinute"), 120);
    EXPECT_FLOAT_EQ(engine_.setting(PadEngine::Setting::delayTime), 0.25f);  // half a beat
    EXPECT_EQ(panel_.sequencerScreen()->screenLabel().text(), "120 BPM");
    panel_.sequencerControlPlusPressed();
    EXPECT_EQ(sequencer_.bpm(), 121);

    // BARS takes the box over from BPM.
    panel_.barsBtn()->setIsPressedDown(true);
    panel_.barsBtnPressed();
    EXPECT_FALSE(panel_.bpmBtn()->isPressedDown());
    panel_.sequencerControlMinusPressed();
    panel_.sequencerControlPlusPressed();
    EXPECT_EQ(sequencer_.barChanges, (std::vector<int64_t>{0, 2}));
}

TEST_F(PadSequencerPanelTest, WhatThePadsShowIsAskedOfTheHost) {
    panel_.patternBtn()->setIsPressedDown(true);
    panel_.patternBtnPressed();
    EXPECT_TRUE(defaults_.boolForKey("PatternMode"));
    panel_.activePatternChanged();
    panel_.currentBarChanged(1, 1);  // BPM, pressed as the panel opened, keeps the box two seconds
    EXPECT_EQ(panel_.sequencerScreen()->screenLabel().text(), "125 BPM");
    advance(2.1);
    panel_.currentBarChanged(2, 3);
    EXPECT_EQ(panel_.sequencerScreen()->screenLabel().text(), "2.3");

    panel_.sequencerStarted();  // outlived: the sequencer does not run
    sequencer_.running = true;
    panel_.sequencerStarted();
    EXPECT_TRUE(panel_.playBtn()->isPressedDown());
    EXPECT_FALSE(panel_.hasTapTimer());
    panel_.sequencerStopped();  // outlived: the sequencer runs on
    sequencer_.running = false;
    panel_.sequencerStopped();
    EXPECT_FALSE(panel_.playBtn()->isPressedDown());
    EXPECT_TRUE(panel_.hasTapTimer());

    panel_.close();
    EXPECT_FALSE(panel_.isOpen());
    EXPECT_EQ(base_.subviews().size(), 0u);
    EXPECT_EQ(host_.said, (std::vector<std::string>{"patterns", "lights", "flash 0", "flash 0", "started", "stopped", "play"}));
}

}  // namespace
}  // namespace strombel::ui
