#include "platform/sqlite_failure.h"

#include <sqlite3.h>

namespace strombel::platform {

bool sqliteCodeMeansDamage(int code) {
    switch (code & 0xff) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return true;
        default:
            return false;
    }
}

sqlite3* openSqliteUntouched(const std::string& file) {
    // "immutable": SQLite takes the file as it lies and never writes beside it.
    // The path is escaped where a URI would read its characters otherwise.
    std::string uri = "file:";
    for (const char c : file) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char kHex[] = "0123456789ABCDEF";
            uri += '%';
            uri += kHex[(static_cast<unsigned char>(c) >> 4) & 0xf];
            uri += kHex[static_cast<unsigned char>(c) & 0xf];
        } else {
            uri += c;
        }
    }
    uri += "?immutable=1";
    sqlite3* database = nullptr;
    const int status = sqlite3_open_v2(uri.c_str(), &database, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    if (status != SQLITE_OK) {
        sqlite3_close(database);
        return nullptr;
    }
    return database;
}

}  // namespace strombel::platform
