// The PostgreSQL store: its connections, its schema, and the reads.

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
constexpr const char* kSessionOptions = "-c statement_timeout=10000";
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

constexpr const char* kClickColumns =
    "id, click_id, trace_id, address, user_agent, accept_language, platform, screen_width, "
    "screen_height, pixel_ratio, time_zone, language, credited_ci, received_at, received_ms";

constexpr const char* kEventColumns =
    "id, event_id, name, ts, params, coalesce(amount, ''), coalesce(currency, ''), ci, "
    "received_at";

constexpr const char* kOrganic = "organic";
constexpr const char* kUnknown = "unknown";
constexpr const char* kChannelPrefix = "channel:";

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::vector<Event> eventRows(const PgResult& rows) {
    std::vector<Event> result;
    for (int row = 0; row < rows.rows(); ++row) {
        result.push_back({rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2),
                          rows.integer(row, 3), rows.text(row, 4), rows.text(row, 5),
                          rows.text(row, 6), rows.text(row, 7), rows.text(row, 8)});
    }
    return result;
}

std::vector<StateReport> reportRows(const PgResult& rows) {
    std::vector<StateReport> result;
    for (int row = 0; row < rows.rows(); ++row) {
        result.push_back({rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2),
                          rows.text(row, 3), rows.text(row, 4), rows.text(row, 5),
                          rows.text(row, 6)});
    }
    return result;
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
        values.reserve(params.size());
        for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
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

std::vector<Click> PostgresStore::clickRows(const PgResult& rows) {
    std::vector<Click> result;
    for (int row = 0; row < rows.rows(); ++row) {
        Click click;
        click.rowId = rows.integer(row, 0);
        click.clickId = rows.text(row, 1);
        click.traceId = rows.text(row, 2);
        click.address = rows.text(row, 3);
        click.userAgent = rows.text(row, 4);
        click.acceptLanguage = rows.text(row, 5);
        click.platform = rows.text(row, 6);
        // The beacon fills all of its columns at once.
        if (!rows.isNull(row, 7)) {
            click.screenWidth = static_cast<int>(rows.integer(row, 7));
            click.screenHeight = static_cast<int>(rows.integer(row, 8));
            click.pixelRatio = rows.real(row, 9);
            click.timeZone = rows.text(row, 10);
            click.language = rows.text(row, 11);
        }
        click.creditedCi = rows.text(row, 12);
        click.receivedAt = rows.text(row, 13);
        click.receivedMs = rows.integer(row, 14);
        result.push_back(std::move(click));
    }
    return result;
}

Lookup<LandingLink> PostgresStore::findLandingLink(const std::string& appKey,
                                                   const std::string& traceId) {
    std::optional<LandingLink> found;
    const bool readable = read([&](Session& session) {
        const PgResult row = session.run(
            "SELECT l.trace_id, l.params, l.channel, l.created_at, coalesce(p.ios, ''), "
            "coalesce(p.android, ''), coalesce(p.fallback, ''), coalesce(p.title, ''), "
            "coalesce(p.description, ''), coalesce(p.image, '') FROM links l "
            "LEFT JOIN link_landings p ON p.app_key = l.app_key AND p.trace_id = l.trace_id "
            "WHERE l.app_key = $1 AND l.trace_id = $2",
            {appKey, traceId});
        if (!row.ok()) return false;
        if (row.rows() == 1) {
            found = LandingLink{{0, row.text(0, 0), row.text(0, 1), row.text(0, 2), row.text(0, 3)},
                                {row.text(0, 4), row.text(0, 5), row.text(0, 6), row.text(0, 7),
                                 row.text(0, 8), row.text(0, 9)}};
        }
        return true;
    });
    if (!readable) return {std::nullopt, true};
    return {found};
}

Lookup<Link> PostgresStore::findLink(const std::string& appKey, const std::string& traceId) {
    std::optional<Link> found;
    const bool readable = read([&](Session& session) {
        const PgResult row = session.run(
            "SELECT trace_id, params, channel, created_at FROM links "
            "WHERE app_key = $1 AND trace_id = $2",
            {appKey, traceId});
        if (!row.ok()) return false;
        if (row.rows() == 1)
            found = Link{0, row.text(0, 0), row.text(0, 1), row.text(0, 2), row.text(0, 3)};
        return true;
    });
    if (!readable) return {std::nullopt, true};
    return {found};
}

std::optional<std::vector<Link>> PostgresStore::links(const std::string& appKey, Page page) {
    std::vector<Link> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            "SELECT id, trace_id, params, channel, created_at FROM links "
            "WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
            {appKey, std::to_string(page.after), std::to_string(page.limit)});
        for (int row = 0; row < rows.rows(); ++row) {
            result.push_back({rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2),
                              rows.text(row, 3), rows.text(row, 4)});
        }
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<StateReport>> PostgresStore::stateReports(const std::string& appKey,
                                                                    Page page) {
    std::vector<StateReport> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            "SELECT id, ci, t, ms, cd, msg, received_at FROM state_reports "
            "WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
            {appKey, std::to_string(page.after), std::to_string(page.limit)});
        result = reportRows(rows);
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<StateReport>> PostgresStore::recentStateReports(const std::string& appKey,
                                                                          int count) {
    std::vector<StateReport> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            "SELECT id, ci, t, ms, cd, msg, received_at FROM state_reports "
            "WHERE app_key = $1 ORDER BY id DESC LIMIT $2",
            {appKey, std::to_string(count)});
        result = reportRows(rows);
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<InstallRequest>> PostgresStore::installRequests(const std::string& appKey,
                                                                          Page page) {
    std::vector<InstallRequest> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            "SELECT id, ci, params, trace_id, answered_status, received_at, match "
            "FROM install_requests WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
            {appKey, std::to_string(page.after), std::to_string(page.limit)});
        for (int row = 0; row < rows.rows(); ++row) {
            result.push_back({rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2),
                              rows.text(row, 3), static_cast<int>(rows.integer(row, 4)),
                              rows.text(row, 5), rows.text(row, 6)});
        }
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<InstallView>> PostgresStore::recentInstalls(const std::string& appKey,
                                                                      int count) {
    std::vector<InstallView> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            "SELECT r.ci, r.trace_id, coalesce(l.params, ''), coalesce(l.channel, ''), "
            "r.answered_status, r.received_at, r.match FROM install_requests r "
            "LEFT JOIN links l ON l.app_key = r.app_key AND l.trace_id = r.trace_id "
            "WHERE r.app_key = $1 ORDER BY r.id DESC LIMIT $2",
            {appKey, std::to_string(count)});
        for (int row = 0; row < rows.rows(); ++row) {
            result.push_back({rows.text(row, 0), rows.text(row, 1), rows.text(row, 2),
                              rows.text(row, 3), static_cast<int>(rows.integer(row, 4)),
                              rows.text(row, 5), rows.text(row, 6)});
        }
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<Click>> PostgresStore::clicks(const std::string& appKey, Page page) {
    std::vector<Click> result;
    const std::string sql = std::string("SELECT ") + kClickColumns +
                            " FROM clicks WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3";
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            sql.c_str(), {appKey, std::to_string(page.after), std::to_string(page.limit)});
        result = clickRows(rows);
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<Click>> PostgresStore::recentClicks(const std::string& appKey,
                                                              int count) {
    std::vector<Click> result;
    const std::string sql = std::string("SELECT ") + kClickColumns +
                            " FROM clicks WHERE app_key = $1 ORDER BY id DESC LIMIT $2";
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(sql.c_str(), {appKey, std::to_string(count)});
        result = clickRows(rows);
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<Event>> PostgresStore::events(const std::string& appKey, Page page) {
    std::vector<Event> result;
    const std::string sql = std::string("SELECT ") + kEventColumns +
                            " FROM events WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3";
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(
            sql.c_str(), {appKey, std::to_string(page.after), std::to_string(page.limit)});
        result = eventRows(rows);
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<Event>> PostgresStore::recentEvents(const std::string& appKey,
                                                              int count) {
    std::vector<Event> result;
    const std::string sql = std::string("SELECT ") + kEventColumns +
                            " FROM events WHERE app_key = $1 ORDER BY id DESC LIMIT $2";
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(sql.c_str(), {appKey, std::to_string(count)});
        result = eventRows(rows);
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<std::vector<std::string>> PostgresStore::appKeys(int count) {
    std::vector<std::string> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows =
            session.run("SELECT app_key FROM app_keys ORDER BY last_active DESC LIMIT $1",
                        {std::to_string(count)});
        for (int row = 0; row < rows.rows(); ++row) result.push_back(rows.text(row, 0));
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::optional<Summary> PostgresStore::summary(const std::string& appKey) {
    Summary summary;
    const bool readable = read([&](Session& session) {
        summary = {};
        const PgResult rows = session.run(
            "SELECT grp, currency, sum(installs), sum(events), sum(micros)::text FROM totals "
            "WHERE app_key = $1 GROUP BY 1, 2",
            {appKey});
        for (int row = 0; row < rows.rows(); ++row) {
            const std::string group = rows.text(row, 0);
            Totals& totals =
                group == kOrganic ? summary.organic
                : group == kUnknown
                    ? summary.unknown
                    : summary.channels[group.substr(std::string_view(kChannelPrefix).size())];
            const std::string currency = rows.text(row, 1);
            const long long events = rows.integer(row, 3);
            totals.installs += rows.integer(row, 2);
            totals.events += events;
            if (!currency.empty() && events != 0)
                totals.revenue[currency] += microsOfDigits(rows.text(row, 4));
        }
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return summary;
}

std::optional<std::vector<LinkFunnel>> PostgresStore::funnels(const std::string& appKey,
                                                              int count) {
    std::vector<LinkFunnel> result;
    const bool readable = read([&](Session& session) {
        result.clear();
        // Each step reads one link's rows through an index, so the cost follows the links shown,
        // not the size of the database.
        const PgResult links = session.run(
            "SELECT l.trace_id, l.channel, (SELECT count(*) FROM clicks c "
            "WHERE c.app_key = l.app_key AND c.trace_id = l.trace_id) "
            "FROM links l WHERE l.app_key = $1 ORDER BY l.id DESC LIMIT $2",
            {appKey, std::to_string(count)});
        if (!links.ok()) return false;
        for (int row = 0; row < links.rows(); ++row) {
            result.push_back(
                {links.text(row, 0), links.text(row, 1), links.integer(row, 2), {}, 0, {}});
        }
        for (LinkFunnel& funnel : result) {
            const PgResult installs = session.run(
                "SELECT match, count(*) FROM installs WHERE app_key = $1 AND trace_id = $2 "
                "GROUP BY 1",
                {appKey, funnel.traceId});
            if (!installs.ok()) return false;
            for (int row = 0; row < installs.rows(); ++row)
                funnel.installs[installs.text(row, 0)] += installs.integer(row, 1);
            const PgResult events = session.run(
                "SELECT coalesce(e.currency, ''), coalesce(e.amount, ''), count(*) FROM installs i "
                "JOIN events e ON e.app_key = i.app_key AND e.ci = i.ci "
                "WHERE i.app_key = $1 AND i.trace_id = $2 GROUP BY 1, 2",
                {appKey, funnel.traceId});
            if (!events.ok()) return false;
            for (int row = 0; row < events.rows(); ++row) {
                const long long n = events.integer(row, 2);
                funnel.events += n;
                if (events.text(row, 0).empty()) continue;
                funnel.revenue[events.text(row, 0)] +=
                    parseAmount(events.text(row, 1)).value_or(0) * n;
            }
        }
        return true;
    });
    if (!readable) return std::nullopt;
    return result;
}

}  // namespace plovendale::attribution_service
