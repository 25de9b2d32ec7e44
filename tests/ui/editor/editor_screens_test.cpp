// The sample editor panel and the paste sheet as the pad screen and the library
// browser use them: shown, answering their buttons, and gone again.

#include <gtest/gtest.h>

#include "platform/user_defaults.h"
#include "support/temp_dir.h"
#include "ui/editor/edit_sample_view_controller.h"
#include "ui/editor/exchange_screens.h"
#include "ui/editor/screen_finders.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/ui_test_support.h"

namespace strombel::editor {
namespace {

using ui::kit::Button;
using ui::kit::Label;
using ui::kit::View;

using strombel::testing::buttonTitled;
using strombel::testing::child;

class EditorScreensTest : public strombel::testing::UiTest {
protected:
    void tap(ui::kit::Window& window, View* view) {
        strombel::testing::Finger(window.touches(), 1).tap(*view, view->bounds().center());
    }
};

struct ClosingDelegate final : EditSampleViewControllerDelegate {
    void editSampleViewControllerWantsToClose(EditSampleViewController& editor) override { asked.push_back(&editor); }
    std::vector<EditSampleViewController*> asked;
};

TEST_F(EditorScreensTest, WithoutALibraryThePanelShowsTheNameItOpensAndItsCloseButtonAsksToClose) {
    strombel::testing::TempDir temp;
    platform::UserDefaults defaults(temp / "defaults.sqlite");
    EditSampleViewController editor(ui::GuiType::tablet, defaults);
    ui::kit::Window window;
    window.setRootView(editor.takeView());
    Label* name = child<Label>(editor.view());
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), "NO SAMPLE");

    editor.openSample("Documents/take 3.wav");
    EXPECT_EQ(name->text(), "TAKE 3");
    EXPECT_EQ(defaults.stringForKey("SampleEditor-relativeSoundPath"), "Documents/take 3.wav")
        << "the panel comes back on this sample after a restart";

    ClosingDelegate delegate;
    editor.setDelegate(&delegate);
    tap(window, buttonTitled(editor.view(), "CLOSE"));
    EXPECT_EQ(delegate.asked, std::vector<EditSampleViewController*>{&editor});
}

TEST_F(EditorScreensTest, ThePasteSheetShowsOverTheScreenUntilDoneAndLeavesItAsItWas) {
    ui::kit::Window window;
    window.setRootView(std::make_unique<View>(QRectF(0, 0, 1024, 768)));
    View* underneath = window.rootView()->addSubview(std::make_unique<View>(QRectF(10, 10, 100, 100)));

    struct : ExchangePasteViewControllerDelegate {
    } delegate;
    auto paste = std::make_unique<ExchangePasteViewController>("/some/export/folder");
    paste->setModalPresentationStyle(2);
    paste->setDelegate(&delegate);
    ExchangePasteViewController* sheet = paste.get();
    int dismissed = 0;
    ExchangeSheet::present(std::move(paste), window, [&] { ++dismissed; });
    advance(0.5);
    ASSERT_EQ(context.modals().presented(window), sheet);
    EXPECT_EQ(sheet->folder(), "/some/export/folder");
    EXPECT_EQ(sheet->delegate(), &delegate);
    EXPECT_EQ(sheet->modalPresentationStyle(), 2);

    Button* done = buttonTitled(sheet, "DONE");
    ASSERT_NE(done, nullptr);
    tap(window, done);
    advance(0.5);
    EXPECT_EQ(context.modals().presented(window), nullptr);
    EXPECT_EQ(dismissed, 1);
    EXPECT_EQ(window.rootView()->subviews(), std::vector<View*>{underneath});
}

}  // namespace
}  // namespace strombel::editor
