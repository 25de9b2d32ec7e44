#include "ui/intro_view_controller.h"

#include "ui/gui_factory.h"
#include "ui/image_store.h"
#include "ui/kit/animator.h"
#include "ui/kit/context.h"

namespace strombel::ui {

IntroViewController::~IntroViewController() {
    // The pending end goes with the screen: no `introFinished` after it.
    glowTimer_.reset();
    endTimer_.reset();
    if (glowView_ && !viewAlive_.expired()) kit::Context::current().animator().removeAllAnimations(*glowView_);
}

kit::View* IntroViewController::view() {
    if (!view_) {
        loadView();
        viewDidLoad();
    }
    return view_;
}

std::unique_ptr<kit::View> IntroViewController::takeView() {
    view();
    return std::move(ownView_);
}

void IntroViewController::loadView() {
    const bool tablet = GuiFactory::isIpad();
    ownView_ = std::make_unique<kit::View>(tablet ? QRectF(0, 0, 1024, 768) : QRectF(0, 0, 480, 320));
    view_ = ownView_.get();
    viewAlive_ = view_->lifetime();
    ImageStore& images = ImageStore::shared();
    view_->add(std::make_unique<kit::ImageView>(
        images.image(tablet ? "Default-Landscape~ipad.png" : "Default-Landscape.png")));
    auto glow = std::make_unique<kit::ImageView>(images.image(tablet ? "introGlow.png" : "introGlow-phone.png"));
    glow->setX(tablet ? 273 : 0, tablet ? 121 : 0);
    glow->setAlpha(0);
    glowView_ = view_->add(std::move(glow));
}

void IntroViewController::viewDidLoad() {
    glowTimer_ = kit::Timer::scheduled(kGlowDelaySeconds, false, [this] {
        glowTimer_.reset();
        if (viewAlive_.expired()) return;
        std::weak_ptr<int> alive = lifetime_;
        kit::Context::current().animator().animateAlpha(*glowView_, 1.0, kGlowSeconds, [this, alive](bool) {
            if (alive.expired()) return;
            endTimer_ = kit::Timer::scheduled(kEndDelaySeconds, false, [this] {
                endTimer_.reset();
                endOfIntro();
            });
        });
    });
}

void IntroViewController::endOfIntro() {
    if (delegate_) delegate_->introFinished();
}

}  // namespace strombel::ui
