#include "platform/keychain.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <utility>

#include "platform/regular_file.h"
#include "platform/sandbox.h"

namespace strombel::platform {
namespace {

std::mutex sharedMutex;
std::unique_ptr<Keychain>& sharedSlot() {
    static std::unique_ptr<Keychain> keychain;
    return keychain;
}

// A prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* database, const std::string& text) {
        if (sqlite3_prepare_v2(database, text.c_str(), -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool valid() const { return statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, const Keychain::Bytes& bytes) {
        // An empty blob is still a blob (zero length), never NULL.
        sqlite3_bind_blob(statement_, index, bytes.empty() ? "" : static_cast<const void*>(bytes.data()),
                          static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

// " AND account = ?2 AND generic = ?3" for the parts the query names.
std::string whereClause(const Keychain::Query& query) {
    std::string clause = " WHERE service = ?1";
    if (query.account) clause += " AND account = ?2";
    if (query.generic) clause += " AND generic = ?3";
    return clause;
}

void bindQuery(Statement& statement, const Keychain::Query& query) {
    statement.bind(1, query.service);
    if (query.account) statement.bind(2, *query.account);
    if (query.generic) statement.bind(3, *query.generic);
}

}  // namespace

Keychain::Keychain(std::filesystem::path file) : file_(std::move(file)) {
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    // Nothing is kept in what is not a file (a named pipe would keep the open waiting).
    if (notRegularSqliteFiles(file_)) return;
    // Made readable by the user alone before SQLite first writes to it.
    int descriptor = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor >= 0) {
        ::fchmod(descriptor, 0600);
        ::close(descriptor);
    }
    if (sqlite3_open_v2(file_.c_str(), &database_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(database_);
        database_ = nullptr;
        return;
    }
    sqlite3_busy_timeout(database_, 2000);
    const char* schema =
        "CREATE TABLE IF NOT EXISTS items ("
        " service TEXT NOT NULL, account BLOB NOT NULL, generic BLOB NOT NULL,"
        " accessible TEXT NOT NULL, value BLOB NOT NULL, PRIMARY KEY (service, account))";
    if (sqlite3_exec(database_, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(database_);
        database_ = nullptr;
    }
}

Keychain::~Keychain() {
    if (database_) sqlite3_close(database_);
}

Keychain& Keychain::shared() {
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) {
        Sandbox& sandbox = Sandbox::shared();
        (void)sandbox.createFolders();
        slot = std::make_unique<Keychain>(sandbox.library() / "keychain.sqlite");
    }
    return *slot;
}

void Keychain::setShared(std::unique_ptr<Keychain> keychain) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(keychain);
}

int32_t Keychain::add(const Query& query, const Bytes& value, const std::string& accessible) {
    std::lock_guard lock(mutex_);
    if (!database_) return kNotAvailable;
    if (query.service.empty() && !query.account) return kParam;
    Statement statement(database_, "INSERT INTO items (service, account, generic, accessible, value) VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!statement.valid()) return kIO;
    statement.bind(1, query.service);
    statement.bind(2, query.account.value_or(Bytes{}));
    statement.bind(3, query.generic.value_or(Bytes{}));
    statement.bind(4, accessible);
    statement.bind(5, value);
    int result = sqlite3_step(statement.get());
    if (result == SQLITE_DONE) return kSuccess;
    if (result == SQLITE_CONSTRAINT) return kDuplicateItem;
    return kIO;
}

int32_t Keychain::copyMatching(const Query& query, Bytes& value) const {
    std::lock_guard lock(mutex_);
    if (!database_) return kNotAvailable;
    Statement statement(database_, "SELECT value FROM items" + whereClause(query) + " ORDER BY rowid LIMIT 1");
    if (!statement.valid()) return kIO;
    bindQuery(statement, query);
    int result = sqlite3_step(statement.get());
    if (result == SQLITE_DONE) return kItemNotFound;
    if (result != SQLITE_ROW) return kIO;
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement.get(), 0));
    int size = sqlite3_column_bytes(statement.get(), 0);
    value.assign(bytes, bytes + (bytes ? size : 0));
    return kSuccess;
}

int32_t Keychain::update(const Query& query, const Bytes& value) {
    std::lock_guard lock(mutex_);
    if (!database_) return kNotAvailable;
    Statement statement(database_, "UPDATE items SET value = ?4" + whereClause(query));
    if (!statement.valid()) return kIO;
    bindQuery(statement, query);
    statement.bind(4, value);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) return kIO;
    return sqlite3_changes(database_) > 0 ? kSuccess : kItemNotFound;
}

int32_t Keychain::remove(const Query& query) {
    std::lock_guard lock(mutex_);
    if (!database_) return kNotAvailable;
    Statement statement(database_, "DELETE FROM items" + whereClause(query));
    if (!statement.valid()) return kIO;
    bindQuery(statement, query);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) return kIO;
    return sqlite3_changes(database_) > 0 ? kSuccess : kItemNotFound;
}

}  // namespace strombel::platform
