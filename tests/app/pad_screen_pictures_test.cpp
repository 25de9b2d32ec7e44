// Pictures of the pad screen's panels on the whole program, written to the build
// folder for people to look at, and checked in their pixels for what a user
// sees: the ports panel with lit and unlit switch keys, the VOL. faders over the
// pads, the name field over the shaded screen.

#include <QImage>

#include <filesystem>

#include "program_test_support.h"
#include "ui/gui_factory.h"
#include "ui/midi_in_out_control.h"

namespace strombel::app::scenario {
namespace {

class PanelPicturesTest : public ProgramTest {
protected:
    static constexpr double kScale = 2.0;  // pixels per point

    QImage picture(ProgramRun& run, const char* name) {
        QImage image = run.program().window().render(kScale).convertToFormat(QImage::Format_RGB32);
        EXPECT_FALSE(image.isNull());
        const auto path = std::filesystem::path(STROMBEL_TEST_OUTPUT_DIR) / name;
        EXPECT_TRUE(image.save(QString::fromStdString(path.string())));
        return image;
    }
    /// The pixels `view` covers in a picture of its window.
    static QRect pixelsOf(const ui::kit::View* view) {
        const QPointF topLeft = view->mapToScene(QPointF(0, 0));
        const QPointF bottomRight = view->mapToScene(QPointF(view->width(), view->height()));
        return QRectF(topLeft * kScale, bottomRight * kScale).toAlignedRect();
    }
    /// How many pixels of `area` pass `test`.
    template <typename Test>
    static int count(const QImage& image, const QRect& area, Test test) {
        int found = 0;
        const QRect inside = area.intersected(image.rect());
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            for (int x = inside.left(); x <= inside.right(); ++x) found += test(image.pixelColor(x, y)) ? 1 : 0;
        return found;
    }
    static bool whiteish(const QColor& c) { return c.red() > 215 && c.green() > 215 && c.blue() > 215; }
    static bool rusty(const QColor& c) { return c.red() > 120 && c.red() - c.blue() > 35; }
    static bool amber(const QColor& c) { return c.red() > 190 && c.green() > 130 && c.green() < 200 && c.blue() < 110; }
    static double brightness(const QImage& image, const QRect& area) {
        double sum = 0;
        int n = 0;
        const QRect inside = area.intersected(image.rect());
        for (int y = inside.top(); y <= inside.bottom(); y += 2)
            for (int x = inside.left(); x <= inside.right(); x += 2, ++n) sum += qGray(image.pixel(x, y));
        return n ? sum / n : 0;
    }
    static int changedPixels(const QImage& before, const QImage& after, const QRect& area) {
        int changed = 0;
        const QRect inside = area.intersected(before.rect());
        for (int y = inside.top(); y <= inside.bottom(); ++y)
            for (int x = inside.left(); x <= inside.right(); ++x) changed += before.pixel(x, y) != after.pixel(x, y);
        return changed;
    }
    static ui::kit::Label* nameLabel(ui::kit::TableView* table, int row) {
        return static_cast<ui::kit::Label*>(table->cellForRow({0, row})->viewWithTag(ui::MidiInOutControl::kNameTag));
    }
    static ui::kit::Button* switchOf(ui::kit::TableView* table, int row, int tag) {
        return static_cast<ui::kit::Button*>(table->cellForRow({0, row})->viewWithTag(tag));
    }
};

TEST_F(PanelPicturesTest, TheIOPanelWithItsPorts) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    run->midi().addSource("Keys");
    run->midi().addSource("Drum Machine with a very long port name indeed");
    run->midi().addDestination("Synth A");
    loop_.runPending();
    tap(*run, screen.inOutBtn());
    ui::MidiInOutControl* ports = screen.midiInOutControl();
    ASSERT_NE(ports, nullptr);
    ui::kit::TableView* receive = ports->sourcesTableView();
    ui::kit::TableView* send = ports->destinationsTableView();
    int keys = -1, drums = -1;
    for (int row = 0; row < receive->numberOfRows(0); ++row) {
        if (nameLabel(receive, row)->text() == "KEYS") keys = row;
        if (nameLabel(receive, row)->text().startsWith("DRUM")) drums = row;
    }
    ASSERT_GE(keys, 0);
    ASSERT_GE(drums, 0);
    tap(*run, switchOf(receive, keys, ui::MidiInOutControl::kNotesTag));
    tap(*run, switchOf(send, 0, ui::MidiInOutControl::kTempoTag));
    loop_.advance(500 * platform::kNanosPerMillisecond);
    const QImage image = picture(*run, "strombel_tablet_io_ports.png");

    // Switches are keys: a lit one is amber all over, an unlit one dark inside its rim.
    auto litIn = [&](ui::kit::TableView* table, int row, int tag) {
        return count(image, pixelsOf(switchOf(table, row, tag)), amber);
    };
    EXPECT_GT(litIn(receive, keys, ui::MidiInOutControl::kNotesTag), 200) << "NOTES of KEYS is lit";
    EXPECT_EQ(litIn(receive, keys, ui::MidiInOutControl::kTempoTag), 0) << "TEMPO of KEYS is not";
    EXPECT_EQ(litIn(receive, drums, ui::MidiInOutControl::kNotesTag), 0);
    EXPECT_GT(litIn(send, 0, ui::MidiInOutControl::kTempoTag), 200) << "TEMPO of SYNTH A is lit";
    EXPECT_EQ(litIn(send, 0, ui::MidiInOutControl::kNotesTag), 0);
    EXPECT_GT(count(image, pixelsOf(switchOf(receive, keys, ui::MidiInOutControl::kTempoTag)), rusty), 20)
        << "an unlit switch shows its rim";

    for (ui::kit::TableView* table : {receive, send}) {
        ui::kit::View* tempo = switchOf(table, 0, ui::MidiInOutControl::kTempoTag);
        // (Above the row's line, which runs to the edge.)
        const QRect area = pixelsOf(tempo).intersected(pixelsOf(table)).adjusted(0, 0, 0, -int(2 * kScale));
        // TEMPO keeps clear of the list's edge and the divider beyond it.
        int inkRight = -1;
        for (int x = area.left(); x <= area.right(); ++x)
            if (count(image, QRect(x, area.top(), 1, area.height()), [](const QColor& c) { return qGray(c.rgb()) > 60; }))
                inkRight = x;
        EXPECT_LE(inkRight, pixelsOf(table).right() - int(2 * kScale)) << "TEMPO touches the edge";
        // The row's line runs on under the switches.
        const QRect foot(pixelsOf(tempo->superview()).left(), pixelsOf(tempo->superview()).bottom() - 1,
                         pixelsOf(tempo->superview()).width(), 1);
        EXPECT_GT(count(image, foot, rusty), foot.width() * 9 / 10) << "the row's line stops short";
    }

    // Port names in the rusty colour; the long one stops before its switches.
    EXPECT_GT(count(image, pixelsOf(nameLabel(receive, keys)), rusty), 10);
    EXPECT_GT(count(image, pixelsOf(nameLabel(send, 0)), rusty), 10);
    ui::kit::Label* longName = nameLabel(receive, drums);
    EXPECT_GT(count(image, pixelsOf(longName), rusty), 10);
    for (int tag : {ui::MidiInOutControl::kNotesTag, ui::MidiInOutControl::kTempoTag})
        switchOf(receive, drums, tag)->setHidden(true);
    const QImage withoutSwitches = run->program().window().render(kScale).convertToFormat(QImage::Format_RGB32);
    QRect switches = pixelsOf(switchOf(receive, drums, ui::MidiInOutControl::kNotesTag));
    switches.setBottom(switches.bottom() - 2);  // above the row's line
    EXPECT_EQ(count(withoutSwitches, switches, rusty), 0) << "the long name is clipped";
    // Both captions are drawn on the panel.
    EXPECT_GT(count(image, pixelsOf(ports).adjusted(0, 0, 0, -pixelsOf(ports).height() + 20), rusty), 10);
}

TEST_F(PanelPicturesTest, TheSamplePanelWithVolumeFadersOverThePads) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    tap(*run, screen.sampleOptionsBtn());
    loop_.advance(500 * platform::kNanosPerMillisecond);
    const QImage before = picture(*run, "strombel_tablet_sample_panel.png");
    tap(*run, screen.sampleVolumeBtn());
    ASSERT_NE(screen.trackVolumeSlider(0), nullptr);
    screen.trackVolumeSlider(4)->setCurrentPosition(1.0f);
    screen.trackVolumeSlider(7)->setCurrentPosition(0.0f);
    loop_.advance(500 * platform::kNanosPerMillisecond);
    const QImage after = picture(*run, "strombel_tablet_sample_volumes.png");

    // Every pad shows its fader; nothing outside the pads changed but the VOL.
    // button and its lamp above it.
    const QRect pads = pixelsOf(screen.tapButtonsContainer());
    for (int pad = 0; pad < 12; ++pad) {
        SCOPED_TRACE(pad);
        const QRect fader = pixelsOf(screen.trackVolumeSlider(pad));
        EXPECT_TRUE(pixelsOf(screen.tapButton(pad)).contains(fader.center()));
        EXPECT_GT(changedPixels(before, after, fader), fader.width() * fader.height() / 20);
    }
    const QRect button = pixelsOf(screen.sampleVolumeBtn()).adjusted(-int(8 * kScale), -int(24 * kScale), int(8 * kScale), 4);
    QRect outside;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y) && !pads.contains(x, y) && !button.contains(x, y))
                outside |= QRect(x, y, 1, 1);
    EXPECT_TRUE(outside.isNull()) << "changed at " << outside.x() << "," << outside.y() << " " << outside.width()
                                  << "x" << outside.height();

    // The full fader is filled higher than the empty one: its fill shows above its middle.
    auto fillAboveMiddle = [&](int pad) {
        const QRect fader = pixelsOf(screen.trackVolumeSlider(pad));
        const QRect upper(fader.left(), fader.top() + fader.height() / 8, fader.width(), fader.height() / 4);
        return changedPixels(before, after, upper);
    };
    EXPECT_GT(fillAboveMiddle(4), fillAboveMiddle(7));
}

TEST_F(PanelPicturesTest, TheVolumeFadersStandOnThePadsFacesClearOfTheirNamesInEveryLayout) {
    for (const ui::GuiType guiType : {ui::GuiType::tablet, ui::GuiType::phoneLandscape, ui::GuiType::phonePortrait}) {
        SCOPED_TRACE(int(guiType));
        auto run = start(guiType);
        ui::StrombelViewController& screen = run->screen();
        // Upright, the panel buttons are on the strip's other side.
        if (guiType == ui::GuiType::phonePortrait) screen.switchVisibleSide();
        loop_.advance(500 * platform::kNanosPerMillisecond);
        tap(*run, screen.sampleOptionsBtn());
        loop_.advance(500 * platform::kNanosPerMillisecond);
        ASSERT_NE(screen.sampleVolumeBtn(), nullptr);
        tap(*run, screen.sampleVolumeBtn());
        for (int pad = 0; pad < 12; ++pad) {
            SCOPED_TRACE(pad);
            const ui::kit::View* fader = screen.trackVolumeSlider(pad);
            ASSERT_NE(fader, nullptr);
            const QRectF drawn = fader->mapRectToScene(fader->bounds());
            // The pad's frame is its whole cell; its face is the picture in the middle.
            const ui::kit::Button* button = screen.tapButton(pad);
            QRectF face(QPointF(), button->currentImage().deviceIndependentSize());
            face.moveCenter(button->mapToScene(button->bounds().center()));
            EXPECT_TRUE(face.adjusted(-0.5, -0.5, 0.5, 0.5).contains(drawn))
                << "fader " << drawn.top() << "-" << drawn.bottom() << ", face " << face.top() << "-" << face.bottom();
            const ui::kit::Label* name = screen.tapButtonLabel(pad);
            EXPECT_FALSE(drawn.intersects(name->mapRectToScene(name->bounds()))) << "the fader runs through the name";
        }
        // The next layout starts on the same settings: as this one did.
        tap(*run, screen.sampleVolumeBtn());
        tap(*run, screen.sampleOptionsBtn());
        loop_.advance(500 * platform::kNanosPerMillisecond);
    }
}

TEST_F(PanelPicturesTest, TheNameFieldOverTheShadedScreen) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    const QImage before = run->program().window().render(kScale).convertToFormat(QImage::Format_RGB32);
    screen.renameSoundbank(0);
    ASSERT_NE(screen.editNameTextfield(), nullptr);
    screen.editNameTextfield()->setText("Breaks");
    loop_.advance(600 * platform::kNanosPerMillisecond);  // faded in
    const QImage image = picture(*run, "strombel_tablet_name_field.png");

    const QRect field = pixelsOf(screen.editNameTextfield());
    const QRect pad = pixelsOf(screen.tapButton(0));
    EXPECT_LT(brightness(image, pad), 0.6 * brightness(before, pad)) << "the screen behind is shaded";
    EXPECT_GT(changedPixels(before, image, field), field.width() * field.height() / 2);
    EXPECT_GT(brightness(image, field), brightness(image, pad)) << "the field stands out of the shade";

    // The typed name is drawn in the field: an empty field differs from it.
    screen.editNameTextfield()->setText("");
    loop_.runPending();
    const QImage empty = run->program().window().render(kScale).convertToFormat(QImage::Format_RGB32);
    EXPECT_GT(changedPixels(empty, image, field), 20);
    EXPECT_EQ(changedPixels(empty, image, QRect(0, 0, image.width(), field.top())), 0)
        << "only the field's text changed";
}

TEST_F(PanelPicturesTest, APadLetGoWhileItsMenuTookTheReleaseIsDrawnUp) {
    auto run = start();
    ui::StrombelViewController& screen = run->screen();
    tap(*run, screen.sequencerBtn());
    tap(*run, screen.patternBtn());
    ASSERT_EQ(screen.tapPadsState(), ui::TapPadsPattern);
    loop_.advance(500 * platform::kNanosPerMillisecond);
    ui::kit::Button* pad = screen.tapButton(2);
    // The pad's own picture, inside its lamp and label.
    const QRect face = pixelsOf(pad).adjusted(int(30 * kScale), int(50 * kScale), -int(30 * kScale), -int(50 * kScale));
    const QImage before = picture(*run, "strombel_tablet_pad_before_menu.png");

    // Held until the menu opens; the menu takes the release, the pad never sees it.
    touchDown(*run, pad);
    loop_.advance(600 * platform::kNanosPerMillisecond);
    ASSERT_FALSE(run->menu().shown.empty());
    ASSERT_TRUE(run->menu().pick("Copy"));
    loop_.advance(2000 * platform::kNanosPerMillisecond);
    const QImage after = picture(*run, "strombel_tablet_pad_after_menu.png");
    EXPECT_FALSE(pad->isHighlighted());
    EXPECT_EQ(changedPixels(before, after, face), 0) << "pad 03 is drawn as it was before the press";
}

}  // namespace
}  // namespace strombel::app::scenario
