#include "ui/info/strombel_information_view_controller.h"

#include <QProcess>

#include "info/rating_prompt.h"
#include "logging/log.h"
#include "ui/gui_factory.h"
#include "ui/kit/context.h"
#include "ui/kit/control.h"
#include "ui/kit/label.h"
#include "ui/kit/presenters.h"
#include "ui/kit/window.h"
#include "ui/light_view.h"
#include "ui/small_button_control.h"
#include "ui/util.h"

namespace strombel::info {

namespace ui = strombel::ui;
namespace kit = strombel::ui::kit;

namespace {

InformationServices& services() {
    static InformationServices current;
    return current;
}

// The feed post's texts.
constexpr const char* kCaption = "A new dimension in live sets";
constexpr const char* kDescription =
    "The Strombel adds a new dimension to your live-sets, parties and all places where you want to make noise. "
    "This user friendly drum computer contains the latest samples, beats and vocals from A-list Artists and "
    "Producers. Additionally you can use your own samples in a custom soundbank.";

}  // namespace

void StrombelInformationViewController::setServices(InformationServices newServices) {
    services() = std::move(newServices);
}

bool StrombelInformationViewController::mailHandlerRegistered() {
    QProcess query;
    query.start("xdg-mime", {"query", "default", "x-scheme-handler/mailto"});
    if (!query.waitForFinished(5000) || query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0) {
        return false;
    }
    return !query.readAllStandardOutput().trimmed().isEmpty();
}

StrombelInformationViewController::StrombelInformationViewController(ui::GuiType guiType) : guiType_(guiType) {
    if (guiType_ == ui::GuiType::tablet) loadTabletView();
    else loadPhoneView();
}

StrombelInformationViewController::~StrombelInformationViewController() {
    // The client and the dialogs hold this screen by references that empty
    // themselves; a login that completes after the screen went reaches nothing.
    if (SocialClient* client = socialClient(); client && client->sessionDelegate() == this) {
        client->setSessionDelegate(nullptr);
    }
}

kit::Button* StrombelInformationViewController::addImageButton(const char* image, const QRectF& frame,
                                                               void (StrombelInformationViewController::*action)()) {
    auto button = std::make_unique<kit::Button>(frame);
    button->setImage(ui::GuiFactory::imageWithName(image, guiType_), kit::normal);
    button->addTarget(kit::touchUpInside, [this, action](kit::Control&) { (this->*action)(); });
    return add(std::move(button));
}

void StrombelInformationViewController::loadTabletView() {
    setFrame(QRectF(0, 0, 1024, 768));
    auto background = std::make_unique<kit::ImageView>(ui::GuiFactory::imageWithName("infoBack", ui::GuiType::tablet));
    add(std::move(background));

    auto label = ui::GuiFactory::labelWithFrame(QRectF(78, 617, 50, 12));
    label->setText("BACK");
    backLabel_ = add(std::move(label));
    backBtn_ = add(ui::SmallButtonControl::buttonOnX(78, 637));
    backBtn_->addTarget(kit::touchUpInside, [this](kit::Control&) { backBtnPressed(); });
    auto light = std::make_unique<ui::LightView>();
    light->setX(60, 605);
    backLight_ = add(std::move(light));
    backBtn_->setLight(backLight_);

    mailBtn_ = addImageButton("infoEmailBtn", {684, 659, 218, 25}, &StrombelInformationViewController::mailBtnPressed);
    websiteBtn_ =
        addImageButton("infoWebsiteBtn", {686, 683, 218, 25}, &StrombelInformationViewController::websiteBtnPressed);
    socialBtn_ = addImageButton("infoFbBtn", {45, 272, 116, 30}, &StrombelInformationViewController::socialBtnPressed);
    ravelleBtn_ = addImageButton("ravellePresentedByBtn", {45, 332, 120, 35},
                                 &StrombelInformationViewController::ravellePresentedByBtnPressed);
    tutorialBtn_ =
        addImageButton("tutorialBtn", {45, 392, 115, 60}, &StrombelInformationViewController::tutorialBtnPressed);
    rateUsBtn_ = addImageButton("rateUsBtn", {45, 465, 115, 60}, &StrombelInformationViewController::rateUsBtnPressed);
}

void StrombelInformationViewController::loadPhoneView() {
    const kit::Screen& screen = kit::Context::current().screen();
    setFrame(QRectF(0, 0, ui::Util::screenHeight(screen), ui::Util::screenWidth(screen)));
    const double d = ui::Util::isIphone5(screen) ? 44 : 0;
    add(std::make_unique<kit::ImageView>(ui::GuiFactory::imageWithName("infoBack", ui::GuiType::phoneLandscape)));

    auto label = ui::GuiFactory::labelForGuiType(ui::GuiType::phoneLandscape, QPointF(41 + d, 260), 22);
    label->setText("BACK");
    backLabel_ = add(std::move(label));
    backBtn_ = add(ui::SmallButtonControl::buttonForGuiType(ui::GuiType::phoneLandscape, int32_t(41 + d), 270));
    backBtn_->addTarget(kit::touchUpInside, [this](kit::Control&) { backBtnPressed(); });
    auto light = std::make_unique<ui::LightView>(ui::GuiType::phoneLandscape);
    light->setX(31 + d, 254);
    backLight_ = add(std::move(light));
    backBtn_->setLight(backLight_);

    mailBtn_ =
        addImageButton("infoEmailBtn", {321 + d, 257, 99, 23}, &StrombelInformationViewController::mailBtnPressed);
    websiteBtn_ =
        addImageButton("infoWebsiteBtn", {322 + d, 270, 99, 23}, &StrombelInformationViewController::websiteBtnPressed);
    socialBtn_ = addImageButton("infoFbBtn", {25 + d, 106, 53, 14}, &StrombelInformationViewController::socialBtnPressed);
    ravelleBtn_ = addImageButton("ravellePresentedByBtn", {25 + d, 133, 59, 17},
                                 &StrombelInformationViewController::ravellePresentedByBtnPressed);
    tutorialBtn_ =
        addImageButton("tutorialBtn", {23 + d, 160, 55, 40}, &StrombelInformationViewController::tutorialBtnPressed);
    rateUsBtn_ = addImageButton("rateUsBtn", {23 + d, 200, 55, 40}, &StrombelInformationViewController::rateUsBtnPressed);

    // On the 568-point phone the controls move to their final places.
    if (ui::Util::isIphone5(screen)) {
        backLabel_->setX(43, 255);
        backBtn_->setX(43, 265);
        backLight_->setX(34, 248);
        mailBtn_->setX(368);
        websiteBtn_->setX(369);
        socialBtn_->setX(27);
        ravelleBtn_->setX(27);
        tutorialBtn_->setX(25);
        rateUsBtn_->setX(25);
    }
}

void StrombelInformationViewController::backBtnPressed() { dismiss(); }

void StrombelInformationViewController::openURL(const std::string& url) {
    // What the opening answers is not read: an address nothing opens is ignored.
    kit::Context::current().urlOpener().openUrl(url);
}

void StrombelInformationViewController::mailBtnPressed() {
    const bool canSend = services().canSendMail ? services().canSendMail() : mailHandlerRegistered();
    if (canSend) {
        // The user's mail program stands for the composer.
        openURL(std::string("mailto:") + InformationLinks::kContactMail + "?subject=Strombel");
        return;
    }
    STROMBEL_LOG_DEBUG("Device is unable to send email in its current state.");
    kit::Context::current().alerts().showAlert(
        "Mail", "The device is unable to send email. Did you configure a mail account?", {"OK"}, {});
}

void StrombelInformationViewController::websiteBtnPressed() { openURL(InformationLinks::kWebsite); }
void StrombelInformationViewController::ravellePresentedByBtnPressed() { openURL(InformationLinks::kArtist); }
void StrombelInformationViewController::tutorialBtnPressed() { openURL(InformationLinks::kTutorial); }
void StrombelInformationViewController::copyrightBtnPressed() { openURL(InformationLinks::kCompany); }

void StrombelInformationViewController::rateUsBtnPressed() {
    if (services().rateApp) services().rateApp();
    else RatingPrompt::rateApp();
}

SocialClient* StrombelInformationViewController::socialClient() const {
    return services().socialClient ? services().socialClient() : nullptr;
}

void StrombelInformationViewController::openFeedDialog(SocialClient& client) {
    STROMBEL_LOG_DEBUG("session = valid, dialog!");
    SocialClient::Params params{{"message", ""},
                                {"link", InformationLinks::kWebsite},
                                {"picture", InformationLinks::kIcon},
                                {"name", "Strombel"},
                                {"caption", kCaption},
                                {"description", kDescription}};
    client.dialog("feed", params, this);
}

void StrombelInformationViewController::socialBtnPressed() {
    SocialClient* client = socialClient();
    if (!client) return;
    if (client->isSessionValid()) {
        openFeedDialog(*client);
        return;
    }
    STROMBEL_LOG_DEBUG("session != valid");
    client->setSessionDelegate(this);
    client->authorize({});
}

void StrombelInformationViewController::socialDidLogin() {
    STROMBEL_LOG_DEBUG("socialDidLogin");
    // Only the look at the session and the dialog: a login that left no valid
    // session (a token without an expiry) starts no second login.
    SocialClient* client = socialClient();
    if (client && client->isSessionValid()) openFeedDialog(*client);
}

bool StrombelInformationViewController::dialogShouldOpenURLInExternalBrowser(SocialDialog&, const std::string& url) {
    STROMBEL_LOG_DEBUG("Social opening URL: {}", url);
    return true;
}

}  // namespace strombel::info
