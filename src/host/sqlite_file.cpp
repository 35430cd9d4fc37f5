#include "host/sqlite_file.h"

#include <sqlite3.h>

#include <optional>
#include <string>

namespace plovendale::stored {

bool execute(sqlite3* db, const char* sql, std::string* why) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    *why = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

std::optional<int> schemaVersion(sqlite3* db, std::string* why) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &raw, nullptr);
    const bool read = raw && sqlite3_step(raw) == SQLITE_ROW;
    const int version = read ? sqlite3_column_int(raw, 0) : 0;
    if (!read) *why = sqlite3_errmsg(db);
    sqlite3_finalize(raw);
    if (!read) return std::nullopt;
    if (version > kSchemaVersion) {
        *why = "the store was written by a newer version (schema " + std::to_string(version) + ")";
        return std::nullopt;
    }
    return version;
}

// Small pages: the table holds a few short values, and a page cache of small pages is less
// memory to touch when a launch opens the store (set before anything is written, or it has
// no effect).
bool setUpFile(sqlite3* db, std::string* why) {
    const std::string setup =
        "PRAGMA page_size=1024;"
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE IF NOT EXISTS kv (key TEXT PRIMARY KEY NOT NULL,"
        " kind INTEGER NOT NULL, value BLOB NOT NULL) WITHOUT ROWID;"
        "PRAGMA user_version=" +
        std::to_string(kSchemaVersion) + ";";
    return execute(db, setup.c_str(), why);
}

}  // namespace plovendale::stored
