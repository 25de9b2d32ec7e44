#include "platform/user_defaults.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/regular_file.h"
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

// The change log: one record per change, appended with a single write.
// A record: u32 length of the body, u64 checksum of the body, the body. The
// body: u8 kind (a Kind, or kRemoved), u32 key length, the key, the value
// (8 bytes for a bool, an integer or a double, the bytes of the others).
constexpr uint8_t kRemoved = 0xff;
constexpr int kBusyMilliseconds = 5000;
/// The log is rewritten with only what the file lacks once it is larger.
constexpr size_t kCompactChangeLogAbove = 16 * 1024;
constexpr size_t kRecordHead = 4 + 8;

uint64_t checksum(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return hash;
}

void putNumber(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t getNumber(const std::string& in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t(static_cast<unsigned char>(in[at + size_t(i)])) << (8 * i);
    return value;
}

std::optional<double> parseNumber(const std::string& text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

/// One change as a record of the change log.
std::string changeRecord(const std::string& key, const UserDefaults::Stored* value) {
    std::string body;
    body.push_back(static_cast<char>(value ? static_cast<uint8_t>(value->index()) : kRemoved));
    putNumber(body, key.size(), 4);
    body += key;
    if (value) {
        std::visit(
            [&](const auto& item) {
                using T = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<T, bool>) {
                    putNumber(body, item ? 1 : 0, 8);
                } else if constexpr (std::is_same_v<T, int64_t>) {
                    putNumber(body, static_cast<uint64_t>(item), 8);
                } else if constexpr (std::is_same_v<T, double>) {
                    uint64_t bits = 0;
                    std::memcpy(&bits, &item, sizeof bits);
                    putNumber(body, bits, 8);
                } else if constexpr (std::is_same_v<T, std::string>) {
                    body += item;
                } else if constexpr (std::is_same_v<T, UserDefaults::StringArray>) {
                    body += packArray(item);
                } else {
                    body.append(item.begin(), item.end());
                }
            },
            *value);
    }
    std::string record;
    putNumber(record, body.size(), 4);
    putNumber(record, checksum(body), 8);
    return record + body;
}

/// The changes of a log, in order, up to the first record cut short or damaged
/// (the one being written when the program was killed).
std::vector<std::pair<std::string, std::optional<UserDefaults::Stored>>> readChangeLog(const std::string& log) {
    std::vector<std::pair<std::string, std::optional<UserDefaults::Stored>>> changes;
    size_t at = 0;
    while (log.size() - at >= kRecordHead) {
        const size_t length = getNumber(log, at, 4);
        if (log.size() - at - kRecordHead < length) break;
        const std::string body = log.substr(at + kRecordHead, length);
        if (checksum(body) != getNumber(log, at + 4, 8) || body.size() < 5) break;
        at += kRecordHead + length;
        const auto kind = static_cast<uint8_t>(body[0]);
        const size_t keyLength = getNumber(body, 1, 4);
        if (body.size() - 5 < keyLength) break;
        std::string key = body.substr(5, keyLength);
        const std::string value = body.substr(5 + keyLength);
        const bool number = kind == static_cast<uint8_t>(Kind::Bool) || kind == static_cast<uint8_t>(Kind::Integer) ||
                            kind == static_cast<uint8_t>(Kind::Double);
        if (number && value.size() != 8) break;
        switch (kind) {
            case kRemoved: changes.emplace_back(std::move(key), std::nullopt); break;
            case static_cast<uint8_t>(Kind::Bool): changes.emplace_back(std::move(key), getNumber(value, 0, 8) != 0); break;
            case static_cast<uint8_t>(Kind::Integer):
                changes.emplace_back(std::move(key), static_cast<int64_t>(getNumber(value, 0, 8)));
                break;
            case static_cast<uint8_t>(Kind::Double): {
                const uint64_t bits = getNumber(value, 0, 8);
                double real = 0;
                std::memcpy(&real, &bits, sizeof real);
                changes.emplace_back(std::move(key), real);
                break;
            }
            case static_cast<uint8_t>(Kind::String): changes.emplace_back(std::move(key), value); break;
            case static_cast<uint8_t>(Kind::StringArray): {
                UserDefaults::StringArray array;
                if (!unpackArray(reinterpret_cast<const unsigned char*>(value.data()), value.size(), array)) return changes;
                changes.emplace_back(std::move(key), std::move(array));
                break;
            }
            case static_cast<uint8_t>(Kind::Data):
                changes.emplace_back(std::move(key), UserDefaults::Data(value.begin(), value.end()));
                break;
            default: return changes;
        }
    }
    return changes;
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    open();
    if (!database_) return;
    openChangeLog();
    writer_ = Worker("settings writer", [this] { writerLoop(); }, [this] {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
    });
}

UserDefaults::~UserDefaults() {
    writer_.stop();  // it writes what is left first
    if (database_) sqlite3_close(database_);
    if (changeLog_ >= 0) {
        ::close(changeLog_);
        // All in the file: the log has nothing to keep.
        std::error_code ignored;
        if (unwritten_.empty()) std::filesystem::remove(changeLogFile(), ignored);
    }
}

std::filesystem::path UserDefaults::changeLogFile() const {
    std::filesystem::path log = file_;
    log += ".changes";
    return log;
}

void UserDefaults::openChangeLog() {
    const std::filesystem::path path = changeLogFile();
    // A new log a killed run was writing never took the old one's place.
    std::filesystem::path fresh = path;
    fresh += ".new";
    std::error_code ignored;
    std::filesystem::remove(fresh, ignored);
    changeLog_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (changeLog_ < 0) {
        lastError_ = "the settings' change log " + path.string() + " cannot be opened (" + std::strerror(errno) +
                     "): a change is safe once it is in the settings file";
        dropChangeLog();  // an old one read later would take values back
        return;
    }
    std::string log;
    char buffer[4096];
    ssize_t got;
    while ((got = ::pread(changeLog_, buffer, sizeof buffer, static_cast<off_t>(log.size()))) > 0)
        log.append(buffer, static_cast<size_t>(got));
    changeLogSize_ = log.size();
    // What a killed run changed after its last write to the file.
    for (auto& [key, value] : readChangeLog(log)) {
        if (value) values_[key] = std::move(*value);
        else values_.erase(key);
        unwritten_.insert(key);
    }
    // A record cut short at its end (the one under way at a kill) goes, so
    // that later records follow whole ones.
    if (!unwritten_.empty()) {
        ++requested_;
        compactChangeLog();
    } else if (changeLogSize_ > 0 && ::ftruncate(changeLog_, 0) == 0) {
        changeLogSize_ = 0;
    }
}

UserDefaults& UserDefaults::shared() {
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) {
        Sandbox& sandbox = Sandbox::shared();
        (void)sandbox.createFolders();
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
    // What is not a file (a named pipe would keep the open waiting for ever) is
    // left as it is: the settings last until the program ends.
    if (auto why = notRegularSqliteFiles(file_)) {
        fail("the settings file cannot be used: " + *why);
        return;
    }
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
        // The writer waits out another connection's write (it keeps no caller waiting).
        sqlite3_busy_timeout(database_, kBusyMilliseconds);
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
    std::lock_guard lock(handlerMutex_);
    if (problemHandler_) problemHandler_(*change);
}

void UserDefaults::setProblemHandler(ProblemHandler handler) {
    std::lock_guard lock(handlerMutex_);
    problemHandler_ = std::move(handler);
}

void UserDefaults::store(const std::string& key, Stored value) {
    std::optional<std::string> change;
    {
        std::lock_guard lock(mutex_);
        values_[key] = std::move(value);
        change = changed(key);
    }
    tell(change);
}

void UserDefaults::removeObject(const std::string& key) {
    std::optional<std::string> change;
    {
        std::lock_guard lock(mutex_);
        values_.erase(key);
        change = changed(key);
    }
    tell(change);
}

std::optional<std::string> UserDefaults::changed(const std::string& key) {
    // Called with mutex_ held.
    unwritten_.insert(key);
    if (!database_)
        return fail("settings not saved: " +
                    (writeProblem_.empty() ? std::string("the settings file cannot be written") : writeProblem_));
    appendToChangeLog(key);
    ++requested_;
    wake_.notify_one();
    return std::nullopt;
}

// The log holds, in order, every change since its first record: replayed over
// the file it gives each key its latest value, never an older one than the
// file holds. Where a change cannot be logged, the log is emptied (or, when it
// cannot even be that, removed): what the file lacks then is lost to a kill,
// as it would be on a full disk anyway, but nothing goes back.

void UserDefaults::appendToChangeLog(const std::string& key) {
    // Called with mutex_ held.
    if (changeLog_ < 0) return;
    const auto found = values_.find(key);
    const std::string record = changeRecord(key, found == values_.end() ? nullptr : &found->second);
    if (::write(changeLog_, record.data(), record.size()) == static_cast<ssize_t>(record.size())) {
        changeLogSize_ += record.size();
        return;
    }
    if (::ftruncate(changeLog_, 0) == 0) {
        changeLogSize_ = 0;
        return;
    }
    dropChangeLog();
}

void UserDefaults::compactChangeLog() {
    // Called with mutex_ held, when every change before those of unwritten_ is
    // in the file: a new log of those alone takes the old one's place whole.
    std::filesystem::path fresh = changeLogFile();
    fresh += ".new";
    const int out = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return;  // the old log stays, as true as before
    std::string records;
    for (const std::string& key : unwritten_) {
        const auto found = values_.find(key);
        records += changeRecord(key, found == values_.end() ? nullptr : &found->second);
    }
    const bool written = ::write(out, records.data(), records.size()) == static_cast<ssize_t>(records.size());
    ::close(out);
    std::error_code failed;
    if (written) std::filesystem::rename(fresh, changeLogFile(), failed);
    if (!written || failed) {
        std::filesystem::remove(fresh, failed);
        return;
    }
    ::close(changeLog_);
    changeLog_ = ::open(changeLogFile().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    changeLogSize_ = records.size();
    if (changeLog_ < 0) dropChangeLog();
}

void UserDefaults::dropChangeLog() {
    if (changeLog_ >= 0) ::close(changeLog_);
    changeLog_ = -1;
    std::error_code ignored;
    std::filesystem::remove(changeLogFile(), ignored);
}

void UserDefaults::writerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || requested_ != tried_; });
        if (requested_ == tried_) return;  // stopping, with everything tried
        const uint64_t asked = requested_;
        // Everything changed so far goes in one transaction, with its values now.
        std::vector<Row> rows;
        for (const std::string& key : unwritten_) {
            const auto found = values_.find(key);
            rows.emplace_back(key, found == values_.end() ? std::nullopt : std::optional<Stored>(found->second));
        }
        unwritten_.clear();
        lock.unlock();
        const std::string failure = rows.empty() ? std::string() : writeRows(rows);
        lock.lock();
        std::optional<std::string> change;
        if (failure.empty()) {
            if (!rows.empty()) ++writesToFile_;
            change = succeeded();
            if (changeLog_ >= 0 && changeLogSize_ > kCompactChangeLogAbove) compactChangeLog();
        } else {
            for (Row& row : rows) unwritten_.insert(std::move(row.first));
            change = fail("settings not saved: " + failure);
        }
        // What the write changed is told before anyone waiting for it goes on:
        // a wait for the write that made the disk work again must not end before
        // the notice that clears the red line, or a late notice of an older
        // failure could come after it.
        lock.unlock();
        tell(change);
        lock.lock();
        tried_ = asked;
        triedChanged_.notify_all();
    }
}

std::string UserDefaults::writeRows(const std::vector<Row>& rows) {
    // On the writer thread, which alone uses the database once it runs.
    bool written = sqlite3_exec(database_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (auto row = rows.begin(); written && row != rows.end(); ++row) written = writeRow(*row);
    written = written && sqlite3_exec(database_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (written) return {};
    std::string why = sqlite3_errmsg(database_);
    if (!sqlite3_get_autocommit(database_)) sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
    return why.empty() ? std::string("unknown error") : why;
}

bool UserDefaults::writeRow(const Row& row) {
    const std::string& key = row.first;
    sqlite3_stmt* statement = nullptr;
    const char* sql = !row.second ? "DELETE FROM defaults WHERE key = ?"
                                  : "INSERT OR REPLACE INTO defaults (key, kind, value) VALUES (?, ?, ?)";
    if (sqlite3_prepare_v2(database_, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_text(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (!row.second) {
        const bool done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_finalize(statement);
        return done;
    }
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
        *row.second);
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    return done;
}

void UserDefaults::writeAndWait(std::unique_lock<std::mutex>& lock) {
    if (!writer_.running()) return;
    const uint64_t asked = ++requested_;
    wake_.notify_one();
    triedChanged_.wait(lock, [&] { return tried_ >= asked; });
}

void UserDefaults::writeUnwritten() {
    std::unique_lock lock(mutex_);
    if (!unwritten_.empty()) writeAndWait(lock);
}

uint64_t UserDefaults::writesToFile() const {
    std::lock_guard lock(mutex_);
    return writesToFile_;
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

bool UserDefaults::synchronize() {
    std::unique_lock lock(mutex_);
    if (requested_ != tried_) writeAndWait(lock);
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
