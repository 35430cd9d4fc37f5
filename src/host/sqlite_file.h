#pragma once

// Setting up the key-value store's SQLite file: its schema version and its table.

#include <optional>
#include <string>

struct sqlite3;

namespace plovendale::stored {

inline constexpr int kSchemaVersion = 1;

/// Runs `sql` (statements that return no rows); false and why when one fails.
bool execute(sqlite3* db, const char* sql, std::string* why);

/// The file's schema version (0 for a new file); nothing, and why, when it is newer than this code
/// or cannot be read.
std::optional<int> schemaVersion(sqlite3* db, std::string* why);

/// Puts a new (or older) file in WAL mode with the store's table, at the current schema version.
bool setUpFile(sqlite3* db, std::string* why);

}  // namespace plovendale::stored
