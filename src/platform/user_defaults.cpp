#include "platform/user_defaults.h"

#include <sqlite3.h>

#include <charconv>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/sandbox.h"
#include "platform/set_aside.h"
#include "platform/sqlite_failure.h"

namespace strombel::platform {
namespace {

enum class Kind : int { Bool = 0, Integer = 1, Double = 2, String = 3, StringArray = 4, Data = 5 };

std::mutex sharedMutex;
std::unique_ptr<UserDefaults>& sharedSlot() {
    static std::unique_ptr<UserDefaults> defaults;
    return defaults;
}

// String arrays are stored as a blob of (u32 little-endian length, bytes) runs.
std::string packArray(const UserDefaults::StringArray& array) {
    std::string packed;
    for (const std::string& item : array) {
        uint32_t length = static_cast<uint32_t>(item.size());
        for (int shift = 0; shift < 32; shift += 8) packed.push_back(static_cast<char>((length >> shift) & 0xff));
        packed += item;
    }
    return packed;
}

bool unpackArray(const unsigned char* bytes, size_t size, UserDefaults::StringArray& array) {
    size_t at = 0;
    while (at < size) {
        if (size - at < 4) return false;
        uint32_t length = 0;
        for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
        at += 4;
        if (size - at < length) return false;
        array.emplace_back(reinterpret_cast<const char*>(bytes + at), length);
        at += length;
    }
    return true;
}

std::optional<double> parseNumber(const std::string& text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) { open(); }

UserDefaults::~UserDefaults() {
    if (database_) sqlite3_close(database_);
}

UserDefaults& UserDefaults::shared() {
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) {
        Sandbox& sandbox = Sandbox::shared();
        sandbox.createFolders();
        slot = std::make_unique<UserDefaults>(sandbox.preferences() / "defaults.sqlite");
    }
    return *slot;
}

void UserDefaults::setShared(std::unique_ptr<UserDefaults> defaults) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(defaults);
}

void UserDefaults::open() {
    std::error_code ignored;
    if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ignored);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int code = sqlite3_open(file_.c_str(), &database_);
        if (code == SQLITE_OK && (code = load()) == SQLITE_OK) return;
        std::string reason = database_ ? sqlite3_errmsg(database_) : sqlite3_errstr(code);
        if (database_) sqlite3_close(database_);
        database_ = nullptr;
        values_.clear();
        if (!std::filesystem::exists(file_, ignored)) {
            fail("the settings file " + file_.string() + " cannot be made (" + reason + ")");
            return;
        }
        if (attempt == 1 || !sqliteCodeMeansDamage(code)) {
            // The disk refuses, not the file: keep it as it is, and run on what it holds.
            loadUntouched();
            fail("the settings file " + file_.string() + " cannot be written (" + reason + ")");
            return;
        }
        // The file exists but is not a settings store: keep it for inspection, start afresh.
        std::optional<std::filesystem::path> aside = setFileAside(file_, "damaged");
        if (!aside) {
            fail("the settings file " + file_.string() + " is damaged (" + reason + ") and cannot be set aside");
            return;
        }
        setAside_ = *aside;
    }
}

void UserDefaults::loadUntouched() {
    database_ = openSqliteUntouched(file_.string());
    if (database_ && load() != SQLITE_OK) values_.clear();
    if (database_) sqlite3_close(database_);
    database_ = nullptr;
}

int UserDefaults::load() {
    // A file opened untouched is only read; anything else is made ready for writing.
    if (!sqlite3_db_readonly(database_, "main")) {
        const char* setup =
            "PRAGMA journal_mode=WAL;"
            "PRAGMA synchronous=FULL;"
            "CREATE TABLE IF NOT EXISTS defaults (key TEXT PRIMARY KEY NOT NULL, kind INTEGER NOT NULL, value);";
        if (sqlite3_exec(database_, setup, nullptr, nullptr, nullptr) != SQLITE_OK)
            return sqlite3_extended_errcode(database_);
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, "SELECT key, kind, value FROM defaults", -1, &statement, nullptr) !=
        SQLITE_OK) {
        return sqlite3_extended_errcode(database_);
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        std::string key(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
        auto kind = static_cast<Kind>(sqlite3_column_int(statement, 1));
        switch (kind) {
            case Kind::Bool: values_[key] = sqlite3_column_int64(statement, 2) != 0; break;
            case Kind::Integer: values_[key] = static_cast<int64_t>(sqlite3_column_int64(statement, 2)); break;
            case Kind::Double: values_[key] = sqlite3_column_double(statement, 2); break;
            case Kind::String: {
                const unsigned char* text = sqlite3_column_text(statement, 2);
                values_[key] = std::string(text ? reinterpret_cast<const char*>(text) : "");
                break;
            }
            case Kind::StringArray: {
                StringArray array;
                auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, 2));
                if (unpackArray(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, 2)), array)) {
                    values_[key] = std::move(array);
                }
                break;
            }
            case Kind::Data: {
                auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 2));
                int size = sqlite3_column_bytes(statement, 2);
                values_[key] = Data(bytes, bytes + size);
                break;
            }
            default: break;  // a kind from a later version: leave it alone
        }
    }
    const int code = step == SQLITE_DONE ? SQLITE_OK : sqlite3_extended_errcode(database_);
    sqlite3_finalize(statement);
    return code;
}

std::optional<std::string> UserDefaults::fail(const std::string& message) {
    lastError_ = message;
    const bool wasFailing = writesFailed_;
    writesFailed_ = true;
    // An open that failed says why; a later write failing for it adds nothing.
    if (wasFailing) return std::nullopt;
    writeProblem_ = message;
    return writeProblem_;
}

std::optional<std::string> UserDefaults::succeeded() {
    if (!writesFailed_) return std::nullopt;
    writesFailed_ = false;
    writeProblem_.clear();
    return std::string();
}

void UserDefaults::tell(const std::optional<std::string>& change) {
    if (!change) return;
    ProblemHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = problemHandler_;
    }
    if (handler) handler(*change);
}

void UserDefaults::setProblemHandler(ProblemHandler handler) {
    std::lock_guard lock(mutex_);
    problemHandler_ = std::move(handler);
}

void UserDefaults::store(const std::string& key, Stored value) {
    std::optional<std::string> change;
    {
        std::lock_guard lock(mutex_);
        change = write(key, value);
    }
    tell(change);
}

bool UserDefaults::writeRow(const std::string& key) {
    // Called with mutex_ held, inside a transaction.
    const auto found = values_.find(key);
    sqlite3_stmt* statement = nullptr;
    const char* sql = found == values_.end() ? "DELETE FROM defaults WHERE key = ?"
                                             : "INSERT OR REPLACE INTO defaults (key, kind, value) VALUES (?, ?, ?)";
    if (sqlite3_prepare_v2(database_, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    if (found == values_.end()) {
        sqlite3_bind_text(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        const bool done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_finalize(statement);
        return done;
    }
    const Stored& value = found->second;
    sqlite3_bind_text(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    std::string packed;
    std::visit(
        [&](const auto& item) {
            using T = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<T, bool>) {
                sqlite3_bind_int(statement, 2, static_cast<int>(Kind::Bool));
                sqlite3_bind_int64(statement, 3, item ? 1 : 0);
            } else if constexpr (std::is_same_v<T, int64_t>) {
                sqlite3_bind_int(statement, 2, static_cast<int>(Kind::Integer));
                sqlite3_bind_int64(statement, 3, item);
            } else if constexpr (std::is_same_v<T, double>) {
                sqlite3_bind_int(statement, 2, static_cast<int>(Kind::Double));
                sqlite3_bind_double(statement, 3, item);
            } else if constexpr (std::is_same_v<T, std::string>) {
                sqlite3_bind_int(statement, 2, static_cast<int>(Kind::String));
                sqlite3_bind_text(statement, 3, item.data(), static_cast<int>(item.size()), SQLITE_TRANSIENT);
            } else if constexpr (std::is_same_v<T, StringArray>) {
                sqlite3_bind_int(statement, 2, static_cast<int>(Kind::StringArray));
                packed = packArray(item);
                sqlite3_bind_blob(statement, 3, packed.data(), static_cast<int>(packed.size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_int(statement, 2, static_cast<int>(Kind::Data));
                sqlite3_bind_blob(statement, 3, item.data(), static_cast<int>(item.size()), SQLITE_TRANSIENT);
            }
        },
        value);
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return done;
}

std::optional<std::string> UserDefaults::write(const std::string& key, const Stored& value) {
    // Called with mutex_ held.
    values_[key] = value;
    unwritten_.insert(key);
    return writeUnwrittenLocked();
}

std::optional<std::string> UserDefaults::writeUnwrittenLocked() {
    // Called with mutex_ held. Every change not yet in the file goes in one
    // transaction: the one just made, and those a full or failing disk refused.
    if (!database_) return fail("settings not saved: the settings file cannot be written");
    bool written = sqlite3_exec(database_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (auto key = unwritten_.begin(); written && key != unwritten_.end(); ++key) written = writeRow(*key);
    written = written && sqlite3_exec(database_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!written) {
        const std::string why = sqlite3_errmsg(database_);
        if (!sqlite3_get_autocommit(database_)) sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
        return fail("settings not saved: " + why);
    }
    unwritten_.clear();
    return succeeded();
}

void UserDefaults::writeUnwritten() {
    std::optional<std::string> change;
    {
        std::lock_guard lock(mutex_);
        if (!unwritten_.empty()) change = writeUnwrittenLocked();
    }
    tell(change);
}

bool UserDefaults::hasObject(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return values_.count(key) != 0;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return false;
    const Stored& value = found->second;
    if (auto* flag = std::get_if<bool>(&value)) return *flag;
    if (auto* integer = std::get_if<int64_t>(&value)) return *integer != 0;
    if (auto* real = std::get_if<double>(&value)) return *real != 0.0;
    if (auto* text = std::get_if<std::string>(&value)) {
        if (!text->empty() && (text->front() == 'Y' || text->front() == 'y' || text->front() == 'T' ||
                               text->front() == 't')) {
            return true;
        }
        auto number = parseNumber(*text);
        return number && *number != 0.0;
    }
    return false;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return 0;
    const Stored& value = found->second;
    if (auto* flag = std::get_if<bool>(&value)) return *flag ? 1 : 0;
    if (auto* integer = std::get_if<int64_t>(&value)) return *integer;
    if (auto* real = std::get_if<double>(&value)) {
        if (!(*real > -9.2e18 && *real < 9.2e18)) return 0;
        return static_cast<int64_t>(*real);
    }
    if (auto* text = std::get_if<std::string>(&value)) {
        auto number = parseNumber(*text);
        if (!number || !(*number > -9.2e18 && *number < 9.2e18)) return 0;
        return static_cast<int64_t>(*number);
    }
    return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return 0;
    const Stored& value = found->second;
    if (auto* flag = std::get_if<bool>(&value)) return *flag ? 1 : 0;
    if (auto* integer = std::get_if<int64_t>(&value)) return static_cast<double>(*integer);
    if (auto* real = std::get_if<double>(&value)) return *real;
    if (auto* text = std::get_if<std::string>(&value)) return parseNumber(*text).value_or(0.0);
    return 0;
}

std::string UserDefaults::stringForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return {};
    const Stored& value = found->second;
    if (auto* text = std::get_if<std::string>(&value)) return *text;
    if (auto* integer = std::get_if<int64_t>(&value)) return std::to_string(*integer);
    if (auto* flag = std::get_if<bool>(&value)) return *flag ? "1" : "0";
    if (auto* real = std::get_if<double>(&value)) {
        char buffer[32];
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *real);
        return error == std::errc() ? std::string(buffer, end) : std::string();
    }
    return {};
}

UserDefaults::StringArray UserDefaults::stringArrayForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return {};
    if (auto* array = std::get_if<StringArray>(&found->second)) return *array;
    return {};
}

UserDefaults::Data UserDefaults::dataForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) return {};
    if (auto* data = std::get_if<Data>(&found->second)) return *data;
    if (auto* text = std::get_if<std::string>(&found->second)) return Data(text->begin(), text->end());
    return {};
}

void UserDefaults::setBool(const std::string& key, bool value) { store(key, value); }

void UserDefaults::setInteger(const std::string& key, int64_t value) { store(key, value); }

void UserDefaults::setDouble(const std::string& key, double value) { store(key, value); }

void UserDefaults::setString(const std::string& key, const std::string& value) { store(key, value); }

void UserDefaults::setStringArray(const std::string& key, const StringArray& value) { store(key, value); }

void UserDefaults::setData(const std::string& key, const Data& value) { store(key, value); }

void UserDefaults::removeObject(const std::string& key) {
    std::optional<std::string> change;
    {
        std::lock_guard lock(mutex_);
        values_.erase(key);
        unwritten_.insert(key);
        change = writeUnwrittenLocked();
    }
    tell(change);
}

bool UserDefaults::synchronize() const {
    std::lock_guard lock(mutex_);
    return database_ != nullptr && !writesFailed_;
}

std::string UserDefaults::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

std::string UserDefaults::writeProblem() const {
    std::lock_guard lock(mutex_);
    return writeProblem_;
}

std::filesystem::path UserDefaults::setAsidePath() const {
    std::lock_guard lock(mutex_);
    return setAside_;
}

}  // namespace strombel::platform
