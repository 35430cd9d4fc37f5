// Events and the views over everything the store holds: the per-channel summary and the console's
// newest-first lists.

#include <sqlite3.h>

#include <map>

#include "identifiers.h"
#include "sqlite_statement.h"
#include "store_sqlite.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kEventColumns =
    "id, event_id, name, ts, params, coalesce(amount, ''), coalesce(currency, ''), ci, "
    "received_at";

Event eventOf(const Statement& row) {
    return {row.integer64(0), row.text(1), row.text(2), row.integer64(3), row.text(4),
            row.text(5),      row.text(6), row.text(7), row.text(8)};
}

}  // namespace

std::optional<EventBatchOutcome> SqliteStore::addEvents(const std::string& appKey,
                                                        const std::vector<Event>& events) {
    EventBatchOutcome outcome;
    const bool stored = write([&] {
        outcome = {};
        std::map<std::string, std::vector<const Event*>> byClient;
        Statement& insert = prepared(
            "INSERT INTO events (app_key, event_id, name, ts, params, amount, "
            "currency, ci, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
            "ON CONFLICT (app_key, ci, event_id) DO NOTHING");
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
            const bool isNew = sqlite3_changes(db_) > 0;
            ++(isNew ? outcome.accepted : outcome.duplicates);
            if (isNew) byClient[event.ci].push_back(&event);
        }
        for (const auto& [ci, added] : byClient) {
            if (!addEventsToTotals(appKey, ci, added)) return false;
        }
        return !events.empty() ? touchAppKey(appKey, now) : true;
    });
    if (!stored) return std::nullopt;
    return outcome;
}

std::optional<std::vector<Event>> SqliteStore::events(const std::string& appKey, Page page) {
    std::lock_guard lock(readMutex());
    const std::string sql = std::string("SELECT ") + kEventColumns +
                            " FROM events WHERE app_key = ? AND id > ? ORDER BY id LIMIT ?";
    Statement query(reader_, sql.c_str());
    query.bind(1, appKey).bind(2, page.after).bind(3, page.limit);
    return readRows<Event>(reader_, query, eventOf);
}

std::optional<std::vector<InstallView>> SqliteStore::recentInstalls(const std::string& appKey,
                                                                    int count) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT r.ci, r.trace_id, coalesce(l.params, ''), coalesce(l.channel, ''), "
                    "r.answered_status, r.received_at, r.match FROM install_requests r "
                    "LEFT JOIN links l "
                    "ON l.app_key = r.app_key AND l.trace_id = r.trace_id "
                    "WHERE r.app_key = ? ORDER BY r.id DESC LIMIT ?");
    query.bind(1, appKey).bind(2, count);
    return readRows<InstallView>(reader_, query, [](Statement& row) {
        return InstallView{row.text(0),    row.text(1), row.text(2), row.text(3),
                           row.integer(4), row.text(5), row.text(6)};
    });
}

std::optional<std::vector<Event>> SqliteStore::recentEvents(const std::string& appKey, int count) {
    std::lock_guard lock(readMutex());
    const std::string sql = std::string("SELECT ") + kEventColumns +
                            " FROM events WHERE app_key = ? ORDER BY id DESC LIMIT ?";
    Statement query(reader_, sql.c_str());
    query.bind(1, appKey).bind(2, count);
    return readRows<Event>(reader_, query, eventOf);
}

std::optional<std::vector<std::string>> SqliteStore::appKeys(int count) {
    std::lock_guard lock(readMutex());
    Statement query(reader_, "SELECT app_key FROM app_keys ORDER BY last_active DESC LIMIT ?");
    query.bind(1, count);
    return readRows<std::string>(reader_, query, [](Statement& row) { return row.text(0); });
}

}  // namespace plovendale::attribution_service
