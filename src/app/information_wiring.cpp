#include "app/information_wiring.h"

#include <fstream>

#include "app/tumblecraft_app_delegate.h"
#include "http/network_thread.h"
#include "ui/info/social_dialog_panel.h"
#include "ui/info/strombel_information_view_controller.h"
#include "ui/kit/context.h"
#include "ui/kit/presenters.h"

namespace strombel::app {

/// The rating alert on the kit's alert presenter.
class InformationWiring::KitRatingAlert final : public info::RatingAlert {
public:
    void show(const std::string& title, const std::string& message, const std::vector<std::string>& buttons,
              std::function<void(int)> chosen) override {
        title_ = QString::fromStdString(title);
        QStringList titles;
        for (const std::string& button : buttons) titles << QString::fromStdString(button);
        ui::kit::Context::current().alerts().showAlert(title_, QString::fromStdString(message), titles,
                                                      [titles, chosen](const QString& pressed) {
                                                          if (chosen) chosen(int(titles.indexOf(pressed)));
                                                      });
    }
    bool isVisible() const override {
        return !title_.isEmpty() && ui::kit::Context::current().alerts().isAlertVisible(title_);
    }
    void hide() override {
        if (!title_.isEmpty()) ui::kit::Context::current().alerts().dismissAlert(title_);
    }

private:
    QString title_;
};

/// The social network client's URL opening on the kit's opener (xdg-open).
class InformationWiring::KitSocialUrlOpener final : public info::SocialUrlOpener {
public:
    bool openURL(const std::string& url) override { return ui::kit::Context::current().urlOpener().openUrl(url); }
};

std::string distributionHomePage(const std::filesystem::path& osRelease) {
    std::ifstream file(osRelease);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("HOME_URL=", 0) != 0) continue;
        std::string value = line.substr(9);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

InformationWiring::InformationWiring(platform::UserDefaults& defaults, platform::MainLoop& loop,
                                     info::RatingPrompt* prompt, std::filesystem::path bundle)
    : defaults_(defaults),
      prompt_(prompt),
      alert_(std::make_unique<KitRatingAlert>()),
      opener_(std::make_unique<KitSocialUrlOpener>()) {
    if (!prompt_) return;
    info::RatingPromptServices services;
    services.mainLoop = &loop;
    services.alert = alert_.get();
    services.openURL = [](const std::string& url) { return ui::kit::Context::current().urlOpener().openUrl(url); };
    services.checkURL = defaults_.stringForKey(InformationSettingKeys::kRatingCheckURL);
    if (services.checkURL.empty()) services.checkURL = distributionHomePage();
    services.network = &http::NetworkThread::shared();
    if (std::string store = defaults_.stringForKey(InformationSettingKeys::kRatingStoreURL); !store.empty()) {
        services.storeURL = store;
    }
    services.bundle = std::move(bundle);
    services.dismissModal = [](bool, std::function<void()> done) {
        // No store sheet is ever presented here; nothing to take away.
        if (done) done();
    };
    prompt_->setServices(std::move(services));
}

InformationWiring::~InformationWiring() {
    info::StrombelInformationViewController::setServices({});
    if (client_) {
        client_->setDialogViewFactory({});
        client_->setUrlOpener(nullptr);
        client_->setWebCookieEraser({});
    }
    if (prompt_) prompt_->setServices({});
}

void InformationWiring::connectSocialClient(TumblecraftAppDelegate& delegate, ui::kit::Window& window,
                                            platform::NotificationCenter& notifications) {
    client_ = delegate.socialClient();
    if (!client_) return;
    info::SocialHosts hosts;
    auto setting = [this](const char* key, std::string& value) {
        if (std::string stored = defaults_.stringForKey(key); !stored.empty()) value = stored;
    };
    setting(InformationSettingKeys::kSocialDialogBaseURL, hosts.dialogBaseURL);
    setting(InformationSettingKeys::kSocialGraphBaseURL, hosts.graphBaseURL);
    setting(InformationSettingKeys::kSocialMethodBaseURL, hosts.methodBaseURL);
    setting(InformationSettingKeys::kSocialLoginURL, hosts.loginURL);
    client_->setHosts(std::move(hosts));
    client_->setUrlOpener(opener_.get());
    client_->setDialogViewFactory(
        [&window, &notifications](info::SocialDialog& dialog) {
            return info::SocialDialogPanel::make(dialog, window, notifications);
        });
    client_->setWebCookieEraser([](const std::string& url) { info::deleteWebCookiesForURL(url); });
    info::InformationServices services;
    services.socialClient = [&delegate] { return delegate.socialClient(); };
    info::StrombelInformationViewController::setServices(std::move(services));
}

}  // namespace strombel::app
