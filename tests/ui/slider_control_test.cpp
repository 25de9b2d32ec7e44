#include "ui/slider_control.h"

#include <gtest/gtest.h>

#include <cmath>

#include "ui/image_store.h"
#include "ui/light_view.h"
#include "ui/ui_test_support.h"

namespace strombel::ui {
namespace {

class SliderTest : public testing::UiTest {
  protected:
    template <typename Slider>
    Slider* make(GuiType guiType) {
        Slider* slider = root.add(std::make_unique<Slider>(guiType));
        slider->setX(16, 4);
        slider->addTarget(kit::valueChanged, [this](kit::Control&) { ++events; });
        return slider;
    }
    LightView* lampFor(GuiType guiType) { return root.add(std::make_unique<LightView>(guiType)); }

    kit::View root{QRectF(0, 0, 600, 600)};
    kit::TouchDispatcher touches{&root};
    testing::Finger finger{touches, 1};
    int events = 0;
};

TEST_F(SliderTest, GeometryFromThePictures) {
    auto* slider = make<SliderControl>(GuiType::tablet);
    // 46 x 400 track, 46 x 40 knob: the knob's centre travels from 22 to 419.
    EXPECT_EQ(slider->size(), QSizeF(46, 440));
    EXPECT_FLOAT_EQ(slider->minY(), 22);
    EXPECT_FLOAT_EQ(slider->maxY(), 419);
    EXPECT_EQ(slider->knob().y(), 419 - 20);
    EXPECT_FLOAT_EQ(slider->currentPosition(), 0);
    auto* phone = make<SliderControl>(GuiType::phoneLandscape);
    EXPECT_FLOAT_EQ(phone->minY(), 9 + 1);
    EXPECT_FLOAT_EQ(phone->maxY(), 176 + 9);
    auto* pitch = make<PitchSliderControl>(GuiType::tablet);
    EXPECT_EQ(pitch->knob().y(), static_cast<int>(22 + (419 - 22) / 2.0 - 20));
}

TEST_F(SliderTest, SetCurrentPositionClampsAndAlwaysReports) {
    auto* slider = make<SliderControl>(GuiType::tablet);
    LightView* lamp = lampFor(GuiType::tablet);
    slider->setLightView(lamp);
    slider->setCurrentPosition(1.7f);
    EXPECT_FLOAT_EQ(slider->currentPosition(), 1.0f);
    EXPECT_EQ(slider->knob().y(), 22 - 20);
    EXPECT_TRUE(lamp->isTurnedOn());
    slider->setCurrentPosition(-0.2f);
    EXPECT_FLOAT_EQ(slider->currentPosition(), 0.0f);
    EXPECT_EQ(slider->knob().y(), 419 - 20);
    EXPECT_FALSE(lamp->isTurnedOn());
    slider->setCurrentPosition(NAN);
    EXPECT_FLOAT_EQ(slider->currentPosition(), 0.0f);
    EXPECT_EQ(events, 3);
}

TEST_F(SliderTest, DraggingFollowsTheFingerAndADoubleTapReturnsToZero) {
    auto* slider = make<SliderControl>(GuiType::tablet);
    finger.down(*slider, {23, 419});
    finger.move(*slider, {23, slider->pointOf(0.75f)});
    EXPECT_NEAR(slider->currentPosition(), 0.75, 1e-4);
    finger.move(*slider, {23, -100});  // far above: held at the top
    EXPECT_FLOAT_EQ(slider->currentPosition(), 1.0f);
    finger.up(*slider, {23, -100});
    EXPECT_FLOAT_EQ(slider->currentPosition(), 1.0f);
    finger.tap(*slider, {23, 200});
    advance(0.1);
    finger.tap(*slider, {23, 200});
    EXPECT_FLOAT_EQ(slider->currentPosition(), 0.0f);
}

TEST_F(SliderTest, PitchSnapsToTheMiddleAndSpringsBackWhenLetGo) {
    auto* pitch = make<PitchSliderControl>(GuiType::tablet);
    LightView* lamp = lampFor(GuiType::tablet);
    pitch->setLightView(lamp);
    finger.down(*pitch, {23, pitch->pointOf(0.495f)});
    EXPECT_FLOAT_EQ(pitch->currentPosition(), 0.5f);
    EXPECT_FALSE(lamp->isTurnedOn());
    finger.move(*pitch, {23, pitch->pointOf(0.8f)});
    EXPECT_NEAR(pitch->currentPosition(), 0.8, 1e-4);
    EXPECT_TRUE(lamp->isTurnedOn());
    const int before = events;
    finger.up(*pitch, {23, pitch->pointOf(0.8f)});
    EXPECT_FLOAT_EQ(pitch->currentPosition(), 0.5f);
    EXPECT_FALSE(lamp->isTurnedOn());
    EXPECT_EQ(pitch->knob().y(), static_cast<int>((pitch->minY() + pitch->maxY()) / 2 - 20));
    EXPECT_EQ(events, before + 1);

    // The snap zone is the hundredth on either side of the middle, and no wider.
    const std::pair<float, bool> zone[] = {{0.495f, true},  {0.505f, true},  {0.485f, false},
                                           {0.515f, false}, {0.4825f, false}, {0.5175f, false}};
    for (const auto& [at, snaps] : zone) {
        SCOPED_TRACE(at);
        finger.down(*pitch, {23, pitch->pointOf(at)});
        if (snaps) {
            EXPECT_FLOAT_EQ(pitch->currentPosition(), 0.5f);
        } else {
            EXPECT_NEAR(pitch->currentPosition(), at, 1e-3);
        }
        EXPECT_EQ(lamp->isTurnedOn(), !snaps);
        finger.up(*pitch, {23, pitch->pointOf(at)});
    }
}

TEST_F(SliderTest, ACancelledTouchLeavesEffectAndPadVolumeWhereTheyWereButCentresPitch) {
    auto* slider = make<SliderControl>(GuiType::tablet);
    auto* volume = make<VolumeSliderControl>(GuiType::tablet);
    auto* pitch = make<PitchSliderControl>(GuiType::tablet);
    volume->setX(200, 4);
    pitch->setX(300, 4);
    touches.begin(1, slider->mapToScene(QPointF(23, slider->pointOf(0.3f))));
    touches.begin(2, volume->mapToScene(QPointF(24, volume->pointOf(0.6f))));
    touches.begin(3, pitch->mapToScene(QPointF(23, pitch->pointOf(0.9f))));
    touches.cancelAll();
    EXPECT_NEAR(slider->currentPosition(), 0.3, 1e-4);
    EXPECT_NEAR(volume->currentPosition(), 0.6, 1e-4);
    EXPECT_FLOAT_EQ(pitch->currentPosition(), 0.5f);
}

TEST_F(SliderTest, HorizontalVolumeRunsLeftToRight) {
    auto* volume = make<HorizontalSliderControl>(GuiType::tablet);
    EXPECT_EQ(volume->size(), QSizeF(409 + 40, 50));
    EXPECT_FLOAT_EQ(volume->minX(), 22);
    EXPECT_FLOAT_EQ(volume->maxX(), 409 + 20 - 1);
    volume->setCurrentPosition(0.25f);
    EXPECT_FLOAT_EQ(volume->currentPosition(), 0.25f);
    finger.down(*volume, {volume->width() - 2, 25});
    finger.move(*volume, {1000, 25});  // far to the right: held at the end
    EXPECT_FLOAT_EQ(volume->currentPosition(), 1.0f);
    finger.up(*volume, {volume->pointOf(0.5f), 25});
    EXPECT_FLOAT_EQ(volume->currentPosition(), 0.5f);
    EXPECT_EQ(events, 4);
}

TEST_F(SliderTest, EffectAndMasterFadersTravelTheirPicturesOnEveryGuiType) {
    // The knob's stops inside the track differ by gui type and by fader.
    struct Expected {
        QSizeF size;
        float min, max;
        double knobAtRest, knobAtAThird;  // along the travel
    };
    const Expected vertical[] = {{{46, 440}, 22, 419, 399, 279}, {{20, 194}, 10, 185, 176, 123},
                                 {{36, 288}, 16, 272, 258, 181}};
    const Expected horizontal[] = {{{449, 50}, 22, 428, 408, 123}, {{202, 24}, 10, 193, 184, 55},
                                   {{297, 34}, 14, 283, 270, 81}};
    const GuiType layouts[] = {GuiType::tablet, GuiType::phoneLandscape, GuiType::phonePortrait};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        auto* effect = make<SliderControl>(layouts[i]);
        auto* master = make<HorizontalSliderControl>(layouts[i]);
        const Expected& v = vertical[i];
        const Expected& h = horizontal[i];
        EXPECT_EQ(effect->size(), v.size);
        EXPECT_FLOAT_EQ(effect->minY(), v.min);
        EXPECT_FLOAT_EQ(effect->maxY(), v.max);
        EXPECT_EQ(effect->knob().y(), v.knobAtRest);
        EXPECT_EQ(master->size(), h.size);
        EXPECT_FLOAT_EQ(master->minX(), h.min);
        EXPECT_FLOAT_EQ(master->maxX(), h.max);
        EXPECT_EQ(master->knob().x(), h.knobAtRest);
        effect->setCurrentPosition(0.3f);
        master->setCurrentPosition(0.3f);
        EXPECT_EQ(effect->knob().y(), v.knobAtAThird);
        EXPECT_EQ(master->knob().x(), h.knobAtAThird);
    }
}

TEST_F(SliderTest, PadVolumeIsSilentWhenSetAndReportsEveryTouchStep) {
    auto* volume = make<VolumeSliderControl>(GuiType::tablet);
    EXPECT_EQ(volume->size(), QSizeF(48, 85));  // shorter than the pad it stands on
    EXPECT_FLOAT_EQ(volume->currentPosition(), 1.0f);
    volume->setCurrentPosition(2.0f / 3.0f);
    EXPECT_EQ(events, 0);
    EXPECT_NEAR(volume->fill().height(), 2.0 / 3.0 * 61, 1e-3);
    EXPECT_NEAR(volume->fill().bottomY(), 85 - 12, 1e-3);  // grows up from the margin
    finger.down(*volume, {24, volume->pointOf(0.5f)});
    finger.move(*volume, {24, volume->pointOf(0.4f)});
    finger.up(*volume, {24, volume->pointOf(0.3f)});
    EXPECT_EQ(events, 3);
    EXPECT_NEAR(volume->currentPosition(), 0.3, 1e-4);
    volume->setDefaultPosition(2.0f / 3.0f);
    advance(1.0);
    finger.tap(*volume, {24, 42});
    advance(0.1);
    finger.tap(*volume, {24, 42});
    EXPECT_NEAR(volume->currentPosition(), 2.0 / 3.0, 1e-4);
}

TEST_F(SliderTest, MissingPicturesNeverYieldANaNPosition) {
    // No bundle art and nothing drawn: every slider is built without travel.
    ImageStore::setShared(std::make_unique<ImageStore>(std::filesystem::path(), 2.0, false));
    auto* slider = make<SliderControl>(GuiType::tablet);
    auto* volume = make<VolumeSliderControl>(GuiType::tablet);
    EXPECT_FLOAT_EQ(slider->minY(), slider->maxY());
    slider->setCurrentPosition(0.5f);
    EXPECT_FLOAT_EQ(slider->currentPosition(), 0.5f);
    finger.down(*slider, {0, 0});
    finger.up(*slider, {0, 0});
    EXPECT_FLOAT_EQ(slider->currentPosition(), 0.5f);
    volume->doubleTapOccured();
    EXPECT_TRUE(std::isfinite(volume->currentPosition()));
}

}  // namespace
}  // namespace strombel::ui
