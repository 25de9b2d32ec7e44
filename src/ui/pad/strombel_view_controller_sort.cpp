// SORT: the library browser in place of the right-hand panels.

#include "ui/pad/strombel_view_controller.h"

namespace strombel::ui {

void StrombelViewController::sortBtnPressed() {
    if (!libraryPanel_.canBrowse()) {
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
        libraryPanel_.openBrowser(*baseContainer_, shadeView_);
        return;
    }
    if (!libraryPanel_.browser()) return;
    dismissEditSampleControl();
    libraryPanel_.closeBrowser();
    putBack(topRightButtonsContainer_);
    putBack(audioMeterContainer_);
    putBack(slidersContainer_);
    orientationBtnPressed();
}

}  // namespace strombel::ui
