#include "analytics/usage_global_variable_storage.h"

#include <algorithm>

#include "analytics/usage_util.h"
#include "crash/crash_reporter.h"
#include "platform/main_bundle.h"

namespace strombel::analytics {

namespace {

std::mutex storageMutex;
std::shared_ptr<UsageGlobalVariableStorage>& storageSlot() {
    static std::shared_ptr<UsageGlobalVariableStorage> instance;
    return instance;
}

// The persistent maps as archives: map entries by key, texts or byte blocks.
ArchiveValue archived(const std::map<std::string, std::string>& map) {
    ArchiveValue::Dictionary entries;
    for (const auto& [key, value] : map) entries.emplace(key, ArchiveValue(value));
    return ArchiveValue(std::move(entries));
}

ArchiveValue archived(const std::map<std::string, Bytes>& map) {
    ArchiveValue::Dictionary entries;
    for (const auto& [key, value] : map) entries.emplace(key, ArchiveValue(value));
    return ArchiveValue(std::move(entries));
}

}  // namespace

uint32_t usageKeyHash(const std::string& key) {
    uint32_t hash = 2166136261u;
    for (unsigned char byte : key) {
        hash ^= byte;
        hash *= 16777619u;
    }
    return hash;
}

int32_t usageKeyHashSigned(const std::string& key) { return static_cast<int32_t>(usageKeyHash(key)); }

std::shared_ptr<UsageGlobalVariableStorage> UsageGlobalVariableStorage::sharedInstance() {
    std::lock_guard lock(storageMutex);
    auto& slot = storageSlot();
    if (!slot) slot = std::make_shared<UsageGlobalVariableStorage>();
    return slot;
}

void UsageGlobalVariableStorage::cleanup() {
    std::lock_guard lock(storageMutex);
    storageSlot().reset();
}

UsageGlobalVariableStorage::UsageGlobalVariableStorage() {
    if (const platform::MainBundle* bundle = UsageEnvironment::current().bundle) appVersion_ = bundle->version();
}

std::optional<std::string> UsageGlobalVariableStorage::savedResponseUrl() const {
    std::lock_guard lock(mutex_);
    return savedResponseUrl_;
}

std::optional<std::string> UsageGlobalVariableStorage::apiKey() const {
    std::lock_guard lock(mutex_);
    return apiKey_;
}

void UsageGlobalVariableStorage::setApiKey(const std::string& key) {
    std::string trimmed = key;
    std::erase(trimmed, ' ');
    UsageUtil::log(2, "Usage: Trim white space and use apiKey[{}]", trimmed);
    {
        std::lock_guard lock(mutex_);
        apiKey_ = trimmed;
    }
    initPersistentMap();
}

std::optional<UsageDate> UsageGlobalVariableStorage::pauseTime() const {
    std::lock_guard lock(mutex_);
    return pauseTime_;
}

void UsageGlobalVariableStorage::setPauseTime(std::optional<UsageDate> time) {
    std::lock_guard lock(mutex_);
    pauseTime_ = time;
}

std::optional<UsageDate> UsageGlobalVariableStorage::lastPageViewDate() const {
    std::lock_guard lock(mutex_);
    return lastPageViewDate_;
}

void UsageGlobalVariableStorage::setLastPageViewDate(std::optional<UsageDate> time) {
    std::lock_guard lock(mutex_);
    lastPageViewDate_ = time;
}

bool UsageGlobalVariableStorage::takePageView(UsageDate now) {
    std::lock_guard lock(mutex_);
    // Measured from the last view counted, so that views in quick succession
    // still count one in every 0.3 s instead of none after the first.
    bool counted = !lastPageViewDate_ || now - *lastPageViewDate_ > 0.3;
    if (counted) lastPageViewDate_ = now;
    return counted;
}

std::optional<std::string> UsageGlobalVariableStorage::appVersion() const {
    std::lock_guard lock(mutex_);
    return appVersion_;
}

void UsageGlobalVariableStorage::setAppVersion(std::optional<std::string> version) {
    std::lock_guard lock(mutex_);
    appVersion_ = std::move(version);
}

std::optional<std::string> UsageGlobalVariableStorage::userID() const {
    std::lock_guard lock(mutex_);
    return userID_;
}

void UsageGlobalVariableStorage::setUserID(std::optional<std::string> userID) {
    std::lock_guard lock(mutex_);
    userID_ = std::move(userID);
}

std::optional<std::string> UsageGlobalVariableStorage::gender() const {
    std::lock_guard lock(mutex_);
    return gender_;
}

void UsageGlobalVariableStorage::setGender(std::optional<std::string> gender) {
    std::lock_guard lock(mutex_);
    gender_ = std::move(gender);
}

std::map<std::string, std::vector<std::string>> UsageGlobalVariableStorage::launchOptions() const {
    std::lock_guard lock(mutex_);
    return launchOptions_;
}

void UsageGlobalVariableStorage::setLaunchOption(const std::string& key, std::vector<std::string> items) {
    std::lock_guard lock(mutex_);
    launchOptions_[key] = std::move(items);
}

std::vector<UsageOriginSet> UsageGlobalVariableStorage::originSets() const {
    std::lock_guard lock(mutex_);
    return originSets_;
}

bool UsageGlobalVariableStorage::recordOrigin(const std::string& name, const std::string& version,
                                              const std::vector<std::pair<std::string, std::string>>& parameters) {
    auto describeParameters = [&] {
        std::string text = "{";
        for (const auto& [key, value] : parameters) text += fmt::format(" {} = {};", key, value);
        return text + " }";
    };
    UsageUtil::log(2, "UsageGlobalVariableStorage: Attempting to record orgin new set with name: {} and parameters: {}",
                   name, describeParameters());
    if (static_cast<int64_t>(parameters.size()) + 1 > usage_limits::kOriginSetEntries) {
        UsageUtil::log(2,
                       "UsageGlobalVariableStorage: Attempting to record more than 10 parameters for orgin set with "
                       "name: {} and parameters: {}",
                       name, describeParameters());
        return false;
    }
    if (name.empty()) {
        UsageUtil::log(1, "UsageGlobalVariableStorage: Not logging Event eventName[{}] due to invalid eventName", name);
        return false;
    }
    UsageOriginSet set;
    set.originName = name;
    set.parameters.emplace_back("usageOriginVersion", version);
    for (const auto& parameter : parameters) {
        auto same = std::find_if(set.parameters.begin(), set.parameters.end(),
                                 [&](const auto& entry) { return entry.first == parameter.first; });
        if (same != set.parameters.end()) {
            same->second = parameter.second;
        } else {
            set.parameters.push_back(parameter);
        }
    }
    std::lock_guard lock(mutex_);
    auto earlier = std::find_if(originSets_.begin(), originSets_.end(),
                                [&](const UsageOriginSet& origin) { return origin.originName == name; });
    if (earlier != originSets_.end()) originSets_.erase(earlier);
    originSets_.push_back(std::move(set));
    return true;
}

std::shared_ptr<crash::UsageCrashReporter> UsageGlobalVariableStorage::usageCrashReporter() const {
    std::lock_guard lock(mutex_);
    return usageCrashReporter_;
}

void UsageGlobalVariableStorage::setUsageCrashReporter(std::shared_ptr<crash::UsageCrashReporter> reporter) {
    std::lock_guard lock(mutex_);
    usageCrashReporter_ = std::move(reporter);
}

std::map<std::string, std::string> UsageGlobalVariableStorage::persistentGlobalsMap() const {
    std::lock_guard lock(mutex_);
    return persistentGlobals_;
}

std::map<std::string, Bytes> UsageGlobalVariableStorage::persistentCookiesMap() const {
    std::lock_guard lock(mutex_);
    return persistentCookies_;
}

bool UsageGlobalVariableStorage::updatePersistentGlobal(const std::string& keyDigest, const std::string& valueDigest) {
    std::lock_guard lock(mutex_);
    auto found = persistentGlobals_.find(keyDigest);
    if (found != persistentGlobals_.end() && found->second == valueDigest) return false;
    persistentGlobals_[keyDigest] = valueDigest;
    return true;
}

bool UsageGlobalVariableStorage::updateCookie(const std::string& key, const Bytes& data) {
    std::lock_guard lock(mutex_);
    if (data.empty()) {
        persistentCookies_.erase(key);
        return true;
    }
    auto found = persistentCookies_.find(key);
    if (found != persistentCookies_.end()) {
        if (found->second == data) return false;
        found->second = data;
        return true;
    }
    if (persistentCookies_.size() >= static_cast<size_t>(usage_limits::kCookieMapEntries)) return false;
    persistentCookies_.emplace(key, data);
    return true;
}

void UsageGlobalVariableStorage::clearCookies() {
    std::lock_guard lock(mutex_);
    persistentCookies_.clear();
}

std::filesystem::path UsageGlobalVariableStorage::persistentGlobalsFilePath() const {
    return getPersistentFilePath("usagePropertiesData");
}

std::filesystem::path UsageGlobalVariableStorage::persistentCookiesFilePath() const {
    return getPersistentFilePath("usageCkData");
}

std::filesystem::path UsageGlobalVariableStorage::getPersistentFilePath(const std::string& mapName) const {
    std::filesystem::path path;
    try {
        path = UsageUtil::filePathDirectory() /
               fmt::format(".{}{}_{}.archive", mapName, usageKeyHashSigned(apiKey().value_or("")), kUsageAgentVersion);
        std::error_code error;
        if (!std::filesystem::exists(path, error)) {
            UsageUtil::archiveObjectToFile(ArchiveValue(ArchiveValue::Dictionary{}), path);
        }
        UsageUtil::addSkipBackupAttributeToItemAtURL(path);
        UsageUtil::log(2, "{}: {}", "-[UsageGlobalVariableStorage getPersistentFilePath:]", path.string());
    } catch (const std::exception& exception) {
        UsageUtil::log(2, "{}: exception {}", "-[UsageGlobalVariableStorage getPersistentFilePath:]", exception.what());
    }
    return path;
}

void UsageGlobalVariableStorage::initPersistentMap() {
    std::filesystem::path globalsFile = persistentGlobalsFilePath();
    std::filesystem::path cookiesFile = persistentCookiesFilePath();
    std::map<std::string, std::string> globals;
    if (auto value = UsageUtil::safeUnarchiveObjectWithFile(globalsFile)) {
        if (const auto* entries = value->get<ArchiveValue::Dictionary>()) {
            for (const auto& [key, item] : *entries) {
                if (const auto* text = item.get<std::string>()) globals.emplace(key, *text);
            }
        }
    }
    std::map<std::string, Bytes> cookies;
    if (auto value = UsageUtil::safeUnarchiveObjectWithFile(cookiesFile)) {
        if (const auto* entries = value->get<ArchiveValue::Dictionary>()) {
            for (const auto& [key, item] : *entries) {
                if (const auto* data = item.get<Bytes>()) cookies.emplace(key, *data);
            }
        }
    }
    std::lock_guard lock(mutex_);
    persistentGlobals_ = std::move(globals);
    persistentCookies_ = std::move(cookies);
}

namespace {

bool writeMap(const ArchiveValue& map, const std::filesystem::path& file) {
    if (UsageUtil::archiveObjectToFile(map, file)) return true;
    UsageUtil::log(2, "{}: map not saved to disk at path[{}]", "-[UsageGlobalVariableStorage writeDictionary:toFile:]",
                   file.string());
    return false;
}

}  // namespace

bool UsageGlobalVariableStorage::writeDictionary(const std::map<std::string, std::string>& map,
                                                 const std::filesystem::path& file) const {
    std::lock_guard lock(saveMutex_);
    return writeMap(archived(map), file);
}

void UsageGlobalVariableStorage::savePersistentGlobalsToDisk() const {
    std::filesystem::path globalsFile = persistentGlobalsFilePath();
    std::filesystem::path cookiesFile = persistentCookiesFilePath();
    // The maps are read under the save lock: of two saves, the later one's maps
    // reach the files last.
    std::lock_guard lock(saveMutex_);
    writeMap(archived(persistentGlobalsMap()), globalsFile);
    writeMap(archived(persistentCookiesMap()), cookiesFile);
}

UsageEnvelopeSnapshot UsageGlobalVariableStorage::envelopeSnapshot() const {
    std::lock_guard lock(mutex_);
    return UsageEnvelopeSnapshot{launchOptions_, originSets_, persistentCookies_};
}

}  // namespace strombel::analytics
