#include "analytics/usage_network_util.h"

#include <fmt/format.h>

#include <cctype>
#include <vector>

#include "analytics/usage_environment.h"
#include "analytics/usage_util.h"

namespace strombel::analytics {

using namespace platform::reachability_flags;

namespace {

std::recursive_mutex networkMutex;  // the class lock (taken again by the address getters)
uint64_t initialisedGeneration = 0;  // once per environment
std::unique_ptr<UsageReachability> watchedHost;
std::optional<platform::Error> lastError;

struct Addresses {
    std::string serverURL = fmt::format("http://{}/aas.do", kUsageDataHost);
    std::string adServerURL = fmt::format("http://{}/v11/getAds.do", kUsageAdHost);
    std::string adLogServerURL = fmt::format("http://{}/postAdLog.do", kUsageAdHost);
    bool appCloudProduction = true;
};
Addresses& addresses() {
    static Addresses values;
    return values;
}

// `url` in the plain or the secure form: only its scheme changes, so an address
// the application set keeps its host, port and path. An address of another
// scheme is kept as it is.
std::string withScheme(const std::string& url, bool secure) {
    size_t colon = url.find("://");
    if (colon == std::string::npos) return url;
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https") return url;
    return (secure ? "https" : "http") + url.substr(colon);
}

// The same for an ad address, whose built-in host has a secure twin.
std::string adAddressWithScheme(const std::string& url, bool secure, const char* path) {
    for (const char* host : {kUsageAdHost, kUsageSecureAdHost}) {
        for (const char* scheme : {"http", "https"}) {
            if (url == fmt::format("{}://{}{}", scheme, host, path)) {
                return fmt::format("{}://{}{}", secure ? "https" : "http", secure ? kUsageSecureAdHost : kUsageAdHost, path);
            }
        }
    }
    return withScheme(url, secure);
}

std::mutex heartBeatMutex;
// Lives for the rest of the process (never destroyed at exit, when its loop may
// be gone); a new environment gets a beater of its own, and the earlier ones
// stay with the environments they were made in.
UsageHeartBeater* heartBeatInstance = nullptr;
uint64_t heartBeatGeneration = 0;
std::vector<UsageHeartBeater*>& everyHeartBeater() {
    static auto* beaters = new std::vector<UsageHeartBeater*>();
    return *beaters;
}

const int kNetworkUtilTag = 0;

// Statuses 1 and 2 of a reachability become the record's 2 (Wi-Fi) and 3
// (cellular); 0 marks the network as not reachable.
void applyStatus(int32_t status, std::atomic<bool>& notReachable, std::atomic<int32_t>& networkStatus) {
    notReachable.store(status == 0);
    networkStatus.store(status == 1 ? 2 : status == 2 ? 3 : 0);
}

}  // namespace

std::atomic<bool> UsageNetworkUtil::notReachable_{false};
std::atomic<int32_t> UsageNetworkUtil::networkStatus_{0};

// ---- UsageReachability ----

std::string UsageReachability::usageMakeAddressKey(uint32_t address) {
    return fmt::format("{}.{}.{}.{}", (address >> 24) & 0xFF, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
}

std::unique_ptr<UsageReachability> UsageReachability::usageReachabilityWithHostName(const std::string& host) {
    auto reachability = platform::NetworkReachability::forHostName(host);
    if (!reachability) return nullptr;
    reachability->setSysfsRoot(UsageEnvironment::current().sysfsRoot);
    return std::unique_ptr<UsageReachability>(new UsageReachability(host, std::move(reachability)));
}

std::unique_ptr<UsageReachability> UsageReachability::usageReachabilityWithAddress(uint32_t address) {
    auto reachability = platform::NetworkReachability::forIPv4Address(address);
    reachability->setSysfsRoot(UsageEnvironment::current().sysfsRoot);
    return std::unique_ptr<UsageReachability>(new UsageReachability(usageMakeAddressKey(address), std::move(reachability)));
}

std::unique_ptr<UsageReachability> UsageReachability::usageReachabilityForInternetConnection() {
    auto reachability = usageReachabilityWithAddress(0);
    reachability->key_ = "InternetConnection";
    return reachability;
}

std::unique_ptr<UsageReachability> UsageReachability::usageReachabilityForLocalWiFi() {
    auto reachability = usageReachabilityWithAddress(0xA9FE0000u);  // 169.254.0.0
    reachability->key_ = "LocalWiFiConnection";
    return reachability;
}

UsageReachability::~UsageReachability() { usageStopNotifier(); }

bool UsageReachability::usageStartNotifier(platform::MainLoop& loop) {
    platform::NotificationCenter* center = UsageEnvironment::current().notificationCenter;
    if (!center) return false;
    return reachability_->startNotifier(loop, [this, center](uint32_t) {
        center->post(kUsageReachabilityChangedNotification, this);
    });
}

void UsageReachability::usageStopNotifier() { reachability_->stopNotifier(); }

int32_t UsageReachability::usageNetworkStatusForFlags(uint32_t flags) const {
    if (!(flags & kReachable)) return 0;
    if (key_ == "LocalWiFiConnection") return (flags & kIsDirect) ? 1 : 0;
    if (flags & kIsWWAN) return 2;
    uint32_t rest = flags & ~(kReachable | kIsLocalAddress | kIsDirect);
    if (rest == (kConnectionRequired | kTransientConnection)) return 0;
    if (rest & kTransientConnection) return 1;
    if (rest == 0) return 1;
    if (rest & kConnectionRequired) return 1;
    return 0;
}

int32_t UsageReachability::usageCurrentReachabilityStatus() const {
    std::optional<uint32_t> flags = reachability_->flags();
    return flags ? usageNetworkStatusForFlags(*flags) : 0;
}

bool UsageReachability::isUsageConnectionRequired() const { return usageReachabilityFlags() & kConnectionRequired; }

bool UsageReachability::isUsageConnectionOnDemand() const {
    uint32_t flags = usageReachabilityFlags();
    return (flags & kConnectionRequired) && (flags & (kConnectionOnTraffic | kConnectionOnDemand));
}

bool UsageReachability::isUsageUserInterventionRequired() const {
    uint32_t flags = usageReachabilityFlags();
    return (flags & kConnectionRequired) && (flags & kInterventionRequired);
}

uint32_t UsageReachability::usageReachabilityFlags() const { return reachability_->flags().value_or(0); }

// ---- UsageNetworkUtil ----

void UsageNetworkUtil::stopNetworkReachability() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    watchedHost.reset();
    initialisedGeneration = 0;
}

const void* UsageNetworkUtil::notificationSender() { return &kNetworkUtilTag; }

void UsageNetworkUtil::initNetworkReachability() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    const UsageEnvironment& environment = UsageEnvironment::current();
    if (initialisedGeneration == UsageEnvironment::generation()) return;
    watchedHost.reset();  // a watch of an earlier environment stops
    if (environment.notificationCenter) {
        environment.notificationCenter->addObserver(
            kUsageReachabilityChangedNotification, nullptr, [](const platform::Notification& notification) {
                // Only our own reachability objects post this name.
                if (notification.sender) {
                    updateNetworkStatus(*static_cast<const UsageReachability*>(notification.sender));
                }
            });
    }
    std::string adHost = adServerUrl();
    size_t start = adHost.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    adHost = adHost.substr(start, adHost.find_first_of(":/", start) - start);
    watchedHost = UsageReachability::usageReachabilityWithHostName(adHost);
    if (watchedHost && environment.mainLoop) watchedHost->usageStartNotifier(*environment.mainLoop);
    int32_t status = UsageReachability::usageReachabilityForInternetConnection()->usageCurrentReachabilityStatus();
    UsageUtil::log(2, "initial network status [{}] ========= ", status);
    applyStatus(status, notReachable_, networkStatus_);
    initialisedGeneration = UsageEnvironment::generation();
}

void UsageNetworkUtil::updateNetworkStatus(const UsageReachability& reachability) {
    updateNetworkStatus(reachability.usageCurrentReachabilityStatus());
}

void UsageNetworkUtil::updateNetworkStatus(int32_t status) {
    {
        std::lock_guard<std::recursive_mutex> lock(networkMutex);
        UsageUtil::log(2, "updated network status [{}] ======== ", status);
        applyStatus(status, notReachable_, networkStatus_);
    }
    if (platform::NotificationCenter* center = UsageEnvironment::current().notificationCenter) {
        center->post(kUsageNetworkStatusChangedNotification, notificationSender());
    }
}

void UsageNetworkUtil::setLastNetworkOperationError(std::optional<platform::Error> error) {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    lastError = std::move(error);
}

std::optional<platform::Error> UsageNetworkUtil::lastNetworkOperationError() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    return lastError;
}

void UsageNetworkUtil::setNetworkLikelyNotReachable() {
    setLastNetworkOperationError(platform::Error::make("kCFErrorDomainCFNetwork", 1, "The network is likely not reachable"));
}

bool UsageNetworkUtil::isNetworkLikelyNotReachable() {
    if (!isNetworkReachable()) return true;
    std::optional<platform::Error> error = lastNetworkOperationError();
    return error && error->domain == "kCFErrorDomainCFNetwork";
}

std::string UsageNetworkUtil::serverURL() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    return addresses().serverURL;
}

void UsageNetworkUtil::setServerURL(const std::string& url) {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    addresses().serverURL = url;
}

void UsageNetworkUtil::setSecureTransportEnabled(bool enabled) {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    Addresses& current = addresses();
    current.serverURL = withScheme(current.serverURL, enabled);
    current.adServerURL = adAddressWithScheme(current.adServerURL, enabled, "/v11/getAds.do");
    current.adLogServerURL = adAddressWithScheme(current.adLogServerURL, enabled, "/postAdLog.do");
}

std::string UsageNetworkUtil::adServerUrl() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    return addresses().adServerURL;
}

void UsageNetworkUtil::setAdServerUrl(const std::string& url) {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    addresses().adServerURL = url;
}

std::string UsageNetworkUtil::adLogServerUrl() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    return addresses().adLogServerURL;
}

void UsageNetworkUtil::setAdLogServerUrl(const std::string& url) {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    addresses().adLogServerURL = url;
}

void UsageNetworkUtil::setAppCloudServerToStaging(bool staging) {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    addresses().appCloudProduction = !staging;
}

std::string UsageNetworkUtil::appCloudServerUrl() {
    std::lock_guard<std::recursive_mutex> lock(networkMutex);
    return fmt::format("http://{}/", addresses().appCloudProduction ? kUsageAppCloudHost : kUsageStagingAppCloudHost);
}

// ---- UsageHeartBeater ----

UsageHeartBeater* UsageHeartBeater::createAndStartInstance(double seconds) {
    std::lock_guard lock(heartBeatMutex);
    if (!heartBeatInstance || heartBeatGeneration != UsageEnvironment::generation()) {
        heartBeatInstance = new UsageHeartBeater();
        everyHeartBeater().push_back(heartBeatInstance);
        heartBeatGeneration = UsageEnvironment::generation();
        heartBeatInstance->start(seconds);
    }
    return heartBeatInstance;
}

UsageHeartBeater* UsageHeartBeater::instance() {
    std::lock_guard lock(heartBeatMutex);
    return heartBeatInstance;
}

UsageHeartBeater::~UsageHeartBeater() { stop(); }

void UsageHeartBeater::stop() {
    if (loop_ && timer_) loop_->cancel(timer_);
    timer_ = 0;
}

void UsageHeartBeater::start(double seconds) {
    loop_ = UsageEnvironment::current().mainLoop;
    if (!loop_) return;
    timer_ = loop_->scheduleRepeating(static_cast<uint64_t>(seconds * 1e9), [this] { heartBeat(); });
}

void UsageHeartBeater::heartBeat() {
    if (platform::NotificationCenter* center = UsageEnvironment::current().notificationCenter) {
        center->post(kUsageHeartBeatNotification);
    }
}

}  // namespace strombel::analytics
