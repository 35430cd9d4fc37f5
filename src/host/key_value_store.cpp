#include "plovendale/platform/key_value_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>

#include "plovendale/platform/log.h"
#include "util/text.h"

namespace plovendale {
namespace {

using StoredValue = std::variant<std::string, bool>;

bool readsAsTrue(const StoredValue& value) {
    if (const bool* flag = std::get_if<bool>(&value)) return *flag;
    const std::string text = lowercasedASCII(std::get<std::string>(value));
    return text == "1" || text == "yes" || text == "true";
}

class InMemoryStore final : public KeyValueStore {
  public:
    std::optional<std::string> stringForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it == values_.end()) return std::nullopt;
        if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
        return std::nullopt;
    }
    bool setString(const std::string& value, const std::string& key) override {
        return setStrings({{key, value}});
    }
    bool setStrings(const std::map<std::string, std::string>& valuesByKey) override {
        try {
            return merge(
                std::map<std::string, StoredValue>(valuesByKey.begin(), valuesByKey.end()));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool boolForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        return it != values_.end() && readsAsTrue(it->second);
    }
    bool setBool(bool value, const std::string& key) override {
        try {
            return merge({{key, value}});
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool removeObjectForKey(const std::string& key) override {
        std::lock_guard lock(mutex_);
        values_.erase(key);
        return true;
    }
    bool removeObjectsForKeys(const std::vector<std::string>& keys) override {
        std::lock_guard lock(mutex_);
        for (const auto& key : keys) values_.erase(key);
        return true;
    }
    bool persists() const override { return false; }

  private:
    // Everything that can run out of memory happened while `incoming` was built; moving its nodes
    // in allocates nothing, so a write lands whole or not at all.
    bool merge(std::map<std::string, StoredValue> incoming) noexcept {
        std::lock_guard lock(mutex_);
        while (!incoming.empty()) {
            auto inserted = values_.insert(incoming.extract(incoming.begin()));
            if (!inserted.inserted) inserted.position->second = std::move(inserted.node.mapped());
        }
        return true;
    }

    mutable std::mutex mutex_;
    std::map<std::string, StoredValue> values_;
};

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 1000;
constexpr int kKindString = 0;
constexpr int kKindBool = 1;

// Values live in one table. Each write is its own transaction in WAL mode with full synchronous
// commits, so a value is on disk when the write returns true, even if the process dies right
// after; a write that fails is rolled back whole.
class SQLiteStore final : public KeyValueStore {
  public:
    static std::shared_ptr<SQLiteStore> open(const std::string& path, std::string* why) {
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        Database db(raw);
        if (rc != SQLITE_OK) {
            *why = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
            return nullptr;
        }
        // Another process of the application may hold the write lock for a moment; the writes come
        // from the host's main thread, which must not stall for long when that lasts.
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        // The synchronous level belongs to the connection: set on every open. The journal mode
        // and the table live in the file: a store at the current schema version has them, and a
        // launch does not pay to set them up again.
        if (!execute(db.get(), "PRAGMA synchronous=FULL;", why)) return nullptr;
        const auto version = schemaVersion(db.get(), why);
        if (!version) return nullptr;
        if (*version < kSchemaVersion && !setUp(db.get(), why)) return nullptr;
        // One read transaction for the check and the statements (which read the schema).
        if (!execute(db.get(), "BEGIN;", why)) return nullptr;
        std::shared_ptr<SQLiteStore> store;
        if (isIntact(db.get(), why)) {
            store.reset(new SQLiteStore(std::move(db)));
            if (!store->prepareStatements(why)) store.reset();
        }
        sqlite3* open = store ? store->db_.get() : db.get();
        if (!execute(open, "COMMIT;", why)) return nullptr;
        return store;
    }

    std::optional<std::string> stringForKey(const std::string& key) const override {
        auto value = read(key);
        if (!value) return std::nullopt;
        if (const auto* text = std::get_if<std::string>(&*value)) return *text;
        return std::nullopt;
    }
    bool setString(const std::string& value, const std::string& key) override {
        std::lock_guard lock(mutex_);
        return upsert(key, kKindString, value) || failed("write");
    }
    bool setStrings(const std::map<std::string, std::string>& valuesByKey) override {
        std::lock_guard lock(mutex_);
        if (!execute("BEGIN IMMEDIATE;")) return failed("write");
        for (const auto& [key, value] : valuesByKey) {
            if (!upsert(key, kKindString, value)) return rolledBack();
        }
        return execute("COMMIT;") || rolledBack();
    }
    bool boolForKey(const std::string& key) const override {
        auto value = read(key);
        return value && readsAsTrue(*value);
    }
    bool setBool(bool value, const std::string& key) override {
        std::lock_guard lock(mutex_);
        return upsert(key, kKindBool, value ? "1" : "0") || failed("write");
    }
    bool removeObjectForKey(const std::string& key) override {
        std::lock_guard lock(mutex_);
        return removeRow(key) || failed("remove");
    }
    bool removeObjectsForKeys(const std::vector<std::string>& keys) override {
        std::lock_guard lock(mutex_);
        if (!execute("BEGIN IMMEDIATE;")) return failed("remove");
        for (const auto& key : keys) {
            if (!removeRow(key)) return rolledBack();
        }
        return execute("COMMIT;") || rolledBack();
    }

  private:
    explicit SQLiteStore(Database db) : db_(std::move(db)) {}

    static bool execute(sqlite3* db, const char* sql, std::string* why) {
        char* message = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
        *why = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        return false;
    }

    /// The file's schema version (0 for a new file); nothing when it is newer than this code or
    /// cannot be read.
    static std::optional<int> schemaVersion(sqlite3* db, std::string* why) {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &raw, nullptr);
        Statement statement(raw);
        if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) {
            *why = sqlite3_errmsg(db);
            return std::nullopt;
        }
        const int version = sqlite3_column_int(statement.get(), 0);
        if (version > kSchemaVersion) {
            *why =
                "the store was written by a newer version (schema " + std::to_string(version) + ")";
            return std::nullopt;
        }
        return version;
    }

    static bool setUp(sqlite3* db, std::string* why) {
        const std::string setup =
            "PRAGMA journal_mode=WAL;"
            "CREATE TABLE IF NOT EXISTS kv (key TEXT PRIMARY KEY NOT NULL,"
            " kind INTEGER NOT NULL, value BLOB NOT NULL) WITHOUT ROWID;"
            "PRAGMA user_version=" +
            std::to_string(kSchemaVersion) + ";";
        return execute(db, setup.c_str(), why);
    }

    // A damaged file reads as missing values (a new client identifier, an unattributed
    // installation) and takes no writes: that is said once here, and the run kept in memory.
    static bool isIntact(sqlite3* db, std::string* why) {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA quick_check(1);", -1, &raw, nullptr);
        Statement statement(raw);
        const unsigned char* verdict = nullptr;
        if (statement && sqlite3_step(statement.get()) == SQLITE_ROW)
            verdict = sqlite3_column_text(statement.get(), 0);
        if (verdict && std::string_view(reinterpret_cast<const char*>(verdict)) == "ok")
            return true;
        *why = verdict ? reinterpret_cast<const char*>(verdict) : sqlite3_errmsg(db);
        return false;
    }

    bool prepareStatements(std::string* why) {
        auto prepare = [this, why](const char* sql, Statement& out) {
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
                *why = sqlite3_errmsg(db_.get());
                return false;
            }
            out.reset(raw);
            return true;
        };
        return prepare("SELECT kind, value FROM kv WHERE key = ?1;", select_) &&
               prepare(
                   "INSERT INTO kv (key, kind, value) VALUES (?1, ?2, ?3)"
                   " ON CONFLICT(key) DO UPDATE SET kind = excluded.kind, value = excluded.value;",
                   upsert_) &&
               prepare("DELETE FROM kv WHERE key = ?1;", remove_);
    }

    std::optional<StoredValue> read(const std::string& key) const {
        std::lock_guard lock(mutex_);
        sqlite3_stmt* st = select_.get();
        sqlite3_reset(st);
        bindKey(st, key);
        std::optional<StoredValue> result;
        const int rc = sqlite3_step(st);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed("read");
        if (rc == SQLITE_ROW) {
            const int kind = sqlite3_column_int(st, 0);
            const auto* data = static_cast<const char*>(sqlite3_column_blob(st, 1));
            const int size = sqlite3_column_bytes(st, 1);
            std::string value(data ? data : "", data ? static_cast<std::size_t>(size) : 0);
            if (kind == kKindBool) {
                result = StoredValue{value == "1"};
            } else {
                result = StoredValue{std::move(value)};
            }
        }
        sqlite3_reset(st);
        return result;
    }

    static void bindKey(sqlite3_stmt* st, const std::string& key) {
        sqlite3_bind_text64(st, 1, key.data(), key.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }

    // Callers hold the mutex.
    bool upsert(const std::string& key, int kind, const std::string& value) {
        sqlite3_stmt* st = upsert_.get();
        sqlite3_reset(st);
        bindKey(st, key);
        sqlite3_bind_int(st, 2, kind);
        // Stored as a blob so that text with NUL bytes comes back whole.
        sqlite3_bind_blob64(st, 3, value.data(), value.size(), SQLITE_TRANSIENT);
        const bool done = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
        return done;
    }

    // Callers hold the mutex.
    bool removeRow(const std::string& key) {
        sqlite3_stmt* st = remove_.get();
        sqlite3_reset(st);
        bindKey(st, key);
        const bool done = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
        return done;
    }

    bool execute(const char* sql) {
        return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    // Logs the failure of a batch and undoes what it wrote (SQLite may have done so already).
    bool rolledBack() {
        failed("write");
        if (!sqlite3_get_autocommit(db_.get())) execute("ROLLBACK;");
        return false;
    }

    bool failed(const char* what) const {
        Log::write(std::string("[Plovendale] key-value store ") + what +
                   " failed: " + sqlite3_errmsg(db_.get()));
        return false;
    }

    mutable std::mutex mutex_;
    Database db_;
    Statement select_;
    Statement upsert_;
    Statement remove_;
};

}  // namespace

std::shared_ptr<KeyValueStore> makeInMemoryKeyValueStore() {
    return std::make_shared<InMemoryStore>();
}

std::shared_ptr<KeyValueStore> makeSQLiteKeyValueStore(const std::string& path) {
    std::string why;
    if (auto store = SQLiteStore::open(path, &why)) return store;
    Log::write("[Plovendale] cannot open the key-value store at " + path + " (" + why +
               "); values are kept in memory for this run only.");
    return makeInMemoryKeyValueStore();
}

}  // namespace plovendale
