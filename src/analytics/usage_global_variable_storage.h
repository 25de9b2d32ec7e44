#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/usage_environment.h"
#include "json/value.h"

namespace strombel::crash {
class UsageCrashReporter;
}

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// An origin the application reported: its name and parameters (the version under
/// "usageOriginVersion", then the caller's over it), in the order set.
struct UsageOriginSet {
    std::string originName;
    std::vector<std::pair<std::string, std::string>> parameters;
    bool operator==(const UsageOriginSet&) const = default;
};

/// The client's limits.
namespace usage_limits {
inline constexpr int32_t kParametersPerEvent = 10;
inline constexpr int32_t kDistinctEventNames = 100;
inline constexpr int32_t kEventsPerSession = 1000;
inline constexpr int32_t kErrorsPerSession = 10;
inline constexpr int32_t kOriginSetEntries = 10;
inline constexpr int32_t kSavedSessions = 50;
inline constexpr int32_t kCookieMapEntries = 1000;
inline constexpr size_t kStringLength = 255;
}  // namespace usage_limits

/// What the envelope reads of the settings store, taken at once.
struct UsageEnvelopeSnapshot {
    std::map<std::string, std::vector<std::string>> launchOptions;
    std::vector<UsageOriginSet> originSets;
    std::map<std::string, Bytes> cookies;
};

/// The process-wide settings store: everything that outlives one session or is
/// set before one exists, and the two persistent maps. Flags and numbers are
/// atomic words; texts, dates, the launch options, the origin sets and the maps
/// are read and written under the store's lock, so any thread may use it.
class UsageGlobalVariableStorage {
public:
    static std::shared_ptr<UsageGlobalVariableStorage> sharedInstance();
    /// Drops the instance; the next `sharedInstance` starts from the defaults.
    static void cleanup();

    UsageGlobalVariableStorage();

    // Flags.
    std::atomic<bool> udidEnabled{true};
    std::atomic<bool> sessionReportsOnCloseEnabled{true};
    std::atomic<bool> sessionReportsOnPauseEnabled{true};
    std::atomic<bool> backgroundSessionEnabled{false};
    std::atomic<bool> crashReportingEnabled{false};
    std::atomic<bool> eventLoggingEnabled{true};
    std::atomic<bool> startSessionCalled{false};
    std::atomic<bool> macAddressEnabled{true};
    std::atomic<bool> optOutSessionPending{false};
    // Numbers.
    std::atomic<int32_t> pauseSecondsBeforeStartingNewSession{10};
    std::atomic<int32_t> age{-1};

    // Texts and dates (under the lock).
    std::optional<std::string> savedResponseUrl() const;
    std::optional<std::string> apiKey() const;
    /// Removes every space from `key`, keeps it and loads the persistent maps.
    void setApiKey(const std::string& key);
    std::optional<UsageDate> pauseTime() const;
    void setPauseTime(std::optional<UsageDate> time);
    std::optional<UsageDate> lastPageViewDate() const;
    void setLastPageViewDate(std::optional<UsageDate> time);
    /// Counts a page view unless the last one counted was at most 0.3 s before
    /// `now`; true when counted (the check and the update are one step).
    bool takePageView(UsageDate now);
    std::optional<std::string> appVersion() const;
    void setAppVersion(std::optional<std::string> version);
    std::optional<std::string> userID() const;
    void setUserID(std::optional<std::string> userID);
    std::optional<std::string> gender() const;
    void setGender(std::optional<std::string> gender);

    // Launch options and origins.
    std::map<std::string, std::vector<std::string>> launchOptions() const;
    void setLaunchOption(const std::string& key, std::vector<std::string> items);
    std::vector<UsageOriginSet> originSets() const;
    /// Records an origin; false (logged) when it has too many parameters or no name.
    bool recordOrigin(const std::string& name, const std::string& version,
                      const std::vector<std::pair<std::string, std::string>>& parameters);

    // The crash reporter the client made at start.
    std::shared_ptr<crash::UsageCrashReporter> usageCrashReporter() const;
    void setUsageCrashReporter(std::shared_ptr<crash::UsageCrashReporter> reporter);
    /// The location as set by the facade (latitude, longitude); none is ever made here.
    bool hasLocation() const { return false; }

    // The persistent maps.
    std::map<std::string, std::string> persistentGlobalsMap() const;
    std::map<std::string, Bytes> persistentCookiesMap() const;
    /// Stores `valueDigest` under `keyDigest`; true when it was absent or different.
    bool updatePersistentGlobal(const std::string& keyDigest, const std::string& valueDigest);
    /// The cookie map's rule: empty data removes the key (true); equal data is no
    /// change (false); a new key beyond the map's limit is refused (false).
    bool updateCookie(const std::string& key, const Bytes& data);
    void clearCookies();
    void initPersistentMap();
    std::filesystem::path persistentGlobalsFilePath() const;
    std::filesystem::path persistentCookiesFilePath() const;
    std::filesystem::path getPersistentFilePath(const std::string& mapName) const;
    bool writeDictionary(const std::map<std::string, std::string>& map, const std::filesystem::path& file) const;
    void savePersistentGlobalsToDisk() const;

    /// The launch options, origin sets and cookies as they are now.
    UsageEnvelopeSnapshot envelopeSnapshot() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> savedResponseUrl_;
    std::optional<std::string> apiKey_;
    std::optional<UsageDate> pauseTime_;
    std::optional<UsageDate> lastPageViewDate_;
    std::optional<std::string> appVersion_;
    std::optional<std::string> userID_;
    std::optional<std::string> gender_;
    std::map<std::string, std::vector<std::string>> launchOptions_;
    std::vector<UsageOriginSet> originSets_;
    std::shared_ptr<crash::UsageCrashReporter> usageCrashReporter_;
    std::map<std::string, std::string> persistentGlobals_;
    std::map<std::string, Bytes> persistentCookies_;
    // The maps are written one at a time, whole.
    mutable std::mutex saveMutex_;
};

/// The API key's stable 32-bit hash (FNV-1a of its UTF-8 bytes), the same from run
/// to run; printed signed in file names and unsigned in the data key.
uint32_t usageKeyHash(const std::string& key);
int32_t usageKeyHashSigned(const std::string& key);

}  // namespace strombel::analytics
