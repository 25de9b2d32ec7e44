#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

namespace strombel::platform {
class Application;
class Clock;
class Keychain;
class MainBundle;
class MainLoop;
class NotificationCenter;
class UserDefaults;
}  // namespace strombel::platform

namespace strombel::http {
class NetworkThread;
}

namespace strombel::analytics {

/// Seconds since 1970-01-01 00:00 UTC, the client's dates.
using UsageDate = double;

/// The platform services and folders the analytics client runs on. The client
/// reads the current environment whenever it needs one; a program that starts the
/// client hands in its own services, a test its own over a temporary sandbox, a
/// manual clock and a private network thread: each sets it before it starts the
/// client.
struct UsageEnvironment {
    /// The loop of the thread that starts the client: heart-beat, reachability
    /// changes and connection starts run on it. Its clock is the client's clock.
    platform::MainLoop* mainLoop = nullptr;
    platform::NotificationCenter* notificationCenter = nullptr;
    platform::Application* application = nullptr;
    platform::Keychain* keychain = nullptr;
    platform::UserDefaults* userDefaults = nullptr;
    const platform::MainBundle* bundle = nullptr;
    http::NetworkThread* network = nullptr;

    /// The application-support folder (the analytics folder is "UsageFiles" in it).
    std::filesystem::path applicationSupport;
    /// The Library folder (the folder of agent versions up to 109 is "UsageFiles" in it).
    std::filesystem::path library;
    /// The documents folder, whose file system the disk facts describe.
    std::filesystem::path documents;
    /// Where the vendor identifier is kept.
    std::filesystem::path vendorIdentifierFile;
    /// Root of the files the device facts are read from.
    std::filesystem::path systemRoot = "/";
    /// Root of the interface facts the reachability reads.
    std::filesystem::path sysfsRoot = "/sys";

    /// Seconds since 1970 at the main loop clock's zero: now = this + clock time.
    double wallClockOffset = 0;

    /// The wall-clock time now, on the main loop's clock.
    UsageDate now() const;
    /// Seconds since 1970 at `clock`'s zero now (for `wallClockOffset`).
    static double systemWallClockOffset(const platform::Clock& clock);

    /// The environment in use; asked before `setCurrent`, it stops the program,
    /// naming what is missing.
    static const UsageEnvironment& current();
    /// For a program or a test, before the client starts.
    static void setCurrent(const UsageEnvironment& environment);
    /// Counts the environments set: what the client sets up once (observers, the
    /// network watch, the heart-beat) it sets up again for a new environment.
    static uint64_t generation();
};

}  // namespace strombel::analytics
