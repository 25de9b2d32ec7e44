#pragma once

#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

/// The pad screen in the phone landscape layout (gui type 1).
class StrombelIphoneViewController : public StrombelViewController {
public:
    StrombelIphoneViewController(PadScreenServices services, platform::UserDefaults& defaults)
        : StrombelViewController(services, defaults, GuiType::phoneLandscape) {}

    /// The sequencer has one delegate, and a portrait screen takes it while it is
    /// shown: the landscape screen takes it back whenever it comes on screen.
    void viewWillAppear() override {
        StrombelViewController::viewWillAppear();
        services_.sequencer->setDelegate(this);
    }
};

/// The pad screen in the phone portrait layout (gui type 2): the controls on a
/// strip two screens wide, one side shown at a time.
class StrombelIphonePortraitViewController : public StrombelViewController {
public:
    StrombelIphonePortraitViewController(PadScreenServices services, platform::UserDefaults& defaults)
        : StrombelViewController(services, defaults, GuiType::phonePortrait) {}

    /// The browser opens on the right side of the strip, so the strip slides there.
    void sortBtnPressed() override {
        StrombelViewController::sortBtnPressed();
        if (buttonDown(sortBtn_)) switchVisibleSide();
    }

    /// The editor panel is on the left side of the strip, so the strip slides there.
    void showEditSampleControl() override {
        StrombelViewController::showEditSampleControl();
        kit::Context::current().animator().animatePosition(*baseContainer_, QPointF(0, baseContainer_->y()), 0.2);
    }
};

}  // namespace strombel::ui
