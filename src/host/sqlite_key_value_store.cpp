#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "host/sqlite_file.h"
#include "host/stored_values.h"
#include "plovendale/platform/log.h"
#include "util/text.h"

namespace plovendale::stored {
namespace {

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

constexpr int kBusyTimeoutMs = 1000;
constexpr int kOpenAttempts = 5;
constexpr int kKindString = 0;
constexpr int kKindBool = 1;
// The library's largest value, a full event outbox of the largest events, stays below this (48
// MiB); a larger one (a file another program filled) reads as absent rather than costing every
// launch its time and memory. length() reads only the record's header, so a value past the bound
// is never loaded; and the one-key read scans the few rows ("+key") instead of seeking, as a seek
// loads each record it compares with whole.
constexpr std::size_t kLargestValue = 50331648;  // the bound the two reads below spell out
constexpr const char* kReadAll =
    "SELECT key, kind, CASE WHEN length(value) <= 50331648 THEN value END FROM kv;";
constexpr const char* kReadOne =
    "SELECT kind, CASE WHEN length(value) <= 50331648 THEN value END FROM kv WHERE +key = ?1;";

// Values live in one table. Each write is its own transaction in WAL mode and syncs the log once
// committed, so a value is on disk when the write returns true, even if the process dies right
// after; a write that fails is rolled back whole.
//
// Reads are answered from a copy of the table, read whole when the store opens; each write reaches
// the copy only once its commit succeeded. Another process on the data directory may write the
// file meanwhile (a forget erases the client identifier): each read first asks SQLite whether
// another connection committed since the copy was read, which costs no read of the table, and
// reads the table again when one did. One store per file per process (see
// makeSQLiteKeyValueStore) keeps two copies in the process from drifting apart.
class SQLiteStore final : public KeyValueStore {
  public:
    // Launches that make the file at the same moment can find it locked while another sets it
    // up (SQLite answers "locked" at once where waiting could deadlock), or its journal files
    // coming and going: such an open is tried again, a few times, before values are kept in
    // memory for the run.
    static std::shared_ptr<SQLiteStore> open(const std::string& path, std::string* why) {
        for (int attempt = 1;; ++attempt) {
            int code = SQLITE_OK;
            if (auto store = openOnce(path, why, &code)) return store;
            const bool transient =
                code == SQLITE_BUSY || code == SQLITE_LOCKED || code == SQLITE_CANTOPEN;
            if (!transient || attempt == kOpenAttempts) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(10 * attempt));
        }
    }

    static std::shared_ptr<SQLiteStore> openOnce(const std::string& path, std::string* why,
                                                 int* code) {
        sqlite3* raw = nullptr;
        // Every use of the connection holds mutex_, so SQLite's own locking would only cost.
        int rc = sqlite3_open_v2(path.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        Database db(raw);
        if (rc != SQLITE_OK) {
            *why = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
            *code = rc & 0xff;
            return nullptr;
        }
        auto failed = [&](sqlite3* connection) {
            *code = sqlite3_errcode(connection) & 0xff;
            return nullptr;
        };
        // Another process of the application may hold the write lock for a moment; the writes come
        // from the host's main thread, which must not stall for long when that lasts.
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        // The synchronous level belongs to the connection: set on every open. At NORMAL a WAL
        // commit appends to the log without a sync (checkpoints still sync); a write that must be
        // durable syncs the log itself (syncLog), which is what FULL would add to each commit, and
        // a write that may be lost does not, with no level to switch. The journal mode and the
        // table live in the file: a store at the current schema version has them, and a launch
        // does not pay to set them up again.
        if (!execute(db.get(), "PRAGMA synchronous=NORMAL;", why)) return failed(db.get());
        const auto version = schemaVersion(db.get(), why);
        if (!version) return failed(db.get());
        if (*version < kSchemaVersion && !setUpFile(db.get(), why)) return failed(db.get());
        std::shared_ptr<SQLiteStore> store(new SQLiteStore(std::move(db)));
        if (!store->reload(why)) return failed(store->db_.get());
        return store;
    }

    std::optional<std::string> stringForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        refresh();
        return table_.string(key);
    }
    bool boolForKey(const std::string& key) const override {
        std::lock_guard lock(mutex_);
        refresh();
        return table_.boolean(key);
    }
    bool setString(const std::string& value, const std::string& key) override {
        return write(valueOf(key, value));
    }
    bool setStrings(const std::map<std::string, std::string>& valuesByKey) override {
        return write(valuesOf(valuesByKey));
    }
    bool setBool(bool value, const std::string& key) override { return write(valueOf(key, value)); }
    bool removeObjectForKey(const std::string& key) override { return remove({&key, 1}); }
    bool removeObjectsForKeys(const std::vector<std::string>& keys) override {
        return remove(keys);
    }

    // The line saying why a write or removal failed, if it did.
    using Failure = std::optional<std::string>;

    // Outside a transaction the read takes a snapshot of the file and lets it go at once: no write
    // lock, no commit, no sync.
    std::optional<std::string> currentStringForKey(const std::string& key) override {
        std::optional<std::string> value;
        Failure failed;
        {
            std::lock_guard lock(mutex_);
            if (!prepareWrites() || !readRow(key, &value)) failed = failure("read");
        }
        if (!reported(failed)) return std::nullopt;
        return value;
    }

    // Inside BEGIN IMMEDIATE the write lock is held from the read on, so no other process can
    // write between the read of the file's value and the write of the new one. While no other
    // connection has written the file since it was loaded, the copy is that value.
    bool update(const std::string& key, const Change& change,
                const std::map<std::string, std::string>& alsoSet) override {
        return reported(updateLocked(key, change, alsoSet, true));
    }
    // The commit appends to the log without a sync; the next durable write's sync of the log
    // carries it to the disk too.
    bool updateWithoutSync(const std::string& key, const Change& change) override {
        return reported(updateLocked(key, change, {}, false));
    }

  private:
    Failure updateLocked(const std::string& key, const Change& change,
                         const std::map<std::string, std::string>& alsoSet, bool sync) {
        std::lock_guard lock(mutex_);
        if (!prepareWrites()) return failure("update");
        const auto before = sqlite3_total_changes64(db_.get());
        Failure failed = updateTransaction(key, change, alsoSet);
        return failed || !sync ? failed : syncLog("update", before);
    }

    // Callers hold the mutex.
    Failure updateTransaction(const std::string& key, const Change& change,
                              const std::map<std::string, std::string>& alsoSet) {
        if (!run(begin_)) return failure("update");
        std::optional<std::string> current;
        if (copyIsCurrent()) {
            current = table_.string(key);
            if (current && current->size() > kLargestValue) current.reset();
        } else if (!readRow(key, &current)) {
            return rolledBack("update");
        }
        auto incoming = changed(key, current, change, alsoSet);
        if (!incoming) return rolledBack("update");
        for (const auto& [name, value] : incoming->values) {
            if (!upsert(name, value)) return rolledBack("update");
        }
        if (incoming->removed && !removeRow(key)) return rolledBack("update");
        if (!run(commit_)) return rolledBack("update");
        // The copy now holds the file's value of the key, whoever wrote it.
        if (incoming->unchanged) {
            table_.erase({&key, 1});
            if (current) incoming->values.insert_or_assign(key, StoredValue{std::move(*current)});
        }
        table_.merge(std::move(incoming->values));
        if (incoming->removed) table_.erase({&key, 1});
        return std::nullopt;
    }

    explicit SQLiteStore(Database db) : db_(std::move(db)) {}

    bool remove(std::span<const std::string> keys) { return reported(removeLocked(keys)); }

    Failure removeLocked(std::span<const std::string> keys) {
        std::lock_guard lock(mutex_);
        if (!prepareWrites()) return failure("remove");
        const auto before = sqlite3_total_changes64(db_.get());
        const bool batch = keys.size() > 1;
        if (batch && !run(begin_)) return failure("remove");
        for (const auto& key : keys) {
            if (!removeRow(key)) return batch ? rolledBack("remove") : failure("remove");
        }
        if (batch && !run(commit_)) return rolledBack("remove");
        table_.erase(keys);
        return syncLog("remove", before);
    }

    // Logged once the mutex is let go: the host's log sink may read or write this store.
    static bool reported(const Failure& failure) {
        if (!failure) return true;
        Log::write(*failure);
        return false;
    }

    // Reads the copy again when another connection committed since it was read. A read that fails
    // (the file damaged since the open) keeps the copy as it was, and the next read tries again.
    // Callers hold the mutex.
    void refresh() const {
        // A count that cannot be told leaves the copy as it is: the open read it.
        const auto now = othersCommits();
        if (!now || now == othersCommitsInCopy_) return;
        std::string why;
        (void)reload(&why);
    }

    // Reads every value into the copy, which it replaces. The commit count is asked before the
    // read: a commit of another connection in between makes the next read load the table again
    // rather than trust a copy that may miss it. Callers hold the mutex, or own the store alone.
    bool reload(std::string* why) const {
        const auto commits = othersCommits();
        Values values;
        if (!readAll(&values, why)) return false;
        table_.replace(std::move(values));
        othersCommitsInCopy_ = commits;
        return true;
    }

    // Reads every value. A damaged file reads as missing values (a new client identifier, an
    // unattributed installation) and takes no writes: that is said once by the caller, and the
    // run kept in memory. Reading the whole table meets every damaged page a read could meet;
    // damage elsewhere in the file shows as a failed write, which is reported like any other.
    bool readAll(Values* out, std::string* why) const {
        sqlite3_stmt* raw = nullptr;
        sqlite3_prepare_v2(db_.get(), kReadAll, -1, &raw, nullptr);
        Statement statement(raw);
        Values values;
        int rc = statement ? SQLITE_ROW : SQLITE_ERROR;
        try {
            while (statement && (rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
                sqlite3_stmt* st = statement.get();
                if (sqlite3_column_type(st, 2) == SQLITE_NULL) continue;
                const auto* key = static_cast<const char*>(sqlite3_column_blob(st, 0));
                std::string text = columnText(st, 2);
                StoredValue value = sqlite3_column_int(st, 1) == kKindBool
                                        ? StoredValue{text == "1"}
                                        : StoredValue{std::move(text)};
                values.insert_or_assign(
                    std::string(key ? key : "",
                                static_cast<std::size_t>(sqlite3_column_bytes(st, 0))),
                    std::move(value));
            }
        } catch (const std::bad_alloc&) {
            *why = "out of memory";
            return false;
        }
        if (rc != SQLITE_DONE) {
            *why = sqlite3_errmsg(db_.get());
            return false;
        }
        *out = std::move(values);
        return true;
    }

    static std::string columnText(sqlite3_stmt* st, int column) {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(st, column));
        const int size = sqlite3_column_bytes(st, column);
        return std::string(data ? data : "", data ? static_cast<std::size_t>(size) : 0);
    }

    // Made at the first write: a launch that only reads does not pay for them. The transaction
    // statements too: compiling one costs more than running it. Callers hold the mutex.
    bool prepareWrites() {
        auto prepare = [this](const char* sql, Statement& out) {
            if (out) return true;
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK) return false;
            out.reset(raw);
            return true;
        };
        return prepare(kReadOne, select_) &&
               prepare("INSERT OR REPLACE INTO kv (key, kind, value) VALUES (?1, ?2, ?3);",
                       upsert_) &&
               prepare("DELETE FROM kv WHERE key = ?1;", remove_) &&
               prepare("BEGIN IMMEDIATE;", begin_) && prepare("COMMIT;", commit_) &&
               prepare("ROLLBACK;", rollback_);
    }

    bool write(std::optional<Values> incoming) {
        if (!incoming) return false;
        return reported(writeLocked(std::move(*incoming)));
    }

    Failure writeLocked(Values incoming) {
        std::lock_guard lock(mutex_);
        if (!prepareWrites()) return failure("write");
        const auto before = sqlite3_total_changes64(db_.get());
        const bool batch = incoming.size() > 1;
        if (batch && !run(begin_)) return failure("write");
        for (const auto& [key, value] : incoming) {
            if (!upsert(key, value)) return batch ? rolledBack("write") : failure("write");
        }
        if (batch && !run(commit_)) return rolledBack("write");
        table_.merge(std::move(incoming));
        return syncLog("write", before);
    }

    // Bound without a copy: the caller's text outlives the step, and `release` lets go of it.
    static void bindKey(sqlite3_stmt* st, const std::string& key) {
        sqlite3_bind_text64(st, 1, key.data(), key.size(), SQLITE_STATIC, SQLITE_UTF8);
    }
    // Resets a statement and drops its bindings, which point into the caller's strings.
    static void release(sqlite3_stmt* st) {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
    }

    // How many commits other connections (other launches, other processes) have made to the
    // file, as of the snapshot the connection reads; nothing when that cannot be told. This
    // connection's own commits do not count. Callers hold the mutex, or own the store alone.
    std::optional<sqlite3_int64> othersCommits() const {
        if (!version_) {
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db_.get(), "PRAGMA data_version;", -1, &raw, nullptr) !=
                SQLITE_OK)
                return std::nullopt;
            version_.reset(raw);
        }
        sqlite3_stmt* st = version_.get();
        std::optional<sqlite3_int64> count;
        if (sqlite3_step(st) == SQLITE_ROW) count = sqlite3_column_int64(st, 0);
        sqlite3_reset(st);
        return count;
    }

    // Whether the copy holds what the file holds, inside a write transaction: so it does when no
    // other connection has committed since the copy was read, as every commit of this one reached
    // the copy. When one has, the update reads its one key from the file, and the next read
    // reads the table again. Callers hold the mutex.
    bool copyIsCurrent() const {
        if (!othersCommitsInCopy_) return false;
        return othersCommits() == othersCommitsInCopy_;
    }

    // Callers hold the mutex.
    bool upsert(const std::string& key, const StoredValue& value) {
        const bool* flag = std::get_if<bool>(&value);
        const std::string& text = flag ? (*flag ? kTrue : kFalse) : std::get<std::string>(value);
        sqlite3_stmt* st = upsert_.get();
        sqlite3_reset(st);
        bindKey(st, key);
        sqlite3_bind_int(st, 2, flag ? kKindBool : kKindString);
        // Stored as a blob so that text with NUL bytes comes back whole.
        sqlite3_bind_blob64(st, 3, text.data(), text.size(), SQLITE_STATIC);
        const bool done = sqlite3_step(st) == SQLITE_DONE;
        release(st);
        return done;
    }

    // The string the file holds under `key` (nothing when absent or a boolean). Callers hold
    // the mutex.
    bool readRow(const std::string& key, std::optional<std::string>* value) {
        sqlite3_stmt* st = select_.get();
        sqlite3_reset(st);
        bindKey(st, key);
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW && sqlite3_column_int(st, 0) == kKindString &&
            sqlite3_column_type(st, 1) != SQLITE_NULL) {
            try {
                *value = columnText(st, 1);
            } catch (const std::bad_alloc&) {
                release(st);
                return false;
            }
        }
        release(st);
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    // Callers hold the mutex.
    bool removeRow(const std::string& key) {
        sqlite3_stmt* st = remove_.get();
        sqlite3_reset(st);
        bindKey(st, key);
        const bool done = sqlite3_step(st) == SQLITE_DONE;
        release(st);
        return done;
    }

    // Carries a committed write to the disk: the sync of the log that synchronous=FULL would
    // make inside the commit. The commit is already in the file and the copy, so a failed sync
    // leaves both as they are and says the write failed: it may not outlive a power loss. Without
    // an open log (a file SQLite could not put in WAL mode) the commit synced the file itself;
    // a write that changed no row (`changesBefore` is the connection's count before it) appended
    // nothing. Callers hold the mutex.
    Failure syncLog(const char* what, sqlite3_int64 changesBefore) {
        sqlite3_file* log = nullptr;
        if (sqlite3_total_changes64(db_.get()) == changesBefore ||
            sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) !=
                SQLITE_OK ||
            !log || !log->pMethods || log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) == SQLITE_OK) {
            return std::nullopt;
        }
        return std::string("[Plovendale] key-value store ") + what +
               " failed: the log could not be synced";
    }

    // Runs a prepared statement that returns no rows, and leaves it reset (an unreset statement
    // would keep its transaction open). Callers hold the mutex.
    static bool run(const Statement& statement) {
        sqlite3_stmt* st = statement.get();
        const bool done = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
        return done;
    }

    // The failure of a batch, once what it wrote is undone (SQLite may have done so already).
    // Callers hold the mutex.
    Failure rolledBack(const char* what) {
        Failure why = failure(what);
        if (!sqlite3_get_autocommit(db_.get())) run(rollback_);
        return why;
    }

    Failure failure(const char* what) const {
        return std::string("[Plovendale] key-value store ") + what +
               " failed: " + sqlite3_errmsg(db_.get());
    }

    inline static const std::string kTrue = "1";
    inline static const std::string kFalse = "0";

    mutable std::mutex mutex_;
    Database db_;
    Statement select_;
    Statement upsert_;
    Statement remove_;
    Statement begin_;
    Statement commit_;
    Statement rollback_;
    mutable Statement version_;
    // Other connections' commits when the copy was read from the file.
    mutable std::optional<sqlite3_int64> othersCommitsInCopy_;
    mutable ValueTable table_;
};

}  // namespace

std::shared_ptr<KeyValueStore> openSQLiteFile(const std::string& path, std::string* why) {
    return SQLiteStore::open(path, why);
}

}  // namespace plovendale::stored
