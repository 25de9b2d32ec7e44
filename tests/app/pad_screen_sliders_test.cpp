// The pad screen's faders as a finger moves them on the whole program: the pitch
// fader held away from its middle, and the per-pad volume faders that VOL. lays
// over the pads.

#include <algorithm>
#include <cmath>

#include "program_test_support.h"

namespace strombel::app::scenario {
namespace {

class PadSlidersTest : public ProgramTest {
protected:
    float engineSetting(ProgramRun& run, ui::PadEngine::Setting setting) {
        return run.program().padScreenServices().engine->setting(setting);
    }
    static ui::PitchSliderControl* pitchFader(ui::StrombelViewController& screen) {
        for (ui::kit::View* view : screen.slidersContainer()->subviews())
            if (auto* pitch = dynamic_cast<ui::PitchSliderControl*>(view)) return pitch;
        return nullptr;
    }
    /// Where a finger puts a vertical fader of the screen at `position` (0 bottom, 1 top).
    template <typename Fader>
    static QPointF pointFor(Fader& fader, float position) {
        return fader.mapToScene(QPointF(fader.width() / 2, fader.pointOf(position)));
    }
    /// The loudest left sample of the first buffers of pad `pad`'s sample.
    int64_t loudnessOfPad(ProgramRun& run, int pad) {
        run.program().engine()->stopAllTracksIncludeTapPadTriggered(true);
        runFor(run, 0.05);
        touchDown(run, run.screen().tapButton(pad));
        int64_t loudest = runFor(run, 0.1);
        touchUp(run, run.screen().tapButton(pad));
        run.program().engine()->stopAllTracksIncludeTapPadTriggered(true);
        runFor(run, 0.05);
        return loudest;
    }
};

TEST_F(PadSlidersTest, PitchHeldAtAQuarterReachesTheEngineAndTheSettingThenSpringsBack) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    ui::PitchSliderControl* pitch = pitchFader(screen);
    ASSERT_NE(pitch, nullptr);
    ASSERT_FLOAT_EQ(pitch->currentPosition(), 0.5f);
    ui::kit::TouchDispatcher& touches = run->program().window().touches();

    touches.begin(1, pointFor(*pitch, 0.5f));
    touches.move(1, pointFor(*pitch, 0.25f));
    loop_.runPending();
    EXPECT_NEAR(pitch->currentPosition(), 0.25f, 0.01f);
    EXPECT_NEAR(engineSetting(*run, ui::PadEngine::Setting::pitchAmount), 0.25f, 0.01f);
    EXPECT_NEAR(run->defaults().doubleForKey("PitchAmount"), 0.25, 0.01);

    touches.end(1, pointFor(*pitch, 0.25f));
    loop_.runPending();
    EXPECT_FLOAT_EQ(pitch->currentPosition(), 0.5f) << "the pitch fader springs back when let go";
    EXPECT_FLOAT_EQ(engineSetting(*run, ui::PadEngine::Setting::pitchAmount), 0.5f);
    EXPECT_DOUBLE_EQ(run->defaults().doubleForKey("PitchAmount"), 0.5);
}

TEST_F(PadSlidersTest, VolFadersSitOnThePadsAtTheirVolumesAndThreeHalvesIsTheTop) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    engine::SoundBox& engine = *run->program().engine();
    const auto paths = engine.currentSoundbankFilePathsByIdx();
    ASSERT_TRUE(paths.count(2) && paths.count(5));
    engine.setVolume(0.9f, paths.at(5));
    const int64_t atUnity = loudnessOfPad(*run, 2);
    ASSERT_GT(atUnity, 0);

    tap(*run, screen.sampleOptionsBtn());
    tap(*run, screen.sampleVolumeBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsSampleVolume);
    for (int pad = 0; pad < 12; ++pad) {
        SCOPED_TRACE(pad);
        ui::VolumeSliderControl* fader = screen.trackVolumeSlider(pad);
        ASSERT_NE(fader, nullptr);
        ui::kit::Button* button = screen.tapButton(pad);
        EXPECT_EQ(fader->superview(), button->superview());
        const QPointF off = fader->frame().center() - button->frame().center();
        EXPECT_LE(std::abs(off.x()), 1.0) << "centred on its pad";
        EXPECT_LE(std::abs(off.y()), 1.0);
        const float volume = paths.count(pad) ? engine.volumeForTrack(paths.at(pad)) : 1.0f;
        EXPECT_NEAR(fader->currentPosition(), volume / 1.5f, 1e-3) << "at the pad's volume over 1.5";
    }
    EXPECT_NEAR(screen.trackVolumeSlider(5)->currentPosition(), 0.6f, 1e-3);

    // Pad 3's fader pushed to the top: 1.5 in the engine, heard louder.
    ui::VolumeSliderControl& third = *screen.trackVolumeSlider(2);
    ui::kit::TouchDispatcher& touches = run->program().window().touches();
    touches.begin(1, pointFor(third, third.currentPosition()));
    touches.move(1, pointFor(third, 1.0f) - QPointF(0, 20));
    touches.end(1, pointFor(third, 1.0f) - QPointF(0, 20));
    loop_.runPending();
    EXPECT_FLOAT_EQ(third.currentPosition(), 1.0f);
    EXPECT_FLOAT_EQ(engine.volumeForTrack(paths.at(2)), 1.5f);
    tap(*run, screen.sampleVolumeBtn());
    EXPECT_EQ(screen.trackVolumeSlider(2), nullptr) << "the faders go with VOL.";
    EXPECT_FLOAT_EQ(run->program().library()->sampleWithFilepath(paths.at(2))->volume(), 1.5f);
    const int64_t atTop = loudnessOfPad(*run, 2);
    EXPECT_GT(double(atTop), 1.3 * double(atUnity)) << "1.5 times as loud (" << atUnity << " then " << atTop << ")";
}

}  // namespace
}  // namespace strombel::app::scenario
