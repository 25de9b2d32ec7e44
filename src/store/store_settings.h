#pragma once

#include <cstdint>
#include <string>

namespace strombel::store {

/// Where the store server is and how to sign in to it. No store server ships:
/// the built-in addresses lie under the reserved ".invalid" domain, so that a
/// program nobody pointed at a server only says the store cannot be reached.
struct StoreSettings {
    /// The folder of "ItemsList.json" and of every item's files.
    std::string baseURL = "https://store.strombel.invalid/";
    /// The folder of the items' icons.
    std::string iconBaseURL = "https://store.strombel.invalid/icons/";
    /// Basic authentication, sent only when the user set a name or a password
    /// (the built-in store asks for none); the password is never logged.
    std::string username;
    std::string password;
    /// The largest file of an item (a pack description or a sample).
    uint64_t maximumFileSize = 64ull * 1024 * 1024;
    /// The largest icon.
    uint64_t maximumIconSize = 1024 * 1024;
    /// The longest the catalogue and an icon may take in all, however steadily
    /// their bytes come (a server that sends a byte a second is never silent).
    double catalogueTimeLimitSeconds = 60;
    double iconTimeLimitSeconds = 30;
    /// Every request of the store (catalogue, icons, the items' files) fails when
    /// fewer bytes than this a second arrive over `minimumSpeedSeconds`.
    uint64_t minimumBytesPerSecond = 1024;
    double minimumSpeedSeconds = 20;

    /// The built-in settings changed by the environment: STROMBEL_STORE_URL (the
    /// base; the icons are then under its "icons/" unless STROMBEL_STORE_ICON_URL
    /// says otherwise), STROMBEL_STORE_USER and STROMBEL_STORE_PASSWORD.
    static StoreSettings fromEnvironment();
    /// Points the store at `baseURL`, its icons under its "icons/".
    void setBaseURL(std::string baseURL);
};

/// `folder` with a "/" at its end, then `name` with every byte but letters,
/// digits and "-._~" written as %XX.
std::string joinURL(const std::string& folder, const std::string& name);

}  // namespace strombel::store
