// Renders every control of the pad interface, laid out as the pad screen lays
// them out, for each gui type, to PNG files in the build folder (kept as CI
// artifacts and looked at by people; not compared pixel by pixel).

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <filesystem>
#include <string>

#include "ui/audio_output_meter.h"
#include "ui/gui_factory.h"
#include "ui/kit/image_view.h"
#include "ui/kit/window.h"
#include "ui/light_view.h"
#include "ui/slider_control.h"
#include "ui/small_button_control.h"
#include "ui/sound_bank_control.h"
#include "ui/ui_test_support.h"
#include "ui/util.h"
#include "ui/value_boxes.h"

namespace strombel::ui {
namespace {

using kit::ImageView;
using kit::View;

struct Layout {
    QPointF slider, captionOffset;
    double lampY;
    int lampOffsets[6];
    double padSize;
    QPointF padLabel;
    double padLabelWidth;
    QPointF padLamp;
    QPointF volumeCaption;
    double volumeCaptionWidth;
    QPointF volumeSlider;
    QPointF meterCaption;
    double meterCaptionWidth;
    QPointF meter;
};

const Layout kLayouts[3] = {
    {{16, 4},
     {1, 0},
     -18,
     {0, 0, -3, -4, 0, 0},
     97,
     {7, -20},
     83,
     {-18, -32},
     {192, 0},
     72,
     {4, 16},
     {173, 0},
     108,
     {12, 6}},
    {{7, 2},
     {0, 0},
     -8,
     {0, 0, -1, -2, 0, 0},
     44,
     {4, -9},
     34,
     {-8, -15},
     {85, 0},
     35,
     {2, 7},
     {77, 0},
     50,
     {4, 2}},
    {{7, 2},
     {0, 0},
     -12,
     {0, 0, -2, -3, 0, 0},
     64,
     {5, -12},
     54,
     {-12, -21},
     {127, 0},
     45,
     {2, 10},
     {115, 0},
     69,
     {6, 4}},
};

class GalleryTest : public testing::UiTest {
  protected:
    GalleryTest() : UiTest(kit::Screen::phone()) {}

    ImageView* panelAt(View& base, GuiType g, const char* image, double x, double y, double w,
                       double h) {
        auto panel =
            std::make_unique<ImageView>(QRectF(x, y, w, h), GuiFactory::imageWithName(image, g));
        panel->setUserInteractionEnabled(true);
        return base.add(std::move(panel));
    }

    void caption(View& parent, GuiType g, QPointF at, double width, const QString& text) {
        auto label = GuiFactory::labelForGuiType(g, at, static_cast<int32_t>(width));
        label->setText(text);
        label->setTextColor(GuiFactory::rustyColor());
        parent.add(std::move(label));
    }

    /// The pad screen's surface for gui type `g`, with its controls in some
    /// telling states: pads held and lit, faders set, the meter showing a level.
    std::unique_ptr<View> padScreen(GuiType g) {
        const GuiFactory gf(g);
        const Layout& layout = kLayouts[guiTypeNumber(g)];
        const QImage backgroundImage = GuiFactory::imageWithName("background", g);
        auto root = std::make_unique<View>(QRectF(QPointF(0, 0), kit::pointSize(backgroundImage)));
        root->setBackgroundColor(Qt::black);
        root->add(std::make_unique<ImageView>(backgroundImage));
        const double L = gf.innerControlLeftMargin(), T = gf.innerControlTopMargin(),
                     S = gf.smallBtnXSpace();
        const double P = gf.sliderSpace(), X = gf.tapBtnXSpace(), Y = gf.tapBtnYSpace();
        const double labelY = gf.labelY();

        // Top left: INFO, SHOP, SORT and the bank selector.
        auto* topLeft = panelAt(*root, g, "linesSoundbankControls", gf.controlsLeftX(),
                                gf.topControlsY(), gf.controlsWidth(), gf.controlsHeight());
        SmallButtonControl* info = nullptr;
        gf.createSmallButtonInto(&info, *topLeft, QPointF(L, T), "INFO");
        info->setImage(GuiFactory::imageWithName("infoBtn", g), kit::normal);
        info->setImage(GuiFactory::imageWithName("infoBtn", g), kit::highlighted);
        gf.createSmallButtonInto(nullptr, *topLeft, QPointF(L + S, T), "SHOP");
        SmallButtonControl* sort = nullptr;
        gf.createSmallButtonInto(&sort, *topLeft, QPointF(L + 2 * S, T), "SORT");
        sort->setIsToggle(true);
        sort->setIsPressedDown(true);
        auto selector = std::make_unique<SoundBankControl>(g, banks);
        selector->setX(L + 3 * S, T);
        selector->setCurrentBank(1);
        SoundBankControl* placed = topLeft->add(std::move(selector));
        caption(*topLeft, g, QPointF(placed->x(), labelY), static_cast<int>(placed->width()),
                "SOUND BANKS");

        // Top right: dry/wet and the panel keys.
        auto* topRight = panelAt(*root, g, "linesDryWetControls", gf.controlsRightX(),
                                 gf.topControlsY(), gf.controlsWidth(), gf.controlsHeight());
        auto dryWet = std::make_unique<DryWetEffectsControl>(g);
        dryWet->setX(L, T);
        dryWet->setEffectAmount(0.65f);
        DryWetEffectsControl* box = topRight->add(std::move(dryWet));
        caption(*topRight, g, QPointF(box->x(), labelY), static_cast<int>(box->width()), "DRY/WET");
        const char* keys[] = {"I/O", "SMP", "SEQ", "L/R"};
        for (int i = 0; i < 4; ++i) {
            SmallButtonControl* key = nullptr;
            gf.createSmallButtonInto(&key, *topRight, QPointF(L + (2 + i) * S, T), keys[i]);
            key->setIsToggle(true);
            if (i == 2) key->setIsPressedDown(true);
        }

        // Effect faders.
        auto* sliders = panelAt(*root, g, "linesSliderControls", gf.controlsRightX(),
                                gf.bottomControlY(), gf.controlsWidth(), gf.controlsSquareHeight());
        const char* names[] = {"PITCH", "DELAY", "REVERB", "CUT-OFF", "PHASE", "CRUSH"};
        const float positions[] = {0.72f, 0.4f, 0.0f, 0.85f, 0.25f, 0.55f};
        for (int i = 0; i < 6; ++i) {
            std::unique_ptr<SliderControl> fader;
            if (i == 0) {
                fader = std::make_unique<PitchSliderControl>(g);
            } else {
                fader = std::make_unique<SliderControl>(g);
            }
            fader->setX(P * i + layout.slider.x(), layout.slider.y());
            SliderControl* made = sliders->add(std::move(fader));
            caption(*sliders, g,
                    QPointF(P * i + layout.captionOffset.x(),
                            g == GuiType::phoneLandscape ? -2 : labelY),
                    P, names[i]);
            auto lamp = std::make_unique<LightView>(g);
            lamp->setX(P * i + layout.lampOffsets[i] + (g == GuiType::tablet ? -5 : -3),
                       layout.lampY);
            made->setLightView(sliders->add(std::move(lamp)));
            made->setCurrentPosition(positions[i]);
        }

        // Pads: two held down and lit.
        auto* pads = panelAt(*root, g, "linesTapButtons", gf.controlsLeftX(), gf.bottomControlY(),
                             gf.controlsWidth(), gf.controlsSquareHeight());
        for (int i = 0; i < 12; ++i) {
            const double x = L + X * (i % 4);
            const double y = T + Y * (i / 4);
            auto pad = std::make_unique<kit::Button>(QRectF(x, y, layout.padSize, layout.padSize));
            pad->setImage(GuiFactory::imageWithName("tapButton", g), kit::normal);
            pad->setImage(GuiFactory::imageWithName("tapButtonDown", g), kit::highlighted);
            pad->setTag(i);
            const int dx = static_cast<int>(X - pad->width());
            const int dy = static_cast<int>(Y - pad->height());
            pad->setFrame(QRectF(x - dx / 2, y - dy / 2, X, Y));
            if (i == 5 || i == 10) pad->setHighlighted(true);
            pads->add(std::move(pad));
            caption(*pads, g, QPointF(x + layout.padLabel.x(), y + layout.padLabel.y()),
                    layout.padLabelWidth, QString("[%1]").arg(i + 1));
            auto lamp = std::make_unique<LightView>(g);
            lamp->setX(x + layout.padLamp.x(), y + layout.padLamp.y());
            LightView* madeLamp = pads->add(std::move(lamp));
            if (i == 5 || i == 10 || i == 0) madeLamp->turnOn();
        }

        // Volume and output.
        auto* volume = panelAt(*root, g, "linesVolumeControl", gf.controlsLeftX(),
                               gf.middleControlsY(), gf.controlsWidth(), gf.controlsHeight());
        caption(*volume, g, QPointF(layout.volumeCaption.x(), labelY), layout.volumeCaptionWidth,
                "VOLUME");
        auto master = std::make_unique<HorizontalSliderControl>(g);
        master->setX(layout.volumeSlider.x(), layout.volumeSlider.y());
        volume->add(std::move(master))->setCurrentPosition(0.8f);
        auto* output = panelAt(*root, g, "linesAudioControl", gf.controlsRightX(),
                               gf.middleControlsY(), gf.controlsWidth(), gf.controlsHeight());
        caption(*output, g, QPointF(layout.meterCaption.x(), labelY), layout.meterCaptionWidth,
                "AUDIO OUTPUT");
        auto meter = std::make_unique<AudioOutputMeter>(g);
        meter->setX(layout.meter.x(), layout.meter.y());
        output->add(std::move(meter))->setAudioOuputLeft(0.74f, 0.58f);

        auto shade = std::make_unique<ImageView>(GuiFactory::imageWithName("fullscreenShade", g));
        shade->setAlpha(0.375);
        root->add(std::move(shade));
        pump();  // let the lamps' fades settle
        return root;
    }

    /// The other controls of the kit on one sheet: sequencer and MIDI boxes, pad
    /// volumes, icon buttons, the text field, lamps in both states.
    std::unique_ptr<View> sheet(GuiType g) {
        const double u = g == GuiType::tablet ? 1.0 : g == GuiType::phoneLandscape ? 0.45 : 0.66;
        auto root = std::make_unique<View>(QRectF(0, 0, 780 * u, 370 * u));
        root->setBackgroundColor(QColor(14, 14, 13));
        const double row = 79 * u;
        auto* panel = panelAt(*root, g, "linesSequencerControls", 20 * u, 30 * u, 457 * u, row);
        auto tempo = std::make_unique<SequencerScreenControl>(g);
        tempo->setX(14 * u, 14 * u);
        tempo->setAmount(120, "bpm");
        panel->add(std::move(tempo));
        auto bars = std::make_unique<SequencerScreenControl>(g);
        bars->setX(14 * u + 160 * u, 14 * u);
        bars->setAmount(4, "bars");
        panel->add(std::move(bars));
        auto midi = std::make_unique<MidiChannelControl>(g);
        midi->setX(14 * u + 310 * u, 14 * u);
        midi->setMidiChannel(-1);
        panel->add(std::move(midi));

        auto plate2 = std::make_unique<View>(QRectF(20 * u, 140 * u, 457 * u, 200 * u));
        plate2->setBackgroundColor(QColor(26, 25, 23));
        View* volumes = root->add(std::move(plate2));
        const float levels[] = {1.0f, 0.66f, 0.3f, 0.0f};
        for (int i = 0; i < 4; ++i) {
            auto slider = std::make_unique<VolumeSliderControl>(g);
            slider->setX((40 + 111 * i) * u, 30 * u);
            volumes->add(std::move(slider))->setCurrentPosition(levels[i]);
        }

        auto plate = std::make_unique<View>(QRectF(500 * u, 30 * u, 260 * u, 310 * u));
        plate->setBackgroundColor(QColor(26, 25, 23));
        View* side = root->add(std::move(plate));
        const char* icons[] = {"addIcon",   "renameIcon", "deleteIcon",
                               "pasteIcon", "recordIcon", "removeIcon"};
        const char* titles[] = {"NEW BANK", "RENAME", "DELETE", "PASTE", "RECORD", "REMOVE"};
        for (int i = 0; i < 6; ++i) {
            auto button = std::make_unique<QVButtonWithIcon>(
                QRectF(14 * u, (16 + 30 * i) * u, 150 * u, 24 * u), titles[i],
                GuiFactory::imageWithName(icons[i], g), g);
            button->setFontSize(std::max(6.0, 12 * u));
            side->add(std::move(button));
        }
        for (int i = 0; i < 4; ++i) {
            auto lamp = std::make_unique<LightView>(g);
            lamp->setX((20 + 28 * i) * u, 220 * u);
            LightView* made = side->add(std::move(lamp));
            if (i % 2 == 0) made->turnOn();
        }
        auto field = GuiFactory::textfieldWithValue("my kit", "bank name", g);
        field->setX(14 * u, 260 * u);
        side->add(std::move(field));
        pump();
        return root;
    }

    void save(kit::Window& window, const std::string& name) {
        const std::filesystem::path folder = STROMBEL_GALLERY_DIR;
        std::filesystem::create_directories(folder);
        const QImage picture = window.render(2.0);
        ASSERT_FALSE(picture.isNull());
        const auto path = folder / name;
        ASSERT_TRUE(picture.save(QString::fromStdString(path.string()))) << path;
        // Something was drawn: the picture is not one flat colour.
        const QRgb first = picture.pixel(0, 0);
        bool varied = false;
        for (int y = 0; y < picture.height() && !varied; y += 7) {
            for (int x = 0; x < picture.width() && !varied; x += 7)
                varied = picture.pixel(x, y) != first;
        }
        EXPECT_TRUE(varied) << name;
    }

    void render(GuiType g) {
        kit::Window window;
        window.setRootView(padScreen(g));
        save(window, "pad-screen-guitype" + std::to_string(guiTypeNumber(g)) + ".png");
        window.setRootView(sheet(g));
        save(window, "controls-guitype" + std::to_string(guiTypeNumber(g)) + ".png");
    }

    InMemorySoundBankList banks{{"Acoustic Kit", "Electro Kit", "Hip Hop Kit"}};
};

TEST_F(GalleryTest, TabletPadScreen) {
    render(GuiType::tablet);
}
TEST_F(GalleryTest, PhoneLandscapePadScreen) {
    render(GuiType::phoneLandscape);
}
TEST_F(GalleryTest, PhonePortraitPadScreen) {
    render(GuiType::phonePortrait);
}

TEST_F(GalleryTest, TallPhoneLandscapePadScreen) {
    context.setScreen(kit::Screen::tallPhone());
    kit::Window window;
    window.setRootView(padScreen(GuiType::phoneLandscape));
    EXPECT_EQ(window.rootView()->width(), 568);
    save(window, "pad-screen-guitype1-568h.png");
}

}  // namespace
}  // namespace strombel::ui
