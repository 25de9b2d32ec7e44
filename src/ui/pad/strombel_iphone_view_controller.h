#pragma once

#include <memory>

#include "platform/notification_center.h"
#include "ui/kit/device_orientation.h"
#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

class StrombelIphonePortraitViewController;

/// The pad screen in the phone landscape layout (gui type 1), the window's root
/// for the whole run. Turned upright, it presents the portrait screen over
/// itself; turned back, it dismisses it.
class StrombelIphoneViewController : public StrombelViewController {
public:
    StrombelIphoneViewController(PadScreenServices services, platform::UserDefaults& defaults);
    ~StrombelIphoneViewController() override;

    /// The sequencer has one delegate, and a portrait screen takes it while it is
    /// shown: the landscape screen takes it back whenever it comes on screen.
    void viewWillAppear() override;
    /// Leaves the library's observers.
    void viewWillUnload();

    /// The device turned: presents or dismisses the portrait screen.
    void didRotate();

    /// The portrait screen once its presentation has completed, until its dismissal has.
    StrombelIphonePortraitViewController* portraitController() const { return portraitController_.get(); }
    int64_t lastKnownOrientation() const { return lastKnownOrientation_; }

    /// Landscape left and right.
    static constexpr kit::AutorotationAnswers kAutorotation{kit::AutorotationAnswers::kLandscapeMask, true};
    uint64_t supportedInterfaceOrientations() const { return kAutorotation.supportedInterfaceOrientations; }
    bool shouldAutorotate() const { return kAutorotation.shouldAutorotate; }
    bool shouldAutorotateToInterfaceOrientation(int64_t orientation) const {
        return kAutorotation.shouldAutorotateToInterfaceOrientation(orientation);
    }

private:
    void presentPortrait();
    /// Dismisses the portrait screen, the kit's status bar turning to `landscape`.
    void dismissPortrait(int64_t landscape);
    /// The kit's status bar turns with the screen shown (the portrait screen's
    /// layout sizes follow it).
    static void setStatusBarOrientation(int64_t orientation);
    bool presentsAnything() const;

    platform::NotificationCenter::ObserverId rotationObserver_ = 0;
    std::unique_ptr<StrombelIphonePortraitViewController> portraitController_;
    /// The portrait screen between the start of its presentation and its end.
    std::unique_ptr<StrombelIphonePortraitViewController> presentingPortrait_;
    bool dismissingPortrait_ = false;
    int64_t lastKnownOrientation_ = kit::DeviceOrientation::portrait;
};

/// The pad screen in the phone portrait layout (gui type 2): the controls on a
/// strip two screens wide, one side shown at a time.
class StrombelIphonePortraitViewController : public StrombelViewController {
public:
    StrombelIphonePortraitViewController(PadScreenServices services, platform::UserDefaults& defaults)
        : StrombelViewController(services, defaults, GuiType::phonePortrait) {}

    /// The browser opens on the right side of the strip, so the strip slides there.
    void sortBtnPressed() override;
    /// The editor panel is on the left side of the strip, so the strip slides there.
    void showEditSampleControl() override;
    /// The settings come back; with the browser open and no editor, the strip
    /// shows its right side at once.
    void viewWillAppear() override;
    /// Leaves the library's observers.
    void viewWillUnload();

    /// A screen presented by this one (the store, the information screen), or null.
    kit::View* presentedScreen() const;

    /// Portrait only.
    static constexpr kit::AutorotationAnswers kAutorotation{kit::AutorotationAnswers::kPortraitMask, true};
    uint64_t supportedInterfaceOrientations() const { return kAutorotation.supportedInterfaceOrientations; }
    bool shouldAutorotate() const { return kAutorotation.shouldAutorotate; }
    bool shouldAutorotateToInterfaceOrientation(int64_t orientation) const {
        return kAutorotation.shouldAutorotateToInterfaceOrientation(orientation);
    }
};

}  // namespace strombel::ui
