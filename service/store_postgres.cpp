// The PostgreSQL store: its connections and its schema.

#include "store_postgres.h"

#include <cstdlib>
#include <string_view>

namespace plovendale::attribution_service {
namespace {

// Taken by the transaction that creates or migrates the schema: instances starting at once on an
// empty database wait for each other instead of racing to create the same tables.
constexpr long long kSchemaLock = 0x706c6f76656e64;  // "plovend"
constexpr int kSchemaVersion = 1;

// A request waits this long for a free connection before it is refused with 503.
constexpr std::chrono::seconds kPoolWait{5};

// Bounds on the database's answers: an unreachable server fails a request in seconds, not minutes.
constexpr const char* kConnectTimeoutSeconds = "3";
constexpr const char* kSessionOptions = "-c statement_timeout=10000 -c client_min_messages=warning";
constexpr const char* kTcpUserTimeoutMs = "10000";

// A transaction broken off by a deadlock or a serialization failure runs again this many times.
constexpr int kTransactionAttempts = 4;

constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE links (
    id         BIGSERIAL UNIQUE,
    app_key    TEXT NOT NULL,
    trace_id   TEXT NOT NULL,
    params     TEXT NOT NULL,
    channel    TEXT NOT NULL,
    created_at TEXT NOT NULL,
    PRIMARY KEY (app_key, trace_id)
);
CREATE INDEX links_by_key ON links (app_key, id);
CREATE TABLE link_landings (
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
CREATE TABLE state_reports (
    id          BIGSERIAL PRIMARY KEY,
    app_key     TEXT NOT NULL,
    ci          TEXT NOT NULL,
    t           TEXT NOT NULL,
    ms          TEXT NOT NULL,
    cd          TEXT NOT NULL,
    msg         TEXT NOT NULL,
    received_at TEXT NOT NULL
);
CREATE INDEX state_reports_by_key ON state_reports (app_key, id);
CREATE TABLE install_requests (
    id              BIGSERIAL PRIMARY KEY,
    app_key         TEXT NOT NULL,
    params          TEXT NOT NULL,
    trace_id        TEXT NOT NULL,
    answered_status INTEGER NOT NULL,
    received_at     TEXT NOT NULL,
    ci              TEXT NOT NULL DEFAULT '',
    match           TEXT NOT NULL DEFAULT ''
);
CREATE INDEX install_requests_by_key ON install_requests (app_key, id);
-- One row per credited client: the first final answer, for good.
CREATE TABLE installs (
    app_key  TEXT NOT NULL,
    ci       TEXT NOT NULL,
    trace_id TEXT NOT NULL,
    match    TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (app_key, ci)
);
CREATE INDEX installs_by_link ON installs (app_key, trace_id);
CREATE TABLE events (
    id          BIGSERIAL PRIMARY KEY,
    app_key     TEXT NOT NULL,
    event_id    TEXT NOT NULL,
    name        TEXT NOT NULL,
    ts          BIGINT NOT NULL,
    params      TEXT NOT NULL,
    amount      TEXT,
    currency    TEXT,
    ci          TEXT NOT NULL,
    received_at TEXT NOT NULL,
    UNIQUE (app_key, ci, event_id)
);
CREATE INDEX events_by_key ON events (app_key, id);
-- Installs, events and revenue (exact micros) per group (organic, unknown, channel:<name>) and
-- currency ('' for installs and events without revenue), each spread over a few shards that the
-- summary adds up: concurrent writers seldom update the same row.
CREATE TABLE totals (
    app_key  TEXT NOT NULL,
    grp      TEXT NOT NULL,
    currency TEXT NOT NULL,
    shard    INTEGER NOT NULL,
    installs BIGINT NOT NULL,
    events   BIGINT NOT NULL,
    micros   NUMERIC NOT NULL,
    PRIMARY KEY (app_key, grp, currency, shard)
);
-- The events of clients not yet credited, which move to the client's group once it is.
CREATE TABLE client_totals (
    app_key  TEXT NOT NULL,
    ci       TEXT NOT NULL,
    currency TEXT NOT NULL,
    events   BIGINT NOT NULL,
    micros   NUMERIC NOT NULL,
    PRIMARY KEY (app_key, ci, currency)
);
CREATE TABLE app_keys (
    app_key     TEXT NOT NULL PRIMARY KEY,
    last_active TEXT NOT NULL
);
CREATE INDEX app_keys_by_activity ON app_keys (last_active);
CREATE TABLE clicks (
    id              BIGSERIAL PRIMARY KEY,
    click_id        TEXT NOT NULL UNIQUE,
    app_key         TEXT NOT NULL,
    trace_id        TEXT NOT NULL,
    address         TEXT NOT NULL,
    user_agent      TEXT NOT NULL,
    accept_language TEXT NOT NULL,
    platform        TEXT NOT NULL,
    screen_width    INTEGER,
    screen_height   INTEGER,
    pixel_ratio     DOUBLE PRECISION,
    time_zone       TEXT,
    language        TEXT,
    credited_ci     TEXT NOT NULL DEFAULT '',
    received_at     TEXT NOT NULL,
    received_ms     BIGINT NOT NULL
);
CREATE INDEX clicks_by_key ON clicks (app_key, id);
CREATE INDEX clicks_by_address ON clicks (app_key, address, received_ms);
CREATE INDEX clicks_by_link ON clicks (app_key, trace_id);
CREATE INDEX clicks_by_age ON clicks (received_ms);
)sql";

/// Length of the well-formed UTF-8 sequence at text[at], or 0 when there is none.
std::size_t utf8Sequence(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
    };
    const unsigned lead = byte(at);
    const auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return byte(i) >= low && byte(i) <= high;
    };
    if (lead >= 0x01 && lead <= 0x7F) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(at + 1, low, high) && continuation(at + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(at + 1, low, high) && continuation(at + 2) && continuation(at + 3) ? 4
                                                                                               : 0;
    }
    return 0;
}

/// The database takes text only as UTF-8 without NUL, while a header (a User-Agent) or a command
/// line may carry any bytes: each byte that is no part of a character becomes U+FFFD.
const std::string& storableText(const std::string& text, std::string& repaired) {
    std::size_t at = 0;
    std::size_t length = 0;
    while (at < text.size() && (length = utf8Sequence(text, at)) != 0) at += length;
    if (at == text.size()) return text;
    repaired.assign(text, 0, at);
    while (at < text.size()) {
        length = utf8Sequence(text, at);
        if (length == 0) {
            repaired += "\xEF\xBF\xBD";
            ++at;
        } else {
            repaired.append(text, at, length);
            at += length;
        }
    }
    return repaired;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

long long PgResult::changed() const {
    return std::strtoll(PQcmdTuples(result_), nullptr, 10);
}

long long PgResult::integer(int row, int column) const {
    return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
}

double PgResult::real(int row, int column) const {
    return std::strtod(PQgetvalue(result_, row, column), nullptr);
}

std::string PgResult::sqlState() const {
    const char* state = result_ ? PQresultErrorField(result_, PG_DIAG_SQLSTATE) : nullptr;
    return state ? state : "";
}

PostgresStore::Session::~Session() {
    if (conn_) store_.release(conn_);
}

PgResult PostgresStore::Session::run(const char* sql, const PgParams& params) {
    if (!conn_) return PgResult();
    PgResult result;
    if (params.empty()) {
        result = PgResult(PQexec(conn_, sql));  // may hold several statements
    } else {
        std::vector<const char*> values;
        std::vector<std::string> repaired(params.size());
        values.reserve(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            values.push_back(params[i] ? storableText(*params[i], repaired[i]).c_str() : nullptr);
        }
        result = PgResult(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr,
                                       values.data(), nullptr, nullptr, 0));
    }
    if (!result.ok()) {
        failedState_ = result.sqlState();
        store_.setError(trimmed(PQerrorMessage(conn_)));
    }
    return result;
}

bool PostgresStore::Session::broken() const {
    return conn_ && PQstatus(conn_) == CONNECTION_BAD;
}

std::unique_ptr<PostgresStore> PostgresStore::open(const std::string& uri, std::string& error,
                                                   int poolSize) {
    std::unique_ptr<PostgresStore> store(new PostgresStore(uri, poolSize < 1 ? 1 : poolSize));
    PGconn* conn = store->connect(error);
    if (!conn) return nullptr;
    Session session(*store, conn);
    const std::string lock = std::to_string(kSchemaLock);
    if (!session.run("BEGIN").ok() ||
        !session.run("SELECT pg_advisory_xact_lock($1)", {lock}).ok() ||
        !session.run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)").ok()) {
        error = store->lastError();
        return nullptr;
    }
    const PgResult current = session.run("SELECT coalesce(max(version), 0) FROM schema_version");
    if (!current.ok() || current.rows() != 1) {
        error = store->lastError();
        return nullptr;
    }
    const long long version = current.integer(0, 0);
    if (version > kSchemaVersion) {
        error = "the database's schema (version " + std::to_string(version) +
                ") is newer than this service knows";
        session.run("ROLLBACK");
        return nullptr;
    }
    if (version < 1 && (!session.run(kSchemaV1).ok() ||
                        !session.run("INSERT INTO schema_version VALUES (1)").ok())) {
        error = store->lastError();
        return nullptr;
    }
    const PgResult commit = session.run("COMMIT");
    if (!commit.ok() || std::string_view(PQcmdStatus(commit.raw())) != "COMMIT") {
        error =
            store->lastError().empty() ? "the schema could not be committed" : store->lastError();
        return nullptr;
    }
    return store;
}

PostgresStore::~PostgresStore() {
    std::lock_guard lock(poolMutex_);
    for (PGconn* conn : idle_) PQfinish(conn);
}

PGconn* PostgresStore::connect(std::string& error) const {
    // Later keywords win: what the URI says overrides these defaults.
    const char* keywords[] = {"connect_timeout",  "options", "tcp_user_timeout",
                              "application_name", "dbname",  nullptr};
    const char* values[] = {kConnectTimeoutSeconds, kSessionOptions, kTcpUserTimeoutMs,
                            "attribution-service",  uri_.c_str(),    nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (!conn) {
        error = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        error = trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        return nullptr;
    }
    // The server's notices (a shutdown announced to idle connections) are no errors of ours; the
    // failures they lead to are logged where a request meets them.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return conn;
}

PGconn* PostgresStore::acquire() {
    {
        std::unique_lock lock(poolMutex_);
        if (!poolChanged_.wait_for(lock, kPoolWait,
                                   [this] { return !idle_.empty() || open_ < poolSize_; })) {
            lock.unlock();
            setError("every database connection stayed busy");
            return nullptr;
        }
        if (!idle_.empty()) {
            PGconn* conn = idle_.back();
            idle_.pop_back();
            return conn;
        }
        ++open_;
    }
    std::string error;
    PGconn* conn = connect(error);
    if (!conn) {
        setError(error);
        std::lock_guard lock(poolMutex_);
        --open_;
        poolChanged_.notify_one();
    }
    return conn;
}

void PostgresStore::release(PGconn* conn) {
    std::vector<PGconn*> dropped;
    {
        std::lock_guard lock(poolMutex_);
        if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE) {
            idle_.push_back(conn);
        } else {
            // A connection that broke most often means the server restarted: the idle ones are
            // stale too, and are opened afresh rather than each failing a request first.
            dropped.swap(idle_);
            dropped.push_back(conn);
            open_ -= static_cast<int>(dropped.size());
        }
        poolChanged_.notify_all();
    }
    for (PGconn* stale : dropped) PQfinish(stale);
}

bool PostgresStore::transact(const std::function<bool(Session&)>& body) {
    for (int attempt = 0; attempt < kTransactionAttempts; ++attempt) {
        Session session(*this, acquire());
        if (!session) return false;
        if (!session.run("BEGIN").ok()) {
            if (session.broken()) continue;  // a stale connection: nothing was done
            return false;
        }
        if (body(session)) {
            // COMMIT of a transaction a failed statement aborted answers ROLLBACK.
            const PgResult commit = session.run("COMMIT");
            if (commit.ok() && std::string_view(PQcmdStatus(commit.raw())) == "COMMIT") return true;
            if (commit.ok()) setError("the transaction was rolled back");
        } else if (!session.broken()) {
            session.run("ROLLBACK");
        }
        const std::string& state = session.failedState();
        if (state != "40001" && state != "40P01") return false;
    }
    return false;
}

bool PostgresStore::read(const std::function<bool(Session&)>& body) {
    // A read runs again once on a fresh connection when the first one had gone stale.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Session session(*this, acquire());
        if (!session) return false;
        if (body(session)) return true;
        if (!session.broken()) return false;
    }
    return false;
}

std::string PostgresStore::lastError() {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

void PostgresStore::setError(std::string error) {
    std::lock_guard lock(errorMutex_);
    lastError_ = std::move(error);
}

}  // namespace plovendale::attribution_service
