#include "library/persistent_store.h"

#include <sqlite3.h>

#include <map>
#include <system_error>

#include "logging/log.h"
#include "platform/regular_file.h"
#include "platform/set_aside.h"
#include "platform/sqlite_failure.h"

namespace strombel::library {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE Soundpack(id INTEGER PRIMARY KEY, packId TEXT NOT NULL, name TEXT NOT NULL,
                       imagePath TEXT NOT NULL);
CREATE TABLE Soundbank(id INTEGER PRIMARY KEY, name TEXT NOT NULL, orderId INTEGER NOT NULL);
CREATE TABLE Sample(id INTEGER PRIMARY KEY, filepath TEXT NOT NULL, name TEXT NOT NULL,
                    volume REAL NOT NULL, packOrderId INTEGER NOT NULL, soundpack INTEGER NOT NULL);
CREATE TABLE SoundbankSample(id INTEGER PRIMARY KEY, orderId INTEGER NOT NULL,
                             sample INTEGER NOT NULL, soundbank INTEGER NOT NULL);
CREATE TABLE Pattern(id INTEGER PRIMARY KEY, patternId INTEGER NOT NULL, numBars INTEGER NOT NULL);
CREATE TABLE SequencerEvent(id INTEGER PRIMARY KEY, step INTEGER NOT NULL, eventType INTEGER NOT NULL,
                            pattern INTEGER NOT NULL, sample INTEGER NOT NULL);
CREATE INDEX SampleFilepath ON Sample(filepath);
CREATE INDEX SoundbankSampleBank ON SoundbankSample(soundbank);
CREATE INDEX SequencerEventPattern ON SequencerEvent(pattern);
)sql";

const char* tableName(EntityKind kind) {
    switch (kind) {
        case EntityKind::Soundpack: return "Soundpack";
        case EntityKind::Soundbank: return "Soundbank";
        case EntityKind::Sample: return "Sample";
        case EntityKind::SoundbankSample: return "SoundbankSample";
        case EntityKind::Pattern: return "Pattern";
        case EntityKind::SequencerEvent: return "SequencerEvent";
    }
    return "";
}

/// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* database, const char* sql) : database_(database) {
        if (sqlite3_prepare_v2(database, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }
    void bind(int index, int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    void bind(int index, double value) { sqlite3_bind_double(statement_, index, value); }
    void bind(int index, const std::string& value) {
        sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    /// Runs a statement that returns no rows; resets it for the next use.
    bool run() {
        int status = sqlite3_step(statement_);
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        return status == SQLITE_DONE;
    }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double real(int column) const { return sqlite3_column_double(statement_, column); }
    std::string text(int column) const {
        const unsigned char* bytes = sqlite3_column_text(statement_, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                   static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                     : std::string();
    }
    std::string error() const { return sqlite3_errmsg(database_); }

private:
    sqlite3* database_;
    sqlite3_stmt* statement_ = nullptr;
};

bool tableExists(sqlite3* database, const char* table) {
    Statement statement(database, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    if (!statement.ok()) return false;
    statement.bind(1, std::string(table));
    return sqlite3_step(statement.get()) == SQLITE_ROW;
}

/// An error of the store, in SQLite's words.
platform::Error storeError(const std::string& why) {
    return platform::Error::make(kPersistentStoreErrorDomain, 1, why);
}

platform::Result<void> execute(sqlite3* database, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(database, sql, nullptr, nullptr, &message) == SQLITE_OK) return {};
    const std::string error = message ? message : sqlite3_errmsg(database);
    sqlite3_free(message);
    return storeError(error);
}

/// Reads every row of one table through `read`; stops at the first error (a
/// damaged page) and keeps what came before it.
template <class Row, class Read>
bool readTable(sqlite3* database, const char* sql, std::vector<Row>& rows, Read read, std::string& error) {
    Statement statement(database, sql);
    if (!statement.ok()) {
        error = sqlite3_errmsg(database);
        return false;
    }
    while (true) {
        int status = sqlite3_step(statement.get());
        if (status == SQLITE_DONE) return true;
        if (status != SQLITE_ROW) {
            error = statement.error();
            return false;
        }
        rows.push_back(read(statement));
    }
}

}  // namespace

PersistentStore::PersistentStore(std::filesystem::path file) : file_(std::move(file)) {
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    // What is not a file (a named pipe would keep the open waiting for ever) is
    // left as it is, and nothing is opened.
    if (auto why = platform::notRegularSqliteFiles(file_)) {
        openError_ = "the store file cannot be used: " + *why;
        return;
    }
    const bool existed = std::filesystem::exists(file_, ignored);

    if (const platform::Result<void> opened = openFile(); !opened) {
        // Opening reads nothing of the file: a failure here is the disk's or the folder's.
        if (existed) {
            openUntouched(opened.error().message());
        } else {
            openError_ = "the store file cannot be made: " + opened.error().message();
        }
        return;
    }

    auto [check, reason] = inspect();
    switch (check) {
        case Check::Fresh:
            if (const platform::Result<void> made = createSchema(); !made) {
                openError_ = "the store file cannot be made: " + made.error().message();
                close();
                return;
            }
            createdFresh_ = true;
            return;
        case Check::Good: {
            const platform::Result<void> read = readRows(loaded_);
            if (read) {
                if (sqlite3_db_readonly(database_, "main") == 1) writeProblem_ = "the store file is read-only";
                return;
            }
            if (!platform::sqliteCodeMeansDamage(sqlite3_extended_errcode(database_))) {
                openUntouched(read.error().message());
                return;
            }
            reason = "could not read the store: " + read.error().message();
            setAsideReason_ = SetAsideReason::damaged;
            break;
        }
        case Check::Unreachable:
            openUntouched(reason);
            return;
        case Check::Damaged:
            break;
    }

    // Damaged or unknown: keep whatever still reads, set the file aside, start afresh.
    openError_ = reason;
    StoreRows salvaged;
    // What reads before a damaged page is kept.
    if (reason.find("newer") == std::string::npos) (void)readRows(salvaged);
    close();
    setAside();
    loaded_ = StoreRows{};
    platform::Result<void> fresh = openFile();
    if (fresh) fresh = createSchema();
    if (!fresh) {
        openError_ += "; a fresh store could not be made either: " + fresh.error().message();
        close();
        return;
    }
    createdFresh_ = true;
    if (!salvaged.empty()) {
        StoreChanges carried;
        carried.upserts = salvaged;
        if (platform::Result<void> written = write(carried)) {
            carriedOver_ = {salvaged.soundbanks.size(), salvaged.samples.size(), salvaged.sequencerEvents.size()};
            loaded_ = std::move(salvaged);
        } else {
            openError_ += "; what could be read was not carried over: " + written.error().message();
            carriedOver_.failed = true;
        }
    }
}

void PersistentStore::openUntouched(const std::string& why) {
    close();
    loaded_ = StoreRows{};
    database_ = platform::openSqliteUntouched(file_.string());
    if (database_ && readRows(loaded_)) {
        writeProblem_ = "the store file cannot be written (" + why + ")";
        return;
    }
    openError_ = "the store file cannot be read (" + why + ")";
    loaded_ = StoreRows{};
    close();
}

PersistentStore::~PersistentStore() { close(); }

void PersistentStore::close() {
    if (database_) sqlite3_close(database_);
    database_ = nullptr;
}

void PersistentStore::setBusyTimeout(int milliseconds) {
    if (database_) sqlite3_busy_timeout(database_, milliseconds);
}

platform::Result<void> PersistentStore::openFile() {
    sqlite3* database = nullptr;
    int status = sqlite3_open_v2(file_.c_str(), &database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (status != SQLITE_OK) {
        const std::string error = database ? sqlite3_errmsg(database) : sqlite3_errstr(status);
        sqlite3_close(database);
        return storeError(error);
    }
    database_ = database;
    sqlite3_busy_timeout(database_, 200);
    // The journal keeps each save atomic; a crash after commit may lose the last
    // save but never leaves the file half written.
    (void)execute(database_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    return {};
}

PersistentStore::Inspection PersistentStore::inspect() {
    // A failure of the disk (full, read-only, I/O) says nothing about the file.
    auto failed = [this](const std::string& what, SetAsideReason kind) {
        const bool damaged = platform::sqliteCodeMeansDamage(sqlite3_extended_errcode(database_));
        if (damaged) setAsideReason_ = kind;
        return Inspection{damaged ? Check::Damaged : Check::Unreachable,
                          (damaged ? what : std::string()) + sqlite3_errmsg(database_)};
    };
    Statement version(database_, "PRAGMA user_version");
    if (!version.ok() || sqlite3_step(version.get()) != SQLITE_ROW)
        return failed("not a store file: ", SetAsideReason::notAStore);
    const int64_t userVersion = version.integer(0);

    Statement tables(database_, "SELECT count(*) FROM sqlite_master");
    if (!tables.ok() || sqlite3_step(tables.get()) != SQLITE_ROW)
        return failed("not a store file: ", SetAsideReason::notAStore);
    const int64_t tableCount = tables.integer(0);
    if (userVersion == 0 && tableCount == 0) return {Check::Fresh, {}};
    if (userVersion > kSchemaVersion) {
        setAsideReason_ = SetAsideReason::newerSchema;
        return {Check::Damaged, "the store was written by a newer version (schema " + std::to_string(userVersion) + ")"};
    }
    if (userVersion == 0) {
        setAsideReason_ = SetAsideReason::notAStore;
        return {Check::Damaged, "the store has no schema version"};
    }
    // Versions below kSchemaVersion would be migrated here, one step at a time.

    Statement check(database_, "PRAGMA quick_check");
    if (!check.ok() || sqlite3_step(check.get()) != SQLITE_ROW)
        return failed("the store cannot be checked: ", SetAsideReason::damaged);
    const std::string verdict = check.text(0);
    if (verdict != "ok") {
        setAsideReason_ = SetAsideReason::damaged;
        return {Check::Damaged, "the store is damaged: " + verdict};
    }
    return {Check::Good, {}};
}

platform::Result<void> PersistentStore::createSchema() {
    std::string sql = "BEGIN;";
    sql += kSchema;
    sql += "PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; COMMIT;";
    platform::Result<void> made = execute(database_, sql.c_str());
    if (!made) (void)execute(database_, "ROLLBACK");
    return made;
}

platform::Result<void> PersistentStore::readRows(StoreRows& rows) {
    bool all = true;
    std::string failure;
    // Names and paths are cut in the query (by characters), so that an overlong
    // one is never copied out whole.
    const std::string name = "substr(name, 1, " + std::to_string(kLongestName) + ")";
    auto path = [](const char* column) {
        return std::string("substr(") + column + ", 1, " + std::to_string(kLongestPath) + ")";
    };
    all &= readTable(database_, ("SELECT id, packId, " + name + ", " + path("imagePath") + " FROM Soundpack").c_str(),
                     rows.soundpacks,
                     [](const Statement& s) { return SoundpackRow{s.integer(0), s.text(1), s.text(2), s.text(3)}; },
                     failure);
    all &= readTable(database_, ("SELECT id, " + name + ", orderId FROM Soundbank").c_str(), rows.soundbanks,
                     [](const Statement& s) { return SoundbankRow{s.integer(0), s.text(1), s.integer(2)}; }, failure);
    all &= readTable(database_,
                     ("SELECT id, " + path("filepath") + ", " + name + ", volume, packOrderId, soundpack FROM Sample")
                         .c_str(),
                     rows.samples,
                     [](const Statement& s) {
                         return SampleRow{s.integer(0), s.text(1), s.text(2), s.real(3), s.integer(4), s.integer(5)};
                     },
                     failure);
    all &= readTable(database_, "SELECT id, orderId, sample, soundbank FROM SoundbankSample", rows.soundbankSamples,
                     [](const Statement& s) {
                         return SoundbankSampleRow{s.integer(0), s.integer(1), s.integer(2), s.integer(3)};
                     },
                     failure);
    all &= readTable(database_, "SELECT id, patternId, numBars FROM Pattern", rows.patterns,
                     [](const Statement& s) { return PatternRow{s.integer(0), s.integer(1), s.integer(2)}; }, failure);
    all &= readTable(database_, "SELECT id, step, eventType, pattern, sample FROM SequencerEvent",
                     rows.sequencerEvents,
                     [](const Statement& s) {
                         return SequencerEventRow{s.integer(0), s.integer(1), s.integer(2), s.integer(3),
                                                  s.integer(4)};
                     },
                     failure);
    // Which pack made each bank is a table of its own, made when first written: a
    // store of an earlier build has none, and all its banks count as the user's.
    if (tableExists(database_, kSoundbankPackTable)) {
        std::vector<std::pair<int64_t, std::string>> marks;
        all &= readTable(database_,
                         ("SELECT soundbank, substr(packId, 1, " + std::to_string(kLongestName) + ") FROM " +
                          kSoundbankPackTable)
                             .c_str(),
                         marks, [](const Statement& s) { return std::make_pair(s.integer(0), s.text(1)); }, failure);
        std::map<int64_t, std::string> packOfBank(marks.begin(), marks.end());
        for (SoundbankRow& bank : rows.soundbanks) {
            if (auto found = packOfBank.find(bank.id); found != packOfBank.end()) bank.sourcePackId = found->second;
        }
    }
    if (!all) return storeError(failure);
    return {};
}

// The record of imported packs is a table of its own, made when first written:
// a store of an earlier build simply has none yet, and reads as holding none.
std::set<std::string> PersistentStore::importedPacks() const {
    std::set<std::string> ids;
    if (!database_) return ids;
    Statement select(database_, "SELECT packId FROM ImportedPack");
    if (!select.ok()) return ids;
    while (sqlite3_step(select.get()) == SQLITE_ROW) ids.insert(select.text(0));
    return ids;
}

platform::Result<void> PersistentStore::noteImportedPack(const std::string& packId) {
    if (!database_) return storeError("no store file");
    if (platform::Result<void> made =
            execute(database_, "CREATE TABLE IF NOT EXISTS ImportedPack(packId TEXT PRIMARY KEY)");
        !made) {
        return made;
    }
    Statement insert(database_, "INSERT OR IGNORE INTO ImportedPack(packId) VALUES(?)");
    if (!insert.ok()) return storeError(insert.error());
    insert.bind(1, packId);
    if (!insert.run()) return storeError(sqlite3_errmsg(database_));
    return {};
}

platform::Result<void> PersistentStore::writeSoundbankPacks(const StoreRows& rows) {
    if (rows.soundbanks.empty()) return {};
    const std::string table = kSoundbankPackTable;
    if (platform::Result<void> made = execute(
            database_,
            ("CREATE TABLE IF NOT EXISTS " + table + "(soundbank INTEGER PRIMARY KEY, packId TEXT NOT NULL)").c_str());
        !made)
        return made;
    Statement mark(database_, ("INSERT OR REPLACE INTO " + table + "(soundbank, packId) VALUES(?,?)").c_str());
    Statement unmark(database_, ("DELETE FROM " + table + " WHERE soundbank = ?").c_str());
    if (!mark.ok() || !unmark.ok()) return storeError(sqlite3_errmsg(database_));
    // A bank written without a mark is the user's, also when its row id was
    // once a deleted bank's of a pack.
    for (const SoundbankRow& row : rows.soundbanks) {
        Statement& statement = row.sourcePackId.empty() ? unmark : mark;
        statement.bind(1, row.id);
        if (!row.sourcePackId.empty()) statement.bind(2, row.sourcePackId);
        if (!statement.run()) return storeError(statement.error());
    }
    return {};
}

void PersistentStore::setAside() {
    std::error_code error;
    if (!std::filesystem::exists(file_, error)) return;
    std::optional<std::filesystem::path> aside = platform::setFileAside(file_, "damaged");
    if (!aside) {
        STROMBEL_LOG_ERROR("could not set the damaged store aside: {}", file_.string());
        std::filesystem::remove(file_, error);
        return;
    }
    setAside_ = *aside;
}

platform::Result<void> PersistentStore::write(const StoreChanges& changes) {
    if (!database_) return storeError("no store file");
    if (platform::Result<void> begun = execute(database_, "BEGIN IMMEDIATE"); !begun) return begun;
    auto fail = [&](const std::string& why) {
        (void)execute(database_, "ROLLBACK");
        return storeError(why);
    };

    for (const auto& [kind, id] : changes.deletes) {
        std::string sql = std::string("DELETE FROM ") + tableName(kind) + " WHERE id = ?";
        Statement statement(database_, sql.c_str());
        if (!statement.ok()) return fail(sqlite3_errmsg(database_));
        statement.bind(1, id);
        if (!statement.run()) return fail(statement.error());
    }

    const StoreRows& rows = changes.upserts;
    if (!rows.soundpacks.empty()) {
        Statement s(database_, "INSERT OR REPLACE INTO Soundpack(id, packId, name, imagePath) VALUES(?,?,?,?)");
        if (!s.ok()) return fail(sqlite3_errmsg(database_));
        for (const auto& row : rows.soundpacks) {
            s.bind(1, row.id), s.bind(2, row.packId), s.bind(3, row.name), s.bind(4, row.imagePath);
            if (!s.run()) return fail(s.error());
        }
    }
    if (!rows.soundbanks.empty()) {
        Statement s(database_, "INSERT OR REPLACE INTO Soundbank(id, name, orderId) VALUES(?,?,?)");
        if (!s.ok()) return fail(sqlite3_errmsg(database_));
        for (const auto& row : rows.soundbanks) {
            s.bind(1, row.id), s.bind(2, row.name), s.bind(3, row.orderId);
            if (!s.run()) return fail(s.error());
        }
    }
    if (platform::Result<void> marked = writeSoundbankPacks(rows); !marked) return fail(marked.error().message());
    if (!rows.samples.empty()) {
        Statement s(database_,
                    "INSERT OR REPLACE INTO Sample(id, filepath, name, volume, packOrderId, soundpack) "
                    "VALUES(?,?,?,?,?,?)");
        if (!s.ok()) return fail(sqlite3_errmsg(database_));
        for (const auto& row : rows.samples) {
            s.bind(1, row.id), s.bind(2, row.filepath), s.bind(3, row.name), s.bind(4, row.volume);
            s.bind(5, row.packOrderId), s.bind(6, row.soundpack);
            if (!s.run()) return fail(s.error());
        }
    }
    if (!rows.soundbankSamples.empty()) {
        Statement s(database_,
                    "INSERT OR REPLACE INTO SoundbankSample(id, orderId, sample, soundbank) VALUES(?,?,?,?)");
        if (!s.ok()) return fail(sqlite3_errmsg(database_));
        for (const auto& row : rows.soundbankSamples) {
            s.bind(1, row.id), s.bind(2, row.orderId), s.bind(3, row.sample), s.bind(4, row.soundbank);
            if (!s.run()) return fail(s.error());
        }
    }
    if (!rows.patterns.empty()) {
        Statement s(database_, "INSERT OR REPLACE INTO Pattern(id, patternId, numBars) VALUES(?,?,?)");
        if (!s.ok()) return fail(sqlite3_errmsg(database_));
        for (const auto& row : rows.patterns) {
            s.bind(1, row.id), s.bind(2, row.patternId), s.bind(3, row.numBars);
            if (!s.run()) return fail(s.error());
        }
    }
    if (!rows.sequencerEvents.empty()) {
        Statement s(database_,
                    "INSERT OR REPLACE INTO SequencerEvent(id, step, eventType, pattern, sample) VALUES(?,?,?,?,?)");
        if (!s.ok()) return fail(sqlite3_errmsg(database_));
        for (const auto& row : rows.sequencerEvents) {
            s.bind(1, row.id), s.bind(2, row.step), s.bind(3, row.eventType), s.bind(4, row.pattern);
            s.bind(5, row.sample);
            if (!s.run()) return fail(s.error());
        }
    }
    if (platform::Result<void> committed = execute(database_, "COMMIT"); !committed)
        return fail(committed.error().message());
    return {};
}

}  // namespace strombel::library
