#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

namespace strombel::platform {

/// The user's settings: typed values under plain keys, kept in a small SQLite
/// file. Every change is written through in its own transaction before the setter
/// returns, so a crash never loses or half-writes what was stored before. Reading
/// a key of another type converts where that is meaningful (numbers among
/// themselves, numeric and "YES"/"true" strings) and answers an empty value
/// otherwise. Safe from any thread.
class UserDefaults {
public:
    using Data = std::vector<uint8_t>;
    using StringArray = std::vector<std::string>;
    using Stored = std::variant<bool, int64_t, double, std::string, StringArray, Data>;

    /// Opens (or creates) the settings file. A file that cannot be read as a
    /// settings store is renamed aside with a timestamp and a fresh one is made.
    explicit UserDefaults(std::filesystem::path file);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    /// The program's settings, in the shared sandbox's preferences folder.
    static UserDefaults& shared();
    static void setShared(std::unique_ptr<UserDefaults> defaults);

    bool hasObject(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::string stringForKey(const std::string& key) const;
    StringArray stringArrayForKey(const std::string& key) const;
    Data dataForKey(const std::string& key) const;

    void setBool(const std::string& key, bool value);
    void setInteger(const std::string& key, int64_t value);
    void setDouble(const std::string& key, double value);
    void setString(const std::string& key, const std::string& value);
    void setStringArray(const std::string& key, const StringArray& value);
    void setData(const std::string& key, const Data& value);
    void removeObject(const std::string& key);

    /// True when every write so far reached the file.
    bool synchronize() const;
    /// The last failure, empty when none.
    std::string lastError() const;
    /// Where a damaged file was set aside at open, empty when none was.
    std::filesystem::path setAsidePath() const;

private:
    void open();
    bool load();
    void write(const std::string& key, const Stored& value);
    void fail(const std::string& message);

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    sqlite3* database_ = nullptr;
    std::map<std::string, Stored> values_;
    std::string lastError_;
    bool writesFailed_ = false;
    std::filesystem::path setAside_;
};

}  // namespace strombel::platform
