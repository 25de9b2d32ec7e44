#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/main_loop.h"
#include "platform/network_reachability.h"
#include "platform/notification_center.h"

namespace strombel::analytics {

inline constexpr const char* kUsageReachabilityChangedNotification = "UsageReachabilityChangedNotification";
inline constexpr const char* kUsageNetworkStatusChangedNotification = "UsageNetworkStatusChangedNotification";
inline constexpr const char* kUsageHeartBeatNotification = "UsageHeartBeatNotification";

/// The built-in hosts: reserved example names, never reached unless a deployment
/// says otherwise (tests point the report address at a loopback server).
inline constexpr const char* kUsageDataHost = "data.analytics.example";
inline constexpr const char* kUsageAdHost = "ads.analytics.example";
inline constexpr const char* kUsageSecureAdHost = "secure-ads.analytics.example";
inline constexpr const char* kUsageAppCloudHost = "cloud.analytics.example";
inline constexpr const char* kUsageStagingAppCloudHost = "staging-cloud.analytics.example";

/// Reachability of one host or address: 0 not reachable, 1 over Wi-Fi or a local
/// link, 2 over the cellular network. Its notifier posts
/// "UsageReachabilityChangedNotification" with the object as sender on the main
/// loop of the thread that started it.
class UsageReachability {
public:
    static std::unique_ptr<UsageReachability> usageReachabilityWithHostName(const std::string& host);
    /// `hostOrderAddress`: the IPv4 address; the key is its dotted text.
    static std::unique_ptr<UsageReachability> usageReachabilityWithAddress(uint32_t hostOrderAddress);
    static std::unique_ptr<UsageReachability> usageReachabilityForInternetConnection();
    static std::unique_ptr<UsageReachability> usageReachabilityForLocalWiFi();
    /// "%d.%d.%d.%d" of the address's bytes in network order.
    static std::string usageMakeAddressKey(uint32_t hostOrderAddress);

    ~UsageReachability();

    const std::string& key() const { return key_; }
    bool usageStartNotifier(platform::MainLoop& loop);
    void usageStopNotifier();

    int32_t usageNetworkStatusForFlags(uint32_t flags) const;
    int32_t usageCurrentReachabilityStatus() const;
    bool isUsageReachable() const { return usageCurrentReachabilityStatus() != 0; }
    bool isUsageReachableViaWiFi() const { return usageCurrentReachabilityStatus() == 1; }
    bool isUsageReachableViaWWAN() const { return usageCurrentReachabilityStatus() == 2; }
    bool isUsageConnectionRequired() const;
    bool isUsageConnectionOnDemand() const;
    bool isUsageUserInterventionRequired() const;
    uint32_t usageReachabilityFlags() const;
    bool isUsageReachabilityEqual(const UsageReachability& other) const { return key_ == other.key_; }

    /// For tests: the interface facts' folder.
    platform::NetworkReachability& platformReachability() { return *reachability_; }

private:
    UsageReachability(std::string key, std::unique_ptr<platform::NetworkReachability> reachability)
        : key_(std::move(key)), reachability_(std::move(reachability)) {}
    std::string key_;
    std::unique_ptr<platform::NetworkReachability> reachability_;
};

/// The client's one view of the network and its server addresses.
class UsageNetworkUtil {
public:
    /// Once per process: watches the ad host, reads the first status.
    static void initNetworkReachability();
    /// Stops the watch and forgets it (tests, before their loop goes).
    static void stopNetworkReachability();
    /// The reachability object's status becomes the client's; then
    /// "UsageNetworkStatusChangedNotification" is posted.
    static void updateNetworkStatus(const UsageReachability& reachability);
    /// The same with a status already read.
    static void updateNetworkStatus(int32_t status);

    static bool isNetworkReachable() { return !notReachable_.load(); }
    /// 0 none, 2 Wi-Fi, 3 cellular.
    static int32_t networkStatus() { return networkStatus_.load(); }

    static void setLastNetworkOperationError(std::optional<platform::Error> error);
    static std::optional<platform::Error> lastNetworkOperationError();
    static void setNetworkLikelyNotReachable();
    static bool isNetworkLikelyNotReachable();

    static std::string serverURL();
    static void setServerURL(const std::string& url);
    /// YES gives the report, ad and ad-log addresses their HTTPS form, NO their
    /// plain one. Only the scheme changes: an address the application set keeps
    /// its host, port and path (the built-in ad host has a secure twin).
    static void setSecureTransportEnabled(bool enabled);
    static std::string adServerUrl();
    static void setAdServerUrl(const std::string& url);
    static std::string adLogServerUrl();
    static void setAdLogServerUrl(const std::string& url);
    static void setAppCloudServerToStaging(bool staging);
    static std::string appCloudServerUrl();

    /// The sender of the status-changed notification.
    static const void* notificationSender();

private:
    static std::atomic<bool> notReachable_;
    static std::atomic<int32_t> networkStatus_;
};

/// Posts "UsageHeartBeatNotification" once a second on the starting thread's loop.
class UsageHeartBeater {
public:
    /// Made once (per environment) and kept for the rest of the process.
    static UsageHeartBeater* createAndStartInstance(double seconds);
    /// Stops the timer (tests, before their loop goes).
    void stop();
    static UsageHeartBeater* instance();
    ~UsageHeartBeater();
    void start(double seconds);
    void heartBeat();

private:
    platform::MainLoop* loop_ = nullptr;
    platform::MainLoop::TimerId timer_ = 0;
};

}  // namespace strombel::analytics
