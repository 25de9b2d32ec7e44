#pragma once

// The small stores beside the settings store: keychain items, the file cache,
// the id counters and the app-cloud user id in the user defaults.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/keyed_archive.h"

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// Generic-password items of one service: the main bundle's identifier with the
/// given identifier appended ("org.strombel.Strombelcom.ferrule.analytics").
/// Values of objects are keyed archives.
class UsageKeychainWrapper {
public:
    /// Null for an empty identifier.
    static std::unique_ptr<UsageKeychainWrapper> keychainWrapperWithIdentifier(const std::string& identifier);

    const std::string& identifier() const { return identifier_; }

    std::optional<Bytes> dataForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<ArchiveValue> objectForKey(const std::string& key) const;
    /// Adds the item, or updates it when one exists; false for an empty key.
    bool setData(const Bytes& data, const std::string& key);
    bool setString(const std::string& text, const std::string& key);
    bool setObject(const ArchiveValue& object, const std::string& key);
    bool updateValueData(const Bytes& data, const std::string& key);
    void removeObjectForKey(const std::string& key);

private:
    explicit UsageKeychainWrapper(std::string identifier) : identifier_(std::move(identifier)) {}
    std::string identifier_;
};

/// The service identifier of the analytics keychain items.
inline constexpr const char* kUsageKeychainIdentifier = "com.ferrule.analytics";

/// One cached object per prefix in the analytics folder. Nothing in the client
/// uses it; it is kept for applications that do. A prefix (or API key) holding
/// "/" or ".." is refused: the file would leave the folder.
class UsageFileCache {
public:
    static void createInstanceWithApiKey(const std::string& apiKey, const std::string& agentVersion);
    static std::shared_ptr<UsageFileCache> instance();
    static void cleanup();

    UsageFileCache(std::string apiKey, std::string agentVersion)
        : apiKey_(std::move(apiKey)), agentVersion_(std::move(agentVersion)) {}

    /// The path, or nothing for a refused prefix.
    std::optional<std::filesystem::path> createFilePath(const std::string& prefix, bool forCurentAgentVersion) const;
    std::optional<std::filesystem::path> save(const ArchiveValue& object, const std::string& prefix,
                                              bool forCurentAgentVersion = true) const;
    std::optional<ArchiveValue> get(const std::string& prefix, bool forCurentAgentVersion = true) const;
    bool remove(const std::string& prefix, bool forCurentAgentVersion = true) const;

private:
    std::string apiKey_;
    std::string agentVersion_;
};

/// Counters by kind: 1 error ids, 2 event ids.
class UsageAutoIncrement {
public:
    static UsageAutoIncrement& instance();
    int32_t nextCountFor(int32_t kind);
    void resetAll();

private:
    std::mutex mutex_;
    std::map<int32_t, int32_t> counters_;
};

/// The app-cloud user id under "com.ferrule.appclouduser" in the user defaults.
class UsageSharedData {
public:
    static UsageSharedData& instance();
    void storeAppCloudUserID(const std::optional<std::string>& userID);
    std::optional<std::string> storedAppCloudUserID() const;
};

}  // namespace strombel::analytics
