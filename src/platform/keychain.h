#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace strombel::platform {

/// Generic-password items kept in a SQLite file of the sandbox's Library folder,
/// readable by the user alone (mode 0600). An item is named by its service and
/// account; it carries a generic attribute, an accessibility class and its value.
/// Each change is one transaction, so a crash keeps the file as it was before or
/// after the change. Answers are the platform's status codes. Safe from any thread.
class Keychain {
public:
    using Bytes = std::vector<uint8_t>;

    static constexpr int32_t kSuccess = 0;
    static constexpr int32_t kIO = -36;
    static constexpr int32_t kParam = -50;
    static constexpr int32_t kDuplicateItem = -25299;
    static constexpr int32_t kItemNotFound = -25300;
    static constexpr int32_t kNotAvailable = -25291;

    /// Which items an operation means: the service always; the account and the
    /// generic attribute only when given.
    struct Query {
        std::string service;
        std::optional<Bytes> account;
        std::optional<Bytes> generic;
    };

    /// Opens (or creates, mode 0600) the keychain file. A file that cannot be
    /// opened leaves every operation answering `kNotAvailable`.
    explicit Keychain(std::filesystem::path file);
    ~Keychain();
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    /// The program's keychain: "keychain.sqlite" in the shared sandbox's Library folder.
    static Keychain& shared();
    static void setShared(std::unique_ptr<Keychain> keychain);

    /// Adds an item; `kDuplicateItem` when one with the same service and account exists.
    int32_t add(const Query& query, const Bytes& value, const std::string& accessible);
    /// The value of the first matching item, or `kItemNotFound`.
    int32_t copyMatching(const Query& query, Bytes& value) const;
    /// Replaces the value of every matching item; `kItemNotFound` when none matches.
    int32_t update(const Query& query, const Bytes& value);
    /// Deletes every matching item; `kItemNotFound` when none matches.
    int32_t remove(const Query& query);

    const std::filesystem::path& file() const { return file_; }

private:
    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    sqlite3* database_ = nullptr;
};

}  // namespace strombel::platform
