// Events and the views over everything the store holds: the per-channel summary and the console's
// newest-first lists.

#include <sqlite3.h>

#include "attribution-service/identifiers.h"
#include "attribution-service/sqlite_statement.h"
#include "attribution-service/store.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kEventColumns =
    "id, event_id, name, ts, params, coalesce(amount, ''), coalesce(currency, ''), ci, "
    "received_at";

Event eventOf(const Statement& row) {
    return {row.integer64(0), row.text(1), row.text(2), row.integer64(3), row.text(4),
            row.text(5),      row.text(6), row.text(7), row.text(8)};
}

// The group a client's records fall in: the channel of the link its install was credited to,
// organic when it was answered without one, unknown when it never asked.
constexpr const char* kGroupColumns =
    "i.ci IS NULL, coalesce(i.trace_id, '') <> '', coalesce(l.channel, '')";
constexpr const char* kJoinLink =
    "LEFT JOIN links l ON l.app_key = i.app_key AND l.trace_id = i.trace_id";

Totals& groupOf(Summary& summary, const Statement& row) {
    if (row.integer(0) != 0) return summary.unknown;
    if (row.integer(1) == 0) return summary.organic;
    return summary.channels[row.text(2)];
}

}  // namespace

std::optional<EventBatchOutcome> Store::addEvents(const std::string& appKey,
                                                  const std::vector<Event>& events) {
    EventBatchOutcome outcome;
    const bool stored = write([&] {
        outcome = {};
        Statement& insert = prepared(
            "INSERT INTO events (app_key, event_id, name, ts, params, amount, "
            "currency, ci, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
            "ON CONFLICT (app_key, event_id) DO NOTHING");
        const std::string now = utcTimestamp();
        for (const Event& event : events) {
            insert.reset();
            insert.bind(1, appKey).bind(2, event.id).bind(3, event.name).bind(4, event.ts);
            insert.bind(5, event.paramsJson).bind(8, event.ci).bind(9, now);
            if (event.amount.empty()) {
                insert.bindNull(6).bindNull(7);
            } else {
                insert.bind(6, event.amount).bind(7, event.currency);
            }
            if (insert.step() != SQLITE_DONE) return false;
            ++(sqlite3_changes(db_) > 0 ? outcome.accepted : outcome.duplicates);
        }
        return true;
    });
    if (!stored) return std::nullopt;
    return outcome;
}

std::vector<Event> Store::events(const std::string& appKey, Page page) {
    std::lock_guard lock(mutex_);
    const std::string sql = std::string("SELECT ") + kEventColumns +
                            " FROM events WHERE app_key = ? AND id > ? ORDER BY id LIMIT ?";
    Statement query(db_, sql.c_str());
    query.bind(1, appKey).bind(2, page.after).bind(3, page.limit);
    std::vector<Event> result;
    while (query.step() == SQLITE_ROW) result.push_back(eventOf(query));
    return result;
}

std::optional<Summary> Store::summary(const std::string& appKey) {
    std::lock_guard lock(mutex_);
    Summary summary;
    const std::string installsSql = std::string("SELECT ") + kGroupColumns +
                                    ", count(*) FROM installs i " + kJoinLink +
                                    " WHERE i.app_key = ? GROUP BY 1, 2, 3";
    Statement installs(db_, installsSql.c_str());
    installs.bind(1, appKey);
    int rc = SQLITE_OK;
    while ((rc = installs.step()) == SQLITE_ROW)
        groupOf(summary, installs).installs += installs.integer64(3);
    if (rc != SQLITE_DONE) {
        noteError();
        return std::nullopt;
    }
    // Equal amounts are counted together in SQL; the sums are exact decimals, made here because
    // SQLite's own integers would overflow and its floating point would round.
    const std::string eventsSql =
        std::string("SELECT ") + kGroupColumns +
        ", coalesce(e.currency, ''), coalesce(e.amount, ''), count(*) FROM events e "
        "LEFT JOIN installs i ON i.app_key = e.app_key AND i.ci = e.ci " +
        kJoinLink + " WHERE e.app_key = ? GROUP BY 1, 2, 3, 4, 5";
    Statement events(db_, eventsSql.c_str());
    events.bind(1, appKey);
    while ((rc = events.step()) == SQLITE_ROW) {
        Totals& totals = groupOf(summary, events);
        const long long count = events.integer64(5);
        totals.events += count;
        const std::string currency = events.text(3);
        if (currency.empty()) continue;
        totals.revenue[currency] += parseAmount(events.text(4)).value_or(0) * count;
    }
    if (rc != SQLITE_DONE) {
        noteError();
        return std::nullopt;
    }
    return summary;
}

std::vector<InstallView> Store::recentInstalls(const std::string& appKey, int count) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT r.ci, r.trace_id, coalesce(l.params, ''), coalesce(l.channel, ''), "
                    "r.answered_status, r.received_at, r.match FROM install_requests r "
                    "LEFT JOIN links l "
                    "ON l.app_key = r.app_key AND l.trace_id = r.trace_id "
                    "WHERE r.app_key = ? ORDER BY r.id DESC LIMIT ?");
    query.bind(1, appKey).bind(2, count);
    std::vector<InstallView> result;
    while (query.step() == SQLITE_ROW) {
        result.push_back({query.text(0), query.text(1), query.text(2), query.text(3),
                          query.integer(4), query.text(5), query.text(6)});
    }
    return result;
}

std::vector<StateReport> Store::recentStateReports(const std::string& appKey, int count) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT id, ci, t, ms, cd, msg, received_at FROM state_reports "
                    "WHERE app_key = ? ORDER BY id DESC LIMIT ?");
    query.bind(1, appKey).bind(2, count);
    std::vector<StateReport> result;
    while (query.step() == SQLITE_ROW) {
        result.push_back({query.integer64(0), query.text(1), query.text(2), query.text(3),
                          query.text(4), query.text(5), query.text(6)});
    }
    return result;
}

std::vector<Event> Store::recentEvents(const std::string& appKey, int count) {
    std::lock_guard lock(mutex_);
    const std::string sql = std::string("SELECT ") + kEventColumns +
                            " FROM events WHERE app_key = ? ORDER BY id DESC LIMIT ?";
    Statement query(db_, sql.c_str());
    query.bind(1, appKey).bind(2, count);
    std::vector<Event> result;
    while (query.step() == SQLITE_ROW) result.push_back(eventOf(query));
    return result;
}

std::vector<std::string> Store::appKeys(int count) {
    std::lock_guard lock(mutex_);
    Statement query(db_,
                    "SELECT app_key FROM ("
                    "SELECT app_key, max(received_at) AS at FROM install_requests GROUP BY 1 "
                    "UNION ALL SELECT app_key, max(received_at) FROM events GROUP BY 1 "
                    "UNION ALL SELECT app_key, max(received_at) FROM state_reports GROUP BY 1 "
                    "UNION ALL SELECT app_key, max(created_at) FROM links GROUP BY 1) "
                    "GROUP BY app_key ORDER BY max(at) DESC LIMIT ?");
    query.bind(1, count);
    std::vector<std::string> result;
    while (query.step() == SQLITE_ROW) result.push_back(query.text(0));
    return result;
}

}  // namespace plovendale::attribution_service
