// The sample panel on its own, over twelve pads of its own: VOL. puts a volume
// slider over each pad and writes what was set when it goes up, MUTE, SOLO and
// VOL. exclude each other, and the editor panel takes the pads' place and gives
// it back.

#include "ui/pad/pad_sample_panel.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "still_pad_services.h"
#include "support/still_pad_engine.h"
#include "support/temp_dir.h"
#include "pad_panel_test.h"

namespace strombel::ui {
namespace {

struct VolumeEngine final : strombel::testing::StillPadEngine {
    std::map<int, std::string> currentSoundbankFilePathsByIdx() const override { return {{0, "a.wav"}, {1, "b.wav"}}; }
    float volumeForTrack(const std::string& path) const override {
        auto found = volumes.find(path);
        return found == volumes.end() ? 0.75f : found->second;
    }
    void setVolumeForTrack(float volume, const std::string& path) override { volumes[path] = volume; }
    std::map<std::string, float> volumes;
};

struct VolumeLibrary final : StillLibrary {
    void setSampleVolume(const std::string& path, float volume) override { written[path] = volume; }
    void save() override { ++saves; }
    std::map<std::string, float> written;
    int saves = 0;
};

struct SampleHostRecorder final : PadSamplePanelHost {
    explicit SampleHostRecorder(kit::View& container) : container_(container) {
        for (int pad = 0; pad < 12; ++pad) {
            auto button = std::make_unique<kit::Button>(QRectF(100.0 * (pad % 4), 100.0 * (pad / 4), 90, 90));
            button->setTag(pad);
            pads_.push_back(container.add(std::move(button)));
        }
    }
    void sampleVolumesShown(bool on) override { said.push_back(on ? "volumes" : "no volumes"); }
    void mutesShown(bool on, bool solo) override {
        said.push_back(std::string(on ? "" : "no ") + (solo ? "solo" : "mute"));
    }
    kit::View& padsContainer() override { return container_; }
    const std::vector<kit::Button*>& pads() const override { return pads_; }
    std::string padPath(int pad) const override { return pad == 0 ? "a.wav" : pad == 1 ? "b.wav" : ""; }
    void recordIntoEditor() override { said.push_back("record"); }
    void takePadsOff() override { said.push_back("pads off"); }
    void putPadsBack() override { said.push_back("pads back"); }
    std::vector<std::string> said;

private:
    kit::View& container_;
    std::vector<kit::Button*> pads_;
};

class PadSamplePanelTest : public PadPanelTest {
protected:
    PadSamplePanelTest() { panel_.open(base_); }
    void toggle(SmallButtonControl* button, bool down, void (PadSamplePanel::*action)()) {
        button->setIsPressedDown(down);
        (panel_.*action)();
    }

    kit::View base_{QRectF(0, 0, 1024, 768)};
    kit::View& pads_ = *base_.add(std::make_unique<kit::View>(QRectF(0, 0, 400, 300)));
    strombel::testing::TempDir temp_;
    platform::UserDefaults defaults_{temp_ / "defaults.sqlite"};
    VolumeEngine engine_;
    VolumeLibrary library_;
    GuiFactory gf_{GuiType::tablet};
    SampleHostRecorder host_{pads_};
    PadSamplePanel panel_{engine_, library_, defaults_, gf_, host_};
};

TEST_F(PadSamplePanelTest, VolumeSlidersOverThePadsAndTheModesExcludeEachOther) {
    toggle(panel_.sampleVolumeBtn(), true, &PadSamplePanel::sampleVolumeBtnPressed);
    ASSERT_NE(panel_.trackVolumeSlider(11), nullptr);
    VolumeSliderControl* first = panel_.trackVolumeSlider(0);
    EXPECT_EQ(first->superview(), &pads_);
    EXPECT_NEAR(first->currentPosition(), 0.5, 0.05);  // 0.75 of the range up to 1.5
    first->setCurrentPosition(1.0f);
    panel_.trackVolumeChanged(0);
    EXPECT_FLOAT_EQ(engine_.volumes["a.wav"], 1.5f);
    EXPECT_TRUE(library_.written.empty());  // written when VOL. goes up

    toggle(panel_.sampleMuteBtn(), true, &PadSamplePanel::muteBtnPressed);
    EXPECT_FALSE(panel_.sampleVolumeBtn()->isPressedDown());
    EXPECT_EQ(panel_.trackVolumeSlider(0), nullptr);
    EXPECT_EQ(library_.written, (std::map<std::string, float>{{"a.wav", 1.5f}, {"b.wav", 0.75f}}));
    EXPECT_EQ(library_.saves, 1);
    toggle(panel_.sampleSoloBtn(), true, &PadSamplePanel::soloBtnPressed);
    EXPECT_FALSE(panel_.sampleMuteBtn()->isPressedDown());
    EXPECT_TRUE(defaults_.boolForKey("SampleSolo"));

    panel_.close();
    EXPECT_FALSE(panel_.isOpen());
    // Each mode first lets the other two go up (VOL. as the panel opens, as stored).
    EXPECT_EQ(host_.said,
              (std::vector<std::string>{"no volumes", "no mute", "no solo", "volumes", "no volumes", "no solo", "mute",
                                        "no volumes", "no mute", "solo", "no mute", "no solo"}));
}

TEST_F(PadSamplePanelTest, TheEditorTakesThePadsPlaceAndGivesItBack) {
    defaults_.setString(editor::EditSampleViewController::kOpenedSampleKey, "Documents/take.wav");
    panel_.showEditor(base_, QPointF(12, 340));
    editor::EditSampleViewController* editor = panel_.editor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->view()->superview(), &base_);
    EXPECT_EQ(editor->view()->pos(), QPointF(12, 340));
    panel_.showEditor(base_, QPointF(0, 0));  // one at a time
    EXPECT_EQ(panel_.editor(), editor);

    panel_.editSampleViewControllerWantsToClose(*editor);  // as its delegate
    EXPECT_EQ(panel_.editor(), nullptr);
    EXPECT_FALSE(defaults_.hasObject(editor::EditSampleViewController::kOpenedSampleKey));
    EXPECT_EQ(host_.said, (std::vector<std::string>{"no volumes", "pads off", "pads back"}));
}

}  // namespace
}  // namespace strombel::ui
