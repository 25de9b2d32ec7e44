#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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
    /// A file the disk will not let us write (full, read-only, failing) is not
    /// damaged: it is kept as it is, what it holds is read, and changes last
    /// until the program ends (`writeProblem()` says why).
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
    /// Writes the changes the file refused so far (a full or failing disk); the
    /// next change writes them too. Nothing to do when all reached the file.
    void writeUnwritten();
    /// The last failure, empty when none.
    std::string lastError() const;
    /// Why changes do not reach the file now; empty while they do.
    std::string writeProblem() const;
    /// Called when changes stop reaching the file (with why) and when they reach
    /// it again (with an empty text); on the thread that made the change, never
    /// with the settings locked.
    using ProblemHandler = std::function<void(const std::string& problem)>;
    void setProblemHandler(ProblemHandler handler);
    /// The settings file.
    const std::filesystem::path& file() const { return file_; }
    /// Where a damaged file was set aside at open, empty when none was.
    std::filesystem::path setAsidePath() const;

private:
    void open();
    /// Reads every value; on failure answers SQLite's code.
    int load();
    /// Reads what a file the disk will not let us write holds, touching nothing.
    void loadUntouched();
    void store(const std::string& key, Stored value);
    /// The change to the write problem to tell, if any (mutex_ held).
    std::optional<std::string> write(const std::string& key, const Stored& value);
    std::optional<std::string> writeUnwrittenLocked();
    /// Writes (or deletes) one key's row as values_ holds it; false on failure.
    bool writeRow(const std::string& key);
    std::optional<std::string> fail(const std::string& message);
    std::optional<std::string> succeeded();
    void tell(const std::optional<std::string>& change);

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    sqlite3* database_ = nullptr;
    std::map<std::string, Stored> values_;
    /// Keys changed (or removed) whose change is not in the file yet.
    std::set<std::string> unwritten_;
    std::string lastError_;
    std::string writeProblem_;
    bool writesFailed_ = false;
    ProblemHandler problemHandler_;
    std::filesystem::path setAside_;
};

}  // namespace strombel::platform
