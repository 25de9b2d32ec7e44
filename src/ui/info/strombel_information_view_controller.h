#pragma once

// src/ui/info/: the information screen and the social network dialogs' panel.
// May include: ui, info, Qt.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "info/social_client.h"
#include "ui/gui_type.h"
#include "ui/kit/view.h"
#include "ui/modal_screen.h"

namespace strombel::ui {
class LightView;
class SmallButtonControl;
namespace kit {
class Button;
class Label;
class Window;
}  // namespace kit
}  // namespace strombel::ui

namespace strombel::info {

/// The addresses the screen opens: built in, on the maker's hosts.
struct InformationLinks {
    static constexpr const char* kWebsite = "http://www.strombel.example.com/";
    static constexpr const char* kArtist = "http://www.ravelle.example.net/";
    static constexpr const char* kTutorial = "https://video.example.org/watch?v=Xq3vT9bK2mA";
    static constexpr const char* kIcon = "http://www.strombel.example.com/images/strombel-icon.jpg";
    static constexpr const char* kContactMail = "info@strombel.example.com";
    static constexpr const char* kCompany = "http://www.tumblecraft.example.com/";
};

/// What the screen needs from the program: the application's social network
/// client (asked anew for every step), the rating page and whether a mail
/// program is there.
struct InformationServices {
    std::function<SocialClient*()> socialClient;
    /// Opens the store's rating page; the program's rating prompt unless set.
    std::function<void()> rateApp;
    /// Whether the user has a mail program; unless set, whether the desktop names
    /// a handler of "mailto" addresses (see mailHandlerRegistered).
    std::function<bool()> canSendMail;
};

/// The information screen, presented over the pad screen: back, mail to the
/// maker, the web sites, the tutorial video, the rating page and a post to the
/// social network's feed (logging in first when needed). The tablet layout; the
/// phone's is the subclass below. Main loop only.
class StrombelInformationViewController : public ui::ModalScreen,
                                          public SocialDialogDelegate,
                                          public SocialSessionDelegate {
public:
    /// The tablet layout.
    StrombelInformationViewController() : StrombelInformationViewController(ui::GuiType::tablet) {}
    ~StrombelInformationViewController() override;

    static void setServices(InformationServices services);
    /// Whether the desktop has a program for "mailto" addresses. The desktop is
    /// asked (xdg-mime, up to 5 s) once per process, on a thread of its own, from
    /// the first call; nothing until it has answered. Any thread.
    static std::optional<bool> mailHandlerRegistered();
    /// Forgets the desktop's answer: the next call asks again (for tests). A
    /// question still out is called off and its thread joined.
    static void forgetMailHandlerAnswer();
    /// The program's end: a question still out is called off (the desktop's
    /// helper killed) and its thread joined, within moments.
    static void endMailHandlerQuestion();

    // The buttons' actions.
    void backBtnPressed();
    void mailBtnPressed();
    void websiteBtnPressed();
    void ravellePresentedByBtnPressed();
    void tutorialBtnPressed();
    void rateUsBtnPressed();
    void socialBtnPressed();
    void copyrightBtnPressed();

    // SocialSessionDelegate
    void socialDidLogin() override;
    // SocialDialogDelegate
    bool dialogShouldOpenURLInExternalBrowser(SocialDialog& dialog, const std::string& url) override;

    /// Orientation masks and answers: the two landscape orientations only.
    virtual int32_t supportedInterfaceOrientations() const { return 24; }
    virtual bool shouldAutorotateToInterfaceOrientation(int32_t orientation) const {
        return orientation == 3 || orientation == 4;
    }

    /// What the mail key says when the desktop names no mail program.
    static constexpr const char* kNoMailProgramMessage =
        "No mail program is set up on this computer. Write to info@strombel.example.com from the one you use for "
        "mail.";

    /// Where the keys stand: the two links (mail, web site) one below the
    /// other, and the four keys of the left column (social network, artist,
    /// tutorial, rating), each group of one size, on one left edge and one pitch.
    struct ButtonFrames {
        QRectF link;
        double linkPitch;
        QRectF key;
        double keyPitch;
    };
    static constexpr ButtonFrames kTabletButtons{{684, 652, 218, 25}, 31, {45, 272, 120, 48}, 62};
    static constexpr ButtonFrames kPhoneButtons{{321, 248, 99, 20}, 24, {25, 106, 59, 26}, 32};
    /// Upright, on a 320 by 480 point screen: the keys below the words at the top,
    /// the links at the bottom right beside BACK.
    static constexpr ButtonFrames kUprightButtons{{153, 394, 143, 29}, 36, {24, 190, 85, 38}, 48};

    ui::GuiType guiType() const { return guiType_; }
    ui::kit::Label* backLabel() const { return backLabel_; }
    ui::SmallButtonControl* backBtn() const { return backBtn_; }
    ui::LightView* backLight() const { return backLight_; }
    ui::kit::Button* mailBtn() const { return mailBtn_; }
    ui::kit::Button* websiteBtn() const { return websiteBtn_; }
    ui::kit::Button* socialBtn() const { return socialBtn_; }
    ui::kit::Button* ravellePresentedByBtn() const { return ravelleBtn_; }
    ui::kit::Button* tutorialBtn() const { return tutorialBtn_; }
    ui::kit::Button* rateUsBtn() const { return rateUsBtn_; }

protected:
    explicit StrombelInformationViewController(ui::GuiType guiType);

private:
    void loadTabletView();
    void loadPhoneView();
    void loadUprightView();
    /// BACK with its label and lamp, of `guiType`'s sizes, the label at `label`.
    void addBack(ui::GuiType guiType, const QPointF& label, double labelWidth, const QPointF& button, const QPointF& lamp);
    ui::kit::Button* addImageButton(const char* image, const QRectF& frame, void (StrombelInformationViewController::*action)());
    /// The six image keys at `frames`, moved right by `shift`.
    void addButtons(const ButtonFrames& frames, double shift);
    void openFeedDialog(SocialClient& client);
    void openURL(const std::string& url);
    SocialClient* socialClient() const;

    ui::GuiType guiType_;
    // Owned by the view tree.
    ui::kit::Label* backLabel_ = nullptr;
    ui::SmallButtonControl* backBtn_ = nullptr;
    ui::LightView* backLight_ = nullptr;
    ui::kit::Button* mailBtn_ = nullptr;
    ui::kit::Button* websiteBtn_ = nullptr;
    ui::kit::Button* socialBtn_ = nullptr;
    ui::kit::Button* ravelleBtn_ = nullptr;
    ui::kit::Button* tutorialBtn_ = nullptr;
    ui::kit::Button* rateUsBtn_ = nullptr;
};

/// The same screen in the phone layout.
class StrombelIphoneInformationViewController : public StrombelInformationViewController {
public:
    /// `upright`: laid out on the upright screen (the portrait layout's sizes),
    /// its shorter side across, where the landscape layout would be a strip.
    explicit StrombelIphoneInformationViewController(bool upright = false)
        : StrombelInformationViewController(upright ? ui::GuiType::phonePortrait : ui::GuiType::phoneLandscape) {}
    /// It turns with the device, to the two landscape orientations.
    bool shouldAutorotate() const { return true; }
    bool shouldAutorotateToInterfaceOrientation(int32_t orientation) const override {
        return orientation >= 0 && orientation < 31 && ((supportedInterfaceOrientations() >> orientation) & 1);
    }
};

}  // namespace strombel::info
