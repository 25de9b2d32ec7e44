// Export and paste on their own, over folders of the test's own: a named export
// is rendered aside and moved into the documents folder when whole, a cancelled
// one leaves no file, and pasted audio is named into a user sample.

#include "ui/pad/pad_exchange_panel.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "still_pad_services.h"
#include "support/temp_dir.h"
#include "pad_panel_test.h"

namespace strombel::ui {
namespace {

namespace fs = std::filesystem;

struct ExportingSequencer final : StillSequencer {
    struct Job final : PadExport {
        explicit Job(bool& cancelled) : cancelled_(cancelled) {}
        void cancel() override { cancelled_ = true; }
        void waitUntilRendered() override {}
        bool& cancelled_;
    };
    void stop() override { ++stops; }
    std::unique_ptr<PadExport> startExport(uint64_t pattern, const std::string& toFile,
                                           std::function<void(float)> progressed,
                                           std::function<void(const PadExportOutcome&)> ended) override {
        exported = pattern;
        renderedTo = toFile;
        progress = std::move(progressed);
        done = std::move(ended);
        return std::make_unique<Job>(cancelled);
    }
    int stops = 0;
    uint64_t exported = 99;
    std::string renderedTo;
    std::function<void(float)> progress;
    std::function<void(const PadExportOutcome&)> done;
    bool cancelled = false;
};

struct FolderLibrary final : StillLibrary {
    explicit FolderLibrary(const fs::path& root) : root_(root) {}
    std::string documentsFolder() const override { return (root_ / "Documents").string(); }
    std::string exportTempFolder() const override { return (root_ / "Exchange").string(); }
    fs::path root_;
};

struct ExchangeHostRecorder final : PadExchangePanelHost {
    bool askExportName(int pattern, const QString& value, const QString&) override {
        said.push_back(QString("name %1 for %2").arg(value).arg(pattern).toStdString());
        return true;
    }
    bool isAskingExportNameFor(int) const override { return false; }
    bool askPasteName(const QString& value, const QString&) override {
        said.push_back("name " + value.toStdString());
        return true;
    }
    void dismissNameField() override {}
    void tell(const QString& title, const QString& message) override {
        said.push_back((title + ": " + message).toStdString());
    }
    kit::View* rootView() const override { return &root; }
    QSizeF shownSize() const override { return root.size(); }
    kit::Window* window() const override { return nullptr; }
    editor::ExchangeSettings exchangeSettings() const override { return {}; }
    mutable kit::View root{QRectF(0, 0, 1024, 768)};
    std::vector<std::string> said;
};

struct NoPasteDelegate final : editor::ExchangePasteViewControllerDelegate {
    void didPaste(editor::ExchangePasteViewController&, const std::string&, const std::string&, const void*) override {}
};

void writeFile(const fs::path& file) { std::ofstream(file) << "RIFF"; }

class PadExchangePanelTest : public PadPanelTest {
protected:
    PadExchangePanelTest() {
        fs::create_directories(temp_ / "Documents");
        fs::create_directories(temp_ / "Exchange");
    }
    strombel::testing::TempDir temp_;
    ExportingSequencer sequencer_;
    FolderLibrary library_{temp_ / "."};
    ExchangeHostRecorder host_;
    NoPasteDelegate pasteDelegate_;
    std::unique_ptr<PadExchangePanel> panel_ =
        std::make_unique<PadExchangePanel>(sequencer_, library_, GuiType::tablet, host_, pasteDelegate_);
};

TEST_F(PadExchangePanelTest, ANamedExportIsMovedInWholeAndACancelledOneLeavesNothing) {
    panel_->exportPatternToItunes(2);
    ASSERT_TRUE(panel_->exportPatternNamed(2, "Groove"));
    EXPECT_EQ(sequencer_.exported, 2u);
    EXPECT_EQ(sequencer_.stops, 1);  // what plays stops first
    const fs::path rendered = sequencer_.renderedTo;
    EXPECT_EQ(rendered.parent_path(), fs::path(library_.exportTempFolder()));
    sequencer_.progress(0.5f);
    ASSERT_NE(panel_->exportProgressLabel(), nullptr);
    EXPECT_EQ(panel_->exportProgressLabel()->text(), "50 %");
    writeFile(rendered);
    sequencer_.done({PadExportOutcome::Status::written, "", 3});
    EXPECT_TRUE(fs::exists(temp_ / "Documents" / "Groove.wav"));
    EXPECT_FALSE(fs::exists(rendered));
    EXPECT_EQ(panel_->runningExport(), nullptr);
    EXPECT_EQ(panel_->exportProgressLabel(), nullptr);

    // Cancelled: the half-written file goes, and nothing is told.
    ASSERT_TRUE(panel_->exportPatternNamed(0, "Other"));
    writeFile(sequencer_.renderedTo);
    panel_->cancelExport();
    EXPECT_TRUE(sequencer_.cancelled);
    EXPECT_EQ(panel_->exportProgressLabel()->text(), "CANCELLING…");
    sequencer_.done({PadExportOutcome::Status::cancelled, "", 0});
    EXPECT_FALSE(fs::exists(sequencer_.renderedTo));
    EXPECT_FALSE(fs::exists(temp_ / "Documents" / "Other.wav"));

    // Going with an export under way: its file goes too.
    ASSERT_TRUE(panel_->exportPatternNamed(1, "Third"));
    writeFile(sequencer_.renderedTo);
    panel_.reset();
    EXPECT_FALSE(fs::exists(sequencer_.renderedTo));
    ASSERT_EQ(host_.said.size(), 2u);
    EXPECT_EQ(host_.said[0], "name Pattern 03 for 2");
    EXPECT_EQ(host_.said[1].rfind("Export: Pattern 3 has been exported to ", 0), 0u) << host_.said[1];
}

TEST_F(PadExchangePanelTest, PastedAudioBecomesAUserSampleUnderAFreeName) {
    const fs::path pasted = temp_ / "Exchange" / "paste1.wav";
    writeFile(pasted);
    writeFile(temp_ / "Documents" / "Taken.wav");
    panel_->didPaste(pasted.string());
    EXPECT_FALSE(panel_->pasteNamed("Taken"));  // the field stays open for another name
    EXPECT_TRUE(fs::exists(pasted));
    ASSERT_TRUE(panel_->pasteNamed("My Loop"));
    EXPECT_FALSE(fs::exists(pasted));
    EXPECT_TRUE(fs::exists(temp_ / "Documents" / "My Loop.wav"));
    EXPECT_EQ(host_.said, (std::vector<std::string>{"name pastedaudio",
                                                    "Paste: A user sample already exists with name 'Taken.wav'"}));
}

}  // namespace
}  // namespace strombel::ui
