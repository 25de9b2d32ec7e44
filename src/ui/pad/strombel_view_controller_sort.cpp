// SORT: the library browser in place of the right-hand panels.

#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

void StrombelViewController::sortBtnPressed() {
    if (!services_.soundLibrary) {
        // Without the library there is nothing to browse: SORT stays released.
        if (sortBtn_) sortBtn_->setIsPressedDown(false);
        defaults_.setBool("SoundbankManagement", false);
        return;
    }
    const bool down = buttonDown(sortBtn_);
    defaults_.setBool("SoundbankManagement", down);
    if (down) {
        // Every time: the other panels close and the right column clears.
        press(sequencerBtn_, false, &StrombelViewController::sequencerBtnPressed);
        press(sampleOptionsBtn_, false, &StrombelViewController::sampleOptionsBtnPressed);
        if (buttonDown(inOutBtn_)) press(inOutBtn_, false, &StrombelViewController::inOutBtnPressed);
        takeOff(topRightButtonsContainer_);
        takeOff(audioMeterContainer_);
        takeOff(slidersContainer_);
        tapButtonsContainer_->setX(gf_->controlsLeftX());
        if (sortController_) return;
        sortController_ =
            std::make_unique<DragDropTableViewController>(guiType_, *services_.soundLibrary, *services_.engine);
        auto browser = sortController_->takeView();
        browser->setX(gf_->controlsRightX(), gf_->topControlsY());
        // Building the view clears the delegate: it is set after.
        sortController_->setDelegate(this);
        baseContainer_->insertSubviewBelow(std::move(browser), shadeView_);
        return;
    }
    if (!sortController_) return;
    dismissEditSampleControl();
    sortController_.reset();
    putBack(topRightButtonsContainer_);
    putBack(audioMeterContainer_);
    putBack(slidersContainer_);
    orientationBtnPressed();
}

}  // namespace strombel::ui
