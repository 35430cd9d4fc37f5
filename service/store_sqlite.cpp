#include "store_sqlite.h"

#include <sqlite3.h>

#include "identifiers.h"
#include "sqlite_statement.h"

namespace plovendale::attribution_service {
namespace {

#define EVENTS_TABLE                            \
    "CREATE TABLE IF NOT EXISTS events ("       \
    "    id INTEGER PRIMARY KEY AUTOINCREMENT," \
    "    app_key TEXT NOT NULL,"                \
    "    event_id TEXT NOT NULL,"               \
    "    name TEXT NOT NULL,"                   \
    "    ts INTEGER NOT NULL,"                  \
    "    params TEXT NOT NULL,"                 \
    "    amount TEXT,"                          \
    "    currency TEXT,"                        \
    "    ci TEXT NOT NULL,"                     \
    "    received_at TEXT NOT NULL,"            \
    "    UNIQUE (app_key, ci, event_id));"      \
    "CREATE INDEX IF NOT EXISTS events_by_key ON events (app_key, id);"

constexpr const char* kSchema = EVENTS_TABLE R"sql(
CREATE TABLE IF NOT EXISTS links (
    app_key    TEXT NOT NULL,
    trace_id   TEXT NOT NULL,
    params     TEXT NOT NULL,
    channel    TEXT NOT NULL,
    created_at TEXT NOT NULL,
    PRIMARY KEY (app_key, trace_id)
);
CREATE TABLE IF NOT EXISTS state_reports (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    app_key     TEXT NOT NULL,
    ci          TEXT NOT NULL,
    t           TEXT NOT NULL,
    ms          TEXT NOT NULL,
    cd          TEXT NOT NULL,
    msg         TEXT NOT NULL,
    received_at TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS state_reports_by_key ON state_reports (app_key, id);
CREATE TABLE IF NOT EXISTS install_requests (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    app_key         TEXT NOT NULL,
    params          TEXT NOT NULL,
    trace_id        TEXT NOT NULL,
    answered_status INTEGER NOT NULL,
    received_at     TEXT NOT NULL,
    ci              TEXT NOT NULL DEFAULT '',
    match           TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS install_requests_by_key ON install_requests (app_key, id);
CREATE TABLE IF NOT EXISTS installs (
    app_key  TEXT NOT NULL,
    ci       TEXT NOT NULL,
    trace_id TEXT NOT NULL,
    match    TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (app_key, ci)
);
-- Kept as rows are written, for the summary and the console: installs, events and revenue per
-- group (organic, unknown, channel:<name>) and currency ('' for installs and events without
-- revenue); the events of clients not yet credited; and the app keys by last activity.
CREATE TABLE IF NOT EXISTS totals (
    app_key  TEXT NOT NULL,
    grp      TEXT NOT NULL,
    currency TEXT NOT NULL,
    installs INTEGER NOT NULL,
    events   INTEGER NOT NULL,
    micros   TEXT NOT NULL,
    PRIMARY KEY (app_key, grp, currency)
);
CREATE TABLE IF NOT EXISTS client_totals (
    app_key  TEXT NOT NULL,
    ci       TEXT NOT NULL,
    currency TEXT NOT NULL,
    events   INTEGER NOT NULL,
    micros   TEXT NOT NULL,
    PRIMARY KEY (app_key, ci, currency)
);
CREATE TABLE IF NOT EXISTS app_keys (
    app_key     TEXT NOT NULL PRIMARY KEY,
    last_active TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS app_keys_by_activity ON app_keys (last_active);
CREATE TABLE IF NOT EXISTS link_landings (
    app_key     TEXT NOT NULL,
    trace_id    TEXT NOT NULL,
    ios         TEXT NOT NULL,
    android     TEXT NOT NULL,
    fallback    TEXT NOT NULL,
    title       TEXT NOT NULL,
    description TEXT NOT NULL,
    image       TEXT NOT NULL,
    PRIMARY KEY (app_key, trace_id)
);
CREATE TABLE IF NOT EXISTS clicks (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    click_id        TEXT NOT NULL UNIQUE,
    app_key         TEXT NOT NULL,
    trace_id        TEXT NOT NULL,
    address         TEXT NOT NULL,
    user_agent      TEXT NOT NULL,
    accept_language TEXT NOT NULL,
    platform        TEXT NOT NULL,
    screen_width    INTEGER,
    screen_height   INTEGER,
    pixel_ratio     REAL,
    time_zone       TEXT,
    language        TEXT,
    credited_ci     TEXT NOT NULL DEFAULT '',
    received_at     TEXT NOT NULL,
    received_ms     INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS clicks_by_key ON clicks (app_key, id);
CREATE INDEX IF NOT EXISTS clicks_by_address ON clicks (app_key, address, received_ms);
CREATE INDEX IF NOT EXISTS clicks_by_link ON clicks (app_key, trace_id);
CREATE INDEX IF NOT EXISTS clicks_by_age ON clicks (received_ms);
CREATE INDEX IF NOT EXISTS events_by_client ON events (app_key, ci);
CREATE INDEX IF NOT EXISTS installs_by_link ON installs (app_key, trace_id);
)sql";

// Databases made before install requests kept the client identifier gain the column; their older
// rows join no events.
constexpr const char* kAddClientIdColumn =
    "ALTER TABLE install_requests ADD COLUMN ci TEXT NOT NULL DEFAULT ''";

// Databases made when event ids were unique per app key, rather than per client of it: the table
// is made again with the new constraint, keeping every row.
constexpr const char* kEventsPerClient =
    "BEGIN IMMEDIATE;"
    "ALTER TABLE events RENAME TO events_per_key;"
    "DROP INDEX events_by_key;" EVENTS_TABLE
    "INSERT INTO events SELECT id, app_key, event_id, name, ts, params, amount, currency, ci, "
    "    received_at FROM events_per_key;"
    "DROP TABLE events_per_key;"
    "COMMIT;";
#undef EVENTS_TABLE
// Databases made before installs kept how they were matched gain the column; their rows say "".
constexpr const char* kAddRequestMatchColumn =
    "ALTER TABLE install_requests ADD COLUMN match TEXT NOT NULL DEFAULT ''";
constexpr const char* kAddInstallMatchColumn =
    "ALTER TABLE installs ADD COLUMN match TEXT NOT NULL DEFAULT ''";

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

/// 1 when the database keeps totals, 0 when it is from before they were kept, -1 when unreadable.
int keptTotals(sqlite3* db) {
    Statement query(db, "SELECT count(*) FROM sqlite_master WHERE name = 'totals'");
    if (query.step() != SQLITE_ROW) return -1;
    return query.integer(0) > 0 ? 1 : 0;
}

bool eventIdsPerKey(sqlite3* db) {
    Statement query(db, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'events'");
    return query.step() == SQLITE_ROW &&
           query.text(0).find("UNIQUE (app_key, event_id)") != std::string::npos;
}

}  // namespace

std::unique_ptr<SqliteStore> SqliteStore::open(const std::string& path, std::string& error,
                                               std::chrono::milliseconds busyWait) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    // Another process (the offline "register" command, an sqlite3 shell) may hold the write lock.
    sqlite3_busy_timeout(db, static_cast<int>(busyWait.count()));
    const bool totalsExisted = keptTotals(db) > 0;
    if (!exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", error) ||
        !exec(db, kSchema, error) ||
        (!Statement(db, "SELECT ci FROM install_requests LIMIT 0").ok() &&
         !exec(db, kAddClientIdColumn, error)) ||
        (eventIdsPerKey(db) && !exec(db, kEventsPerClient, error)) ||
        (!Statement(db, "SELECT match FROM install_requests LIMIT 0").ok() &&
         !exec(db, kAddRequestMatchColumn, error)) ||
        (!Statement(db, "SELECT match FROM installs LIMIT 0").ok() &&
         !exec(db, kAddInstallMatchColumn, error))) {
        std::string ignored;  // the migration's transaction, when it failed inside it
        exec(db, "ROLLBACK", ignored);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3* reader = db;
    if (path != ":memory:") {
        reader = nullptr;
        if (sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                            nullptr) != SQLITE_OK ||
            !exec(reader, "PRAGMA query_only=1", error)) {
            error = reader ? sqlite3_errmsg(reader) : "out of memory";
            sqlite3_close(reader);
            sqlite3_close(db);
            return nullptr;
        }
        sqlite3_busy_timeout(reader, static_cast<int>(busyWait.count()));
    }
    std::unique_ptr<SqliteStore> store(new SqliteStore(db, reader));
    if (!totalsExisted) {
        if (!exec(db, "BEGIN IMMEDIATE", error) || !store->rebuildTotals() ||
            !exec(db, "COMMIT", error)) {
            if (error.empty()) error = sqlite3_errmsg(db);
            std::string ignored;
            exec(db, "ROLLBACK", ignored);
            return nullptr;  // the destructor closes both connections
        }
        store->statements_.clear();
    }
    store->writer_ = std::thread([raw = store.get()] { raw->writerLoop(); });
    return store;
}

SqliteStore::~SqliteStore() {
    {
        std::lock_guard lock(writesMutex_);
        closing_ = true;
    }
    writesChanged_.notify_all();
    if (writer_.joinable()) writer_.join();
    statements_.clear();  // finalized before the connection closes
    if (reader_ != db_) sqlite3_close(reader_);
    sqlite3_close(db_);
}

std::string SqliteStore::lastError() {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

void SqliteStore::noteError(sqlite3* db) {
    setError(sqlite3_errmsg(db));
}

void SqliteStore::setError(std::string error) {
    std::lock_guard lock(errorMutex_);
    lastError_ = std::move(error);
}

Statement& SqliteStore::prepared(const std::string& sql) {
    auto& statement = statements_[sql];
    if (!statement || !statement->ok()) statement = std::make_unique<Statement>(db_, sql.c_str());
    statement->reset();
    return *statement;
}

bool SqliteStore::write(const std::function<bool()>& body) {
    Write write{&body};
    std::unique_lock lock(writesMutex_);
    pending_.push_back(&write);
    writesChanged_.notify_all();
    writesChanged_.wait(lock, [&] { return write.done; });
    return write.stored;
}

void SqliteStore::writerLoop() {
    std::unique_lock lock(writesMutex_);
    for (;;) {
        writesChanged_.wait(lock, [this] { return !pending_.empty() || closing_; });
        if (pending_.empty()) return;
        std::vector<Write*> group;
        group.swap(pending_);
        lock.unlock();
        commitGroup(group);
        lock.lock();
        for (Write* write : group) write->done = true;
        writesChanged_.notify_all();
    }
}

void SqliteStore::commitGroup(const std::vector<Write*>& group) {
    std::lock_guard lock(mutex_);
    std::string error;
    if (!exec(db_, "BEGIN IMMEDIATE", error)) {
        setError(error);
        return;  // every write of the group stays not stored
    }
    for (Write* write : group) {
        exec(db_, "SAVEPOINT one_write", error);
        write->stored = (*write->body)();
        if (!write->stored) noteError(db_);
        // No statement stays active across the savepoint's end or the commit.
        for (auto& [sql, statement] : statements_) statement->reset();
        if (!write->stored) exec(db_, "ROLLBACK TO one_write", error);
        exec(db_, "RELEASE one_write", error);
    }
    if (exec(db_, "COMMIT", error)) return;
    setError(error);
    exec(db_, "ROLLBACK", error);
    for (Write* write : group) write->stored = false;
}

RegisterOutcome SqliteStore::addLink(const std::string& appKey, const std::string& traceId,
                                     const std::string& params, const std::string& channel,
                                     const LinkLanding* landing) {
    bool taken = false;
    const bool stored = write([&] {
        Statement& insert = prepared(
            "INSERT INTO links (app_key, trace_id, params, channel, created_at) "
            "VALUES (?, ?, ?, ?, ?)");
        const std::string now = utcTimestamp();
        insert.bind(1, appKey).bind(2, traceId).bind(3, params).bind(4, channel).bind(5, now);
        if (insert.step() != SQLITE_DONE) {
            taken = sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY;
            return false;
        }
        if (!touchAppKey(appKey, now)) return false;
        if (!landing) return true;
        Statement& page = prepared(
            "INSERT INTO link_landings (app_key, trace_id, ios, android, fallback, title, "
            "description, image) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        page.bind(1, appKey).bind(2, traceId).bind(3, landing->ios).bind(4, landing->android);
        page.bind(5, landing->fallback).bind(6, landing->title).bind(7, landing->description);
        page.bind(8, landing->image);
        return page.step() == SQLITE_DONE;
    });
    if (stored) return RegisterOutcome::Registered;
    return taken ? RegisterOutcome::TraceIdTaken : RegisterOutcome::Failed;
}

Lookup<Link> SqliteStore::findLink(const std::string& appKey, const std::string& traceId) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT trace_id, params, channel, created_at FROM links "
                    "WHERE app_key = ? AND trace_id = ?");
    query.bind(1, appKey).bind(2, traceId);
    const int rc = query.step();
    if (rc == SQLITE_ROW)
        return {Link{0, query.text(0), query.text(1), query.text(2), query.text(3)}};
    if (rc == SQLITE_DONE) return {};
    noteError(reader_);
    return {std::nullopt, true};
}

std::optional<std::vector<Link>> SqliteStore::links(const std::string& appKey, Page page) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT rowid, trace_id, params, channel, created_at FROM links "
                    "WHERE app_key = ? AND rowid > ? ORDER BY rowid LIMIT ?");
    query.bind(1, appKey).bind(2, page.after).bind(3, page.limit);
    return readRows<Link>(reader_, query, [](Statement& row) {
        return Link{row.integer64(0), row.text(1), row.text(2), row.text(3), row.text(4)};
    });
}

bool SqliteStore::addStateReport(const std::string& appKey, const StateReport& report) {
    return write([&] {
        Statement& insert = prepared(
            "INSERT INTO state_reports (app_key, ci, t, ms, cd, msg, received_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, appKey).bind(2, report.ci).bind(3, report.t).bind(4, report.ms);
        const std::string now = utcTimestamp();
        insert.bind(5, report.cd).bind(6, report.msg).bind(7, now);
        return insert.step() == SQLITE_DONE && touchAppKey(appKey, now);
    });
}

namespace {

/// A row of "SELECT id, ci, t, ms, cd, msg, received_at FROM state_reports".
StateReport stateReportOf(const Statement& row) {
    return {row.integer64(0), row.text(1), row.text(2), row.text(3),
            row.text(4),      row.text(5), row.text(6)};
}

}  // namespace

std::optional<std::vector<StateReport>> SqliteStore::stateReports(const std::string& appKey,
                                                                  Page page) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT id, ci, t, ms, cd, msg, received_at FROM state_reports "
                    "WHERE app_key = ? AND id > ? ORDER BY id LIMIT ?");
    query.bind(1, appKey).bind(2, page.after).bind(3, page.limit);
    return readRows<StateReport>(reader_, query, stateReportOf);
}

std::optional<std::vector<StateReport>> SqliteStore::recentStateReports(const std::string& appKey,
                                                                        int count) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT id, ci, t, ms, cd, msg, received_at FROM state_reports "
                    "WHERE app_key = ? ORDER BY id DESC LIMIT ?");
    query.bind(1, appKey).bind(2, count);
    return readRows<StateReport>(reader_, query, stateReportOf);
}

std::optional<InstallRequest> SqliteStore::addInstallRequest(const std::string& appKey,
                                                             InstallRequest request,
                                                             const std::string& address) {
    const InstallRequest asked = request;
    if (!write([&] {
            request = asked;
            return insertInstallRequest(appKey, request) &&
                   (address.empty() || creditMarkedClick(appKey, request, address));
        }))
        return std::nullopt;
    return request;
}

std::optional<std::pair<std::string, std::string>> SqliteStore::creditedInstall(
    const std::string& appKey, const std::string& ci) {
    if (ci.empty()) return std::nullopt;
    Statement& credited =
        prepared("SELECT trace_id, match FROM installs WHERE app_key = ? AND ci = ?");
    credited.bind(1, appKey).bind(2, ci);
    if (credited.step() != SQLITE_ROW) return std::nullopt;
    return std::pair{credited.text(0), credited.text(1)};
}

bool SqliteStore::insertInstallRequest(const std::string& appKey, InstallRequest& request) {
    // A client whose install is credited is answered from that record, whatever it sends now: a
    // later marker (or someone else's query with its client id) never moves it.
    if (const auto credited = creditedInstall(appKey, request.ci)) {
        request.traceId = credited->first;
        request.match = credited->second;
        request.answeredStatus = 200;
    }
    Statement& insert = prepared(
        "INSERT INTO install_requests "
        "(app_key, ci, params, trace_id, answered_status, received_at, match) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, appKey).bind(2, request.ci).bind(3, request.paramsJson);
    const std::string now = utcTimestamp();
    insert.bind(4, request.traceId).bind(5, request.answeredStatus).bind(6, now);
    insert.bind(7, request.match);
    if (insert.step() != SQLITE_DONE || !touchAppKey(appKey, now)) return false;
    // Only a final answer credits the install, and the first one does so for good.
    if (request.answeredStatus != 200 || request.ci.empty()) return true;
    Statement& credit = prepared(
        "INSERT INTO installs (app_key, ci, trace_id, match) VALUES (?, ?, ?, ?) "
        "ON CONFLICT (app_key, ci) DO NOTHING");
    credit.bind(1, appKey).bind(2, request.ci).bind(3, request.traceId).bind(4, request.match);
    if (credit.step() != SQLITE_DONE) return false;
    return sqlite3_changes(db_) == 0 || creditToTotals(appKey, request.ci, request.traceId);
}

std::optional<std::vector<InstallRequest>> SqliteStore::installRequests(const std::string& appKey,
                                                                        Page page) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT id, ci, params, trace_id, answered_status, received_at, match "
                    "FROM install_requests WHERE app_key = ? AND id > ? ORDER BY id LIMIT ?");
    query.bind(1, appKey).bind(2, page.after).bind(3, page.limit);
    return readRows<InstallRequest>(reader_, query, [](Statement& row) {
        return InstallRequest{row.integer64(0), row.text(1), row.text(2), row.text(3),
                              row.integer(4),   row.text(5), row.text(6)};
    });
}

}  // namespace plovendale::attribution_service
