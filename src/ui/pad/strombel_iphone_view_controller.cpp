// The phone screens: the landscape root, which turns to the portrait screen and
// back with the device, and the portrait screen's strip.

#include "ui/pad/strombel_iphone_view_controller.h"

#include "ui/kit/presenters.h"

namespace strombel::ui {

using kit::DeviceOrientation;

// ---- The landscape screen ------------------------------------------------------------

StrombelIphoneViewController::StrombelIphoneViewController(PadScreenServices services,
                                                           platform::UserDefaults& defaults)
    : StrombelViewController(services, defaults, GuiType::phoneLandscape) {
    if (services_.orientation) {
        rotationObserver_ = services_.orientation->notificationCenter().addObserver(
            DeviceOrientation::kDidChangeNotification, nullptr, [this](const platform::Notification&) { didRotate(); });
    }
}

StrombelIphoneViewController::~StrombelIphoneViewController() {
    if (rotationObserver_) services_.orientation->notificationCenter().removeObserver(rotationObserver_);
}

void StrombelIphoneViewController::viewWillAppear() {
    StrombelViewController::viewWillAppear();
    services_.sequencer->setDelegate(this);
}

void StrombelIphoneViewController::viewWillUnload() {
    libraryPanel_.leaveLibrary();
}

bool StrombelIphoneViewController::presentsAnything() const {
    return window_ && kit::Context::current().modals().presented(*window_) != nullptr;
}

void StrombelIphoneViewController::didRotate() {
    if (!services_.orientation) return;
    const int64_t o = services_.orientation->orientation();
    const int64_t last = lastKnownOrientation_;
    if (o == last) return;
    if (DeviceOrientation::isLandscape(o) && DeviceOrientation::isLandscape(last)) return;
    StrombelIphonePortraitViewController* portrait =
        portraitController_ ? portraitController_.get() : presentingPortrait_.get();
    if (portrait && portrait->presentedScreen()) return;
    if (o == DeviceOrientation::portrait && !portrait && !presentsAnything()) {
        presentPortrait();
        lastKnownOrientation_ = o;
        return;
    }
    if (DeviceOrientation::isLandscape(o) && portraitController_ && !dismissingPortrait_) dismissPortrait(o);
    lastKnownOrientation_ = o;
}

void StrombelIphoneViewController::setStatusBarOrientation(int64_t orientation) {
    kit::Context& context = kit::Context::current();
    kit::Screen screen = context.screen();
    screen.statusBarOrientation = int(orientation);
    context.setScreen(screen);
}

void StrombelIphoneViewController::presentPortrait() {
    if (!window_) return;
    setStatusBarOrientation(DeviceOrientation::portrait);
    auto portrait = std::make_unique<StrombelIphonePortraitViewController>(services_, defaults_);
    portrait->setDelegate(delegate_);
    portrait->setWindow(window_);
    portrait->setSampleEditorServices(sampleEditorServices());
    std::unique_ptr<kit::View> view = portrait->takeView();
    portrait->viewWillAppear();
    presentingPortrait_ = std::move(portrait);
    std::weak_ptr<void> alive = lifetime_;
    kit::Context::current().modals().presentInOwnShape(*window_, std::move(view), true, [this, alive] {
        if (alive.expired() || !presentingPortrait_) return;
        portraitController_ = std::move(presentingPortrait_);
        // The device was turned back while the screen came: it goes again, unless
        // it already presents a screen of its own.
        if (DeviceOrientation::isLandscape(lastKnownOrientation_) && !portraitController_->presentedScreen())
            dismissPortrait(lastKnownOrientation_);
    });
}

void StrombelIphoneViewController::dismissPortrait(int64_t landscape) {
    if (!window_ || !portraitController_) return;
    kit::ModalPresenter& modals = kit::Context::current().modals();
    if (modals.presented(*window_) != portraitController_->view()) return;
    dismissingPortrait_ = true;
    setStatusBarOrientation(landscape);
    std::weak_ptr<void> alive = lifetime_;
    modals.dismiss(*window_, true, [this, alive] {
        if (alive.expired()) return;
        dismissingPortrait_ = false;
        if (portraitController_) portraitController_->viewWillUnload();
        portraitController_.reset();
        // The device was turned upright again while the screen went: it comes again.
        if (lastKnownOrientation_ == DeviceOrientation::portrait && !presentsAnything()) presentPortrait();
    });
    // The landscape screen comes on screen again: it takes back the sequencer's,
    // the ports' and the MIDI learn's roles, and reads the settings the portrait
    // screen changed.
    viewWillAppear();
}

// ---- The portrait screen ----------------------------------------------------------------

void StrombelIphonePortraitViewController::sortBtnPressed() {
    StrombelViewController::sortBtnPressed();
    // The browser opens on the right side, where the right column of panels lies.
    if (buttonDown(sortBtn_)) slideStripTo(true, 0.2, sortController() ? sortController()->view() : nullptr);
}

void StrombelIphonePortraitViewController::showEditSampleControl() {
    StrombelViewController::showEditSampleControl();
    slideStripTo(false, 0.2, editSampleViewController() ? editSampleViewController()->view() : nullptr);
}

void StrombelIphonePortraitViewController::viewWillAppear() {
    StrombelViewController::viewWillAppear();
    // At once: a slide the browser's reopening began is cut short.
    if (buttonDown(sortBtn_) && !editSampleViewController()) slideStripTo(true, 0);
}

void StrombelIphonePortraitViewController::viewWillUnload() {
    libraryPanel_.leaveLibrary();
}

kit::View* StrombelIphonePortraitViewController::presentedScreen() const {
    if (!window_ || !rootViewPointer_) return nullptr;
    kit::View* top = kit::Context::current().modals().presented(*window_);
    return top && top != rootViewPointer_ && top->superview() == rootViewPointer_ ? top : nullptr;
}

}  // namespace strombel::ui
