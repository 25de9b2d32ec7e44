#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "info/rating_prompt.h"
#include "info/social_client.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "ui/kit/window.h"

namespace strombel::app {

class TumblecraftAppDelegate;

/// The settings that name the outside addresses of the information screen's
/// services, in the user defaults. Unset, the program's own: tests and our
/// machines point every one at loopback servers.
struct InformationSettingKeys {
    static constexpr const char* kSocialDialogBaseURL = "SocialDialogBaseURL";
    static constexpr const char* kSocialGraphBaseURL = "SocialGraphBaseURL";
    static constexpr const char* kSocialMethodBaseURL = "SocialMethodBaseURL";
    static constexpr const char* kSocialLoginURL = "SocialLoginURL";
    /// The page the rating prompt's network check asks for (the distribution's
    /// home page from os-release when unset).
    static constexpr const char* kRatingCheckURL = "RatingPromptCheckURL";
    /// Where the store's pages are ("https://host").
    static constexpr const char* kRatingStoreURL = "RatingPromptStoreURL";
};

/// The home page an os-release file names (HOME_URL), or "" without one.
std::string distributionHomePage(const std::filesystem::path& osRelease = "/etc/os-release");

/// Connects the rating prompt, the social network client and the information
/// screen to the program's presenters, window and settings, and takes them
/// away again when it goes. Main loop only.
class InformationWiring {
public:
    /// The rating prompt (when there is one) gets its alert, opener, check and texts.
    InformationWiring(platform::UserDefaults& defaults, platform::MainLoop& loop, info::RatingPrompt* prompt,
                      std::filesystem::path bundle);
    ~InformationWiring();
    InformationWiring(const InformationWiring&) = delete;
    InformationWiring& operator=(const InformationWiring&) = delete;

    /// After the launch made the client: its hosts, URL opening and dialogs on
    /// `window`, and the information screen's way to it.
    void connectSocialClient(TumblecraftAppDelegate& delegate, ui::kit::Window& window,
                             platform::NotificationCenter& notifications);

private:
    class KitRatingAlert;
    class KitSocialUrlOpener;

    platform::UserDefaults& defaults_;
    info::RatingPrompt* prompt_;
    std::unique_ptr<KitRatingAlert> alert_;
    std::unique_ptr<KitSocialUrlOpener> opener_;
    info::SocialClient* client_ = nullptr;
};

}  // namespace strombel::app
