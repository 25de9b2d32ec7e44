#include "analytics/usage_persistent_state.h"

#include "analytics/usage_util.h"
#include "platform/keychain.h"
#include "platform/main_bundle.h"
#include "platform/user_defaults.h"

namespace strombel::analytics {

namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

platform::Keychain::Query queryFor(const std::string& service, const std::string& key) {
    platform::Keychain::Query query;
    query.service = service;
    if (!key.empty()) {
        query.account = bytesOf(key);
        query.generic = bytesOf(key);
    }
    return query;
}

constexpr const char* kAccessibleWhenUnlocked = "ak";

// An archived value as a log line shows it: texts as they are, lists in
// parentheses, maps in braces, bytes in hexadecimal, an object by its class.
std::string describeArchived(const ArchiveValue& value) {
    struct Describe {
        std::string operator()(std::monostate) const { return "(null)"; }
        std::string operator()(bool flag) const { return flag ? "1" : "0"; }
        std::string operator()(int64_t number) const { return std::to_string(number); }
        std::string operator()(double number) const { return fmt::format("{}", number); }
        std::string operator()(const std::string& text) const { return text; }
        std::string operator()(const Bytes& bytes) const {
            std::string text = "<";
            for (uint8_t byte : bytes) text += fmt::format("{:02x}", byte);
            return text + ">";
        }
        std::string operator()(const ArchiveDate& date) const { return describeDate(date.seconds); }
        std::string operator()(const ArchiveValue::Array& items) const {
            std::string text = "(";
            for (size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + describeArchived(items[i]);
            return text + ")";
        }
        std::string operator()(const ArchiveValue::Dictionary& entries) const {
            std::string text = "{";
            for (const auto& [key, entry] : entries) text += fmt::format(" {} = {};", key, describeArchived(entry));
            return text + " }";
        }
        std::string operator()(const ArchiveValue::Object& object) const { return "<" + object.className + ">"; }
    };
    return std::visit(Describe{}, value.storage());
}

std::mutex fileCacheMutex;
std::shared_ptr<UsageFileCache>& fileCacheSlot() {
    static std::shared_ptr<UsageFileCache> cache;
    return cache;
}

}  // namespace

std::unique_ptr<UsageKeychainWrapper> UsageKeychainWrapper::keychainWrapperWithIdentifier(const std::string& identifier) {
    if (identifier.empty()) return nullptr;
    std::string service;
    if (const platform::MainBundle* bundle = UsageEnvironment::current().bundle) {
        service = bundle->identifier().value_or("");
    }
    service += identifier;
    return std::unique_ptr<UsageKeychainWrapper>(new UsageKeychainWrapper(service));
}

std::optional<Bytes> UsageKeychainWrapper::dataForKey(const std::string& key) const {
    platform::Keychain* keychain = UsageEnvironment::current().keychain;
    if (!keychain) return std::nullopt;
    Bytes value;
    if (keychain->copyMatching(queryFor(identifier_, key), value) != platform::Keychain::kSuccess) return std::nullopt;
    return value;
}

std::optional<std::string> UsageKeychainWrapper::stringForKey(const std::string& key) const {
    std::optional<Bytes> data = dataForKey(key);
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
}

std::optional<ArchiveValue> UsageKeychainWrapper::objectForKey(const std::string& key) const {
    std::optional<Bytes> data = dataForKey(key);
    if (!data) return std::nullopt;
    platform::Result<ArchiveValue> value = KeyedArchive::decode(*data);
    if (!value) return std::nullopt;
    return std::move(value).value();
}

bool UsageKeychainWrapper::setData(const Bytes& data, const std::string& key) {
    platform::Keychain* keychain = UsageEnvironment::current().keychain;
    if (key.empty() || !keychain) return false;
    int32_t status = keychain->add(queryFor(identifier_, key), data, kAccessibleWhenUnlocked);
    if (status == platform::Keychain::kSuccess) return true;
    if (status == platform::Keychain::kDuplicateItem) return updateValueData(data, key);
    return false;
}

bool UsageKeychainWrapper::setString(const std::string& text, const std::string& key) {
    return setData(bytesOf(text), key);
}

bool UsageKeychainWrapper::setObject(const ArchiveValue& object, const std::string& key) {
    if (object.isNil() || key.empty()) return false;
    return setData(KeyedArchive::encode(object), key);
}

bool UsageKeychainWrapper::updateValueData(const Bytes& data, const std::string& key) {
    platform::Keychain* keychain = UsageEnvironment::current().keychain;
    if (!keychain) return false;
    return keychain->update(queryFor(identifier_, key), data) == platform::Keychain::kSuccess;
}

void UsageKeychainWrapper::removeObjectForKey(const std::string& key) {
    if (platform::Keychain* keychain = UsageEnvironment::current().keychain) {
        (void)keychain->remove(queryFor(identifier_, key));
    }
}

void UsageFileCache::createInstanceWithApiKey(const std::string& apiKey, const std::string& agentVersion) {
    std::lock_guard lock(fileCacheMutex);
    if (!fileCacheSlot()) fileCacheSlot() = std::make_shared<UsageFileCache>(apiKey, agentVersion);
}

std::shared_ptr<UsageFileCache> UsageFileCache::instance() {
    std::lock_guard lock(fileCacheMutex);
    return fileCacheSlot();
}

void UsageFileCache::cleanup() {
    std::lock_guard lock(fileCacheMutex);
    fileCacheSlot().reset();
}

std::optional<std::filesystem::path> UsageFileCache::createFilePath(const std::string& prefix,
                                                                    bool forCurentAgentVersion) const {
    // Every part of the name is checked: the API key comes from the application too.
    auto leavesFolder = [](const std::string& part) {
        return part.find('/') != std::string::npos || part.find("..") != std::string::npos ||
               part.find('\0') != std::string::npos;
    };
    if (leavesFolder(prefix) || leavesFolder(apiKey_) || leavesFolder(agentVersion_)) {
        UsageUtil::log(2, "UsageFileCache: prefix[{}] refused", prefix);
        return std::nullopt;
    }
    return UsageUtil::filePathDirectory() /
           fmt::format("usageCache_{}_{}_{}.archive", prefix, apiKey_, forCurentAgentVersion ? agentVersion_ : "");
}

std::optional<std::filesystem::path> UsageFileCache::save(const ArchiveValue& object, const std::string& prefix,
                                                          bool forCurentAgentVersion) const {
    std::optional<std::filesystem::path> path = createFilePath(prefix, forCurentAgentVersion);
    if (!path || !UsageUtil::archiveObjectToFile(object, *path)) {
        UsageUtil::log(2, "UsageFileCache: object[{}] cannot be saved to disk", describeArchived(object));
        return std::nullopt;
    }
    return path;
}

std::optional<ArchiveValue> UsageFileCache::get(const std::string& prefix, bool forCurentAgentVersion) const {
    std::optional<std::filesystem::path> path = createFilePath(prefix, forCurentAgentVersion);
    std::error_code error;
    if (!path || !std::filesystem::exists(*path, error)) return std::nullopt;
    return UsageUtil::safeUnarchiveObjectWithFile(*path);
}

bool UsageFileCache::remove(const std::string& prefix, bool forCurentAgentVersion) const {
    std::optional<std::filesystem::path> path = createFilePath(prefix, forCurentAgentVersion);
    std::error_code error;
    return path && std::filesystem::remove(*path, error);
}

UsageAutoIncrement& UsageAutoIncrement::instance() {
    static UsageAutoIncrement counters;
    return counters;
}

int32_t UsageAutoIncrement::nextCountFor(int32_t kind) {
    std::lock_guard lock(mutex_);
    int32_t& counter = counters_[kind];
    counter = counter == INT32_MAX ? 1 : counter + 1;
    return counter;
}

void UsageAutoIncrement::resetAll() {
    std::lock_guard lock(mutex_);
    counters_.clear();
}

UsageSharedData& UsageSharedData::instance() {
    static UsageSharedData data;
    return data;
}

void UsageSharedData::storeAppCloudUserID(const std::optional<std::string>& userID) {
    platform::UserDefaults* defaults = UsageEnvironment::current().userDefaults;
    if (!defaults) return;
    if (userID && !userID->empty()) {
        defaults->setString("com.ferrule.appclouduser", *userID);
    } else {
        defaults->removeObject("com.ferrule.appclouduser");
    }
}

std::optional<std::string> UsageSharedData::storedAppCloudUserID() const {
    platform::UserDefaults* defaults = UsageEnvironment::current().userDefaults;
    if (!defaults || !defaults->hasObject("com.ferrule.appclouduser")) return std::nullopt;
    return defaults->stringForKey("com.ferrule.appclouduser");
}

}  // namespace strombel::analytics
