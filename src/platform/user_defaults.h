#pragma once

#include <condition_variable>
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

#include "platform/worker.h"

struct sqlite3;

namespace strombel::platform {

/// The user's settings: typed values under plain keys, kept in a small SQLite
/// file. Every change is written through: before the setter returns it is in a
/// log beside the file (one small write that a killed program keeps), and a
/// writer thread of its own puts it in the file in a transaction, so that the
/// caller never waits for the disk and a crash never loses or half-writes what
/// was stored. Changes made while a write is under way (a slider's drag) go in
/// the next write together. Reading a key of another type converts where that
/// is meaningful (numbers among themselves, numeric and "YES"/"true" strings)
/// and answers an empty value otherwise. Safe from any thread.
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

    /// Waits until every change made so far has been tried on the file, and
    /// what that changed has been told to the problem handler; true when every
    /// write so far reached it.
    bool synchronize();
    /// Writes the changes the file refused so far (a full or failing disk), and
    /// returns once that was tried and told; the next change writes them too. Nothing to
    /// do when all reached the file.
    void writeUnwritten();
    /// The last failure, empty when none.
    std::string lastError() const;
    /// Why changes do not reach the file now; empty while they do.
    std::string writeProblem() const;
    /// Called when changes stop reaching the file (with why) and when they reach
    /// it again (with an empty text); on the thread that made the change or on
    /// the writer thread, never with the settings locked. Once setProblemHandler
    /// returns, the handler it replaced runs no more.
    using ProblemHandler = std::function<void(const std::string& problem)>;
    void setProblemHandler(ProblemHandler handler);
    /// The settings file.
    const std::filesystem::path& file() const { return file_; }
    /// The log beside it of the changes not yet in it.
    std::filesystem::path changeLogFile() const;
    /// How many transactions have written changes to the file: a drag's many
    /// values take fewer.
    uint64_t writesToFile() const;
    /// Where a damaged file was set aside at open, empty when none was.
    std::filesystem::path setAsidePath() const;

private:
    /// A change as it goes to the file: the value, or none for a removal.
    using Row = std::pair<std::string, std::optional<Stored>>;

    void open();
    /// Reads every value; on failure answers SQLite's code.
    int load();
    /// Reads what a file the disk will not let us write holds, touching nothing.
    void loadUntouched();
    void store(const std::string& key, Stored value);
    /// Opens the change log and takes in the changes a killed run left in it.
    void openChangeLog();
    /// Records a change of `key` (as values_ holds it now): in the log, and for the writer.
    std::optional<std::string> changed(const std::string& key);
    void appendToChangeLog(const std::string& key);
    /// Rewrites the log with the changes not yet in the file alone.
    void compactChangeLog();
    /// Stops logging and removes the log (it could no longer be kept true).
    void dropChangeLog();
    /// Asks the writer for a write and waits until it has been tried (mutex_ held by `lock`).
    void writeAndWait(std::unique_lock<std::mutex>& lock);
    void writerLoop();
    /// Writes the rows in one transaction (the writer thread, mutex_ not held); empty or why not.
    std::string writeRows(const std::vector<Row>& rows);
    bool writeRow(const Row& row);
    std::optional<std::string> fail(const std::string& message);
    std::optional<std::string> succeeded();
    void tell(const std::optional<std::string>& change);

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    sqlite3* database_ = nullptr;  // used by the writer once it runs
    std::map<std::string, Stored> values_;
    /// Keys changed (or removed) whose change is not in the file yet.
    std::set<std::string> unwritten_;
    std::string lastError_;
    std::string writeProblem_;
    bool writesFailed_ = false;
    std::filesystem::path setAside_;
    int changeLog_ = -1;
    size_t changeLogSize_ = 0;

    // The writer: `requested_` counts the writes asked for, `tried_` the ones tried.
    std::condition_variable wake_, triedChanged_;
    uint64_t requested_ = 0, tried_ = 0;
    uint64_t writesToFile_ = 0;
    bool stopping_ = false;
    Worker writer_;

    std::mutex handlerMutex_;  // held while the handler runs
    ProblemHandler problemHandler_;
};

}  // namespace strombel::platform
