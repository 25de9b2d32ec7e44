#pragma once

// The services a test's analytics client runs on, in a sandbox of its own: the
// same in the test and in the probe program it starts, so that both find the
// same analytics folder, keychain and crash reports. No test framework here.

#include <filesystem>
#include <fstream>
#include <memory>

#include "analytics/analytics.h"
#include "http/network_thread.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/keychain.h"
#include "platform/main_bundle.h"
#include "platform/main_loop.h"
#include "platform/notification_center.h"
#include "platform/sandbox.h"
#include "platform/user_defaults.h"

namespace strombel::analytics::testing {

/// The application's name in the bundle: the crash reporter's folder follows it.
inline constexpr const char* kTestBundleIdentifier = "org.strombel.analytics-tests";

/// The sandbox at `root` with the bundle folder `bundle` (whose Info.plist names
/// the application), a main loop on a manual clock owned by the calling thread,
/// a private network thread, and the client's environment over them, made current.
struct UsageTestServices {
    UsageTestServices(const std::filesystem::path& root, const std::filesystem::path& bundleFolder) {
        std::filesystem::create_directories(bundleFolder);
        std::ofstream(bundleFolder / platform::MainBundle::kInfoFileName)
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<plist version=\"1.0\"><dict>\n"
               "<key>CFBundleIdentifier</key><string>"
            << kTestBundleIdentifier
            << "</string>\n"
               "<key>CFBundleVersion</key><string>1.0</string>\n"
               "</dict></plist>\n";
        platform::Sandbox::setShared(std::make_unique<platform::Sandbox>(root, bundleFolder));
        (void)platform::Sandbox::shared().createFolders();
        loop.bindToCurrentThread();
        network = std::make_unique<http::NetworkThread>(loop);
        keychain = std::make_unique<platform::Keychain>(root / "Library" / "keychain.sqlite");
        defaults = std::make_unique<platform::UserDefaults>(root / "Library" / "Preferences" / "defaults.sqlite");
        bundle = std::make_unique<platform::MainBundle>(bundleFolder);
        environment.mainLoop = &loop;
        environment.notificationCenter = &center;
        environment.application = &application;
        environment.keychain = keychain.get();
        environment.userDefaults = defaults.get();
        environment.bundle = bundle.get();
        environment.network = network.get();
        environment.applicationSupport = root / "Library" / "Application Support";
        environment.library = root / "Library";
        environment.documents = root / "Documents";
        environment.vendorIdentifierFile = root / "Library" / "VendorIdentifier";
        environment.wallClockOffset = 1'700'000'000;
        UsageEnvironment::setCurrent(environment);
    }

    /// The analytics folder under `root`.
    static std::filesystem::path usageFiles(const std::filesystem::path& root) {
        return root / "Library" / "Application Support" / "UsageFiles";
    }

    platform::ManualClock clock{1'000'000'000};
    platform::MainLoop loop{clock};
    platform::NotificationCenter center;
    platform::Application application;
    std::unique_ptr<http::NetworkThread> network;
    std::unique_ptr<platform::Keychain> keychain;
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<platform::MainBundle> bundle;
    UsageEnvironment environment;
};

}  // namespace strombel::analytics::testing
