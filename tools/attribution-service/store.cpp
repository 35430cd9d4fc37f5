#include "attribution-service/store.h"

#include <sqlite3.h>

#include "attribution-service/identifiers.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kSchema = R"sql(
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
    received_at     TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS install_requests_by_key ON install_requests (app_key, id);
)sql";

/// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& bind(int index, const std::string& text) {
        if (stmt_)
            sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, int value) {
        if (stmt_) sqlite3_bind_int(stmt_, index, value);
        return *this;
    }
    /// SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_text(stmt_, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                   static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                     : std::string();
    }
    int integer(int column) const { return sqlite3_column_int(stmt_, column); }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return nullptr;
    }
    // The offline "register" command may write while the service runs: wait for its lock briefly.
    sqlite3_busy_timeout(db, 5000);
    if (!exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", error) ||
        !exec(db, kSchema, error)) {
        sqlite3_close(db);
        return nullptr;
    }
    return std::unique_ptr<Store>(new Store(db));
}

Store::~Store() {
    sqlite3_close(db_);
}

std::string Store::lastError() {
    std::lock_guard lock(mutex_);
    return lastError_;
}

RegisterOutcome Store::addLink(const std::string& appKey, const std::string& traceId,
                               const std::string& params, const std::string& channel) {
    std::lock_guard lock(mutex_);
    Statement insert(db_,
                     "INSERT INTO links (app_key, trace_id, params, channel, created_at) "
                     "VALUES (?, ?, ?, ?, ?)");
    insert.bind(1, appKey)
        .bind(2, traceId)
        .bind(3, params)
        .bind(4, channel)
        .bind(5, utcTimestamp());
    const int rc = insert.step();
    if (rc == SQLITE_DONE) return RegisterOutcome::Registered;
    lastError_ = sqlite3_errmsg(db_);
    return sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY
               ? RegisterOutcome::TraceIdTaken
               : RegisterOutcome::Failed;
}

std::optional<Link> Store::findLink(const std::string& appKey, const std::string& traceId) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT trace_id, params, channel, created_at FROM links "
                    "WHERE app_key = ? AND trace_id = ?");
    query.bind(1, appKey).bind(2, traceId);
    if (query.step() != SQLITE_ROW) return std::nullopt;
    return Link{query.text(0), query.text(1), query.text(2), query.text(3)};
}

std::vector<Link> Store::links(const std::string& appKey) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT trace_id, params, channel, created_at FROM links "
                    "WHERE app_key = ? ORDER BY rowid");
    query.bind(1, appKey);
    std::vector<Link> result;
    while (query.step() == SQLITE_ROW) {
        result.push_back({query.text(0), query.text(1), query.text(2), query.text(3)});
    }
    return result;
}

bool Store::addStateReport(const std::string& appKey, const StateReport& report) {
    std::lock_guard lock(mutex_);
    Statement insert(db_,
                     "INSERT INTO state_reports (app_key, ci, t, ms, cd, msg, received_at) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, appKey).bind(2, report.ci).bind(3, report.t).bind(4, report.ms);
    insert.bind(5, report.cd).bind(6, report.msg).bind(7, utcTimestamp());
    if (insert.step() == SQLITE_DONE) return true;
    lastError_ = sqlite3_errmsg(db_);
    return false;
}

std::vector<StateReport> Store::stateReports(const std::string& appKey) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT ci, t, ms, cd, msg, received_at FROM state_reports "
                    "WHERE app_key = ? ORDER BY id");
    query.bind(1, appKey);
    std::vector<StateReport> result;
    while (query.step() == SQLITE_ROW) {
        result.push_back({query.text(0), query.text(1), query.text(2), query.text(3), query.text(4),
                          query.text(5)});
    }
    return result;
}

bool Store::addInstallRequest(const std::string& appKey, const InstallRequest& request) {
    std::lock_guard lock(mutex_);
    Statement insert(db_,
                     "INSERT INTO install_requests "
                     "(app_key, params, trace_id, answered_status, received_at) "
                     "VALUES (?, ?, ?, ?, ?)");
    insert.bind(1, appKey).bind(2, request.paramsJson).bind(3, request.traceId);
    insert.bind(4, request.answeredStatus).bind(5, utcTimestamp());
    if (insert.step() == SQLITE_DONE) return true;
    lastError_ = sqlite3_errmsg(db_);
    return false;
}

std::vector<InstallRequest> Store::installRequests(const std::string& appKey) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT params, trace_id, answered_status, received_at FROM install_requests "
                    "WHERE app_key = ? ORDER BY id");
    query.bind(1, appKey);
    std::vector<InstallRequest> result;
    while (query.step() == SQLITE_ROW) {
        result.push_back({query.text(0), query.text(1), query.integer(2), query.text(3)});
    }
    return result;
}

std::optional<std::string> registerNewLink(Store& store, const std::string& appKey,
                                           const std::string& params, const std::string& channel) {
    // 16 characters of 62 make a collision vanishingly rare; a few retries settle it for good.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::string traceId = newTraceId();
        switch (store.addLink(appKey, traceId, params, channel)) {
            case RegisterOutcome::Registered:
                return traceId;
            case RegisterOutcome::TraceIdTaken:
                continue;
            case RegisterOutcome::Failed:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace plovendale::attribution_service
