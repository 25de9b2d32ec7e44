// Renders every control of the pad interface, laid out as the pad screen lays
// them out, for each gui type, to PNG files in the build folder (kept as CI
// artifacts and looked at by people), and checks in the rendered pixels what a
// user would see: lit lamps glow and unlit ones do not, each pad's caption is
// drawn inside its pad, and nothing is drawn outside the window.

#include <gtest/gtest.h>

#include <QDir>
#include <QGraphicsScene>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

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

    kit::Label* caption(View& parent, GuiType g, QPointF at, double width, const QString& text) {
        auto label = GuiFactory::labelForGuiType(g, at, static_cast<int32_t>(width));
        label->setText(text);
        label->setTextColor(GuiFactory::rustyColor());
        return parent.add(std::move(label));
    }

    /// The pad screen's surface for gui type `g`, with its controls in some
    /// telling states: pads held and lit, faders set, the meter showing a level.
    std::unique_ptr<View> padScreen(GuiType g) {
        const GuiFactory gf(g);
        const Layout& layout = kLayouts[guiTypeNumber(g)];
        pads_.clear();
        lamps_.clear();
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
            const View* madePad = pads->add(std::move(pad));
            kit::Label* label = caption(*pads, g, QPointF(x + layout.padLabel.x(), y + layout.padLabel.y()),
                                        layout.padLabelWidth, QString("[%1]").arg(i + 1));
            pads_.push_back({madePad, label});
            auto lamp = std::make_unique<LightView>(g);
            lamp->setX(x + layout.padLamp.x(), y + layout.padLamp.y());
            LightView* madeLamp = pads->add(std::move(lamp));
            if (i == 5 || i == 10 || i == 0) madeLamp->turnOn();
            lamps_.push_back({madeLamp, i == 5 || i == 10 || i == 0});
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
        pads_.clear();
        lamps_.clear();
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
            lamps_.push_back({made, i % 2 == 0});
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
        expectWhatTheUserSees(window);
        window.setRootView(sheet(g));
        save(window, "controls-guitype" + std::to_string(guiTypeNumber(g)) + ".png");
        expectWhatTheUserSees(window);
    }

    // --- What the user sees, read from the pixels -----------------------------------

    static constexpr double kScale = 2.0;  // pixels per point in every picture below

    /// Draws the scene's `area` (in the root's points, which are the scene's), on
    /// transparency, as the window draws it.
    static QImage draw(const View& root, const QRectF& area) {
        QImage image((area.size() * kScale).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform |
                               QPainter::TextAntialiasing);
        root.scene()->render(&painter, QRectF(QPointF(0, 0), area.size() * kScale), area);
        return image;
    }

    static QRectF inRoot(const View& view, const View& root) {
        return view.mapRectToItem(&root, view.bounds());
    }

    /// The mean colour of the pixels of `picture` (drawn from `area`) within
    /// `radius` points of `centre`.
    static QColor meanColour(const QImage& picture, const QRectF& area, QPointF centre, double radius) {
        centre = (centre - area.topLeft()) * kScale;
        radius *= kScale;
        double red = 0, green = 0, blue = 0;
        int count = 0;
        for (int y = static_cast<int>(centre.y() - radius); y <= static_cast<int>(centre.y() + radius); ++y) {
            for (int x = static_cast<int>(centre.x() - radius); x <= static_cast<int>(centre.x() + radius); ++x) {
                if (std::hypot(x + 0.5 - centre.x(), y + 0.5 - centre.y()) > radius || !picture.valid(x, y)) continue;
                const QColor pixel = picture.pixelColor(x, y);
                red += pixel.red();
                green += pixel.green();
                blue += pixel.blue();
                ++count;
            }
        }
        if (count == 0) return {};
        return QColor(static_cast<int>(red / count), static_cast<int>(green / count), static_cast<int>(blue / count));
    }

    /// Where two pictures of the same area differ, in points of that area
    /// (empty when they do not).
    static QRectF changed(const QImage& before, const QImage& after) {
        QRect pixels;
        for (int y = 0; y < before.height(); ++y) {
            for (int x = 0; x < before.width(); ++x) {
                if (before.pixel(x, y) != after.pixel(x, y)) pixels |= QRect(x, y, 1, 1);
            }
        }
        if (pixels.isNull()) return {};
        return QRectF(QPointF(pixels.topLeft()) / kScale, QSizeF(pixels.size()) / kScale);
    }

    void expectWhatTheUserSees(kit::Window& window) {
        const View& root = *window.rootView();
        const QRectF screen = root.bounds();
        const QImage picture = draw(root, screen);

        // A lit lamp glows amber at its centre; an unlit one shows its dark glass.
        for (size_t i = 0; i < lamps_.size(); ++i) {
            const QRectF lamp = inRoot(*lamps_[i].view, root);
            const QColor seen = meanColour(picture, screen, lamp.center(), lamp.width() * 0.12);
            SCOPED_TRACE(::testing::Message() << "lamp " << i << " at " << lamp.x() << "," << lamp.y() << ": rgb "
                                              << seen.red() << " " << seen.green() << " " << seen.blue());
            if (lamps_[i].lit) {
                EXPECT_GT(seen.red(), 150);
                EXPECT_GT(seen.red(), seen.blue() + 50);
            } else {
                EXPECT_LT(seen.red(), 100);
            }
        }

        // Each pad's caption is drawn, and drawn inside its pad: hiding it changes
        // pixels only there (looked at over the pad and a pad's width around it).
        for (size_t i = 0; i < pads_.size(); ++i) {
            const QRectF pad = inRoot(*pads_[i].pad, root);
            const QRectF around = pad.adjusted(-pad.width(), -pad.height(), pad.width(), pad.height());
            const QImage shown = draw(root, around);
            pads_[i].label->setHidden(true);
            const QImage hidden = draw(root, around);
            pads_[i].label->setHidden(false);
            const QRectF text = changed(shown, hidden).translated(around.topLeft());
            SCOPED_TRACE(::testing::Message() << "pad " << i + 1);
            ASSERT_FALSE(text.isEmpty()) << "the caption shows";
            EXPECT_TRUE(pad.contains(text)) << "caption drawn over " << text.x() << "," << text.y() << " "
                                            << text.width() << "x" << text.height() << ", pad " << pad.x() << ","
                                            << pad.y() << " " << pad.width() << "x" << pad.height();
        }

        // Nothing lies outside the window: around it the scene is as it is without
        // the screen (but for the pixels its edge runs through).
        const double margin = std::ceil(screen.width() / 4);
        const QRectF beyond = screen.adjusted(-margin, -margin, margin, margin);
        const double pixel = 1 / kScale;
        const QImage withScreen = draw(root, beyond);
        window.rootView()->setHidden(true);
        const QImage withoutScreen = draw(root, beyond);
        window.rootView()->setHidden(false);
        const QRectF drawn = changed(withScreen, withoutScreen).translated(beyond.topLeft());
        EXPECT_TRUE(screen.adjusted(-pixel, -pixel, pixel, pixel).contains(drawn)) << "drawn over " << drawn.x() << "," << drawn.y() << " " << drawn.width()
                                            << "x" << drawn.height() << " of a window of " << screen.width() << "x"
                                            << screen.height();
    }

    struct PadOnScreen {
        const View* pad;
        kit::Label* label;
    };
    struct LampOnScreen {
        const LightView* view;
        bool lit;
    };
    std::vector<PadOnScreen> pads_;    // the pad screen's pads, with their captions
    std::vector<LampOnScreen> lamps_;  // lamps whose state the picture must show

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
    expectWhatTheUserSees(window);
}

}  // namespace
}  // namespace strombel::ui
