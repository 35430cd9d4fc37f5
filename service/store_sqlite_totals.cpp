// The totals the summary and the console read: kept per app key, group and currency as installs
// are credited and events stored, in the same transaction, so a read is a few rows by primary key
// however many events there are.

#include <sqlite3.h>

#include <map>
#include <string_view>
#include <tuple>
#include <utility>

#include "sqlite_statement.h"
#include "store_sqlite.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kOrganic = "organic";
constexpr const char* kUnknown = "unknown";
constexpr const char* kChannelPrefix = "channel:";

}  // namespace

std::string SqliteStore::groupOfTrace(const std::string& appKey, const std::string& traceId) {
    if (traceId.empty()) return kOrganic;
    Statement& link = prepared("SELECT channel FROM links WHERE app_key = ? AND trace_id = ?");
    link.bind(1, appKey).bind(2, traceId);
    return kChannelPrefix + (link.step() == SQLITE_ROW ? link.text(0) : std::string());
}

std::optional<std::string> SqliteStore::groupOfClient(const std::string& appKey,
                                                      const std::string& ci) {
    Statement& install = prepared("SELECT trace_id FROM installs WHERE app_key = ? AND ci = ?");
    install.bind(1, appKey).bind(2, ci);
    if (install.step() != SQLITE_ROW) return std::nullopt;
    const std::string traceId = install.text(0);
    return groupOfTrace(appKey, traceId);
}

bool SqliteStore::addToTotals(const std::string& appKey, const std::string& group,
                              const std::string& currency, long long installs, long long events,
                              Micros amount) {
    Statement& current =
        prepared("SELECT micros FROM totals WHERE app_key = ? AND grp = ? AND currency = ?");
    current.bind(1, appKey).bind(2, group).bind(3, currency);
    const Micros sum =
        (current.step() == SQLITE_ROW ? microsOfDigits(current.text(0)) : 0) + amount;
    Statement& upsert = prepared(
        "INSERT INTO totals (app_key, grp, currency, installs, events, micros) "
        "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (app_key, grp, currency) DO UPDATE SET "
        "installs = installs + excluded.installs, events = events + excluded.events, "
        "micros = excluded.micros");
    upsert.bind(1, appKey).bind(2, group).bind(3, currency);
    upsert.bind(4, installs).bind(5, events).bind(6, microsDigits(sum));
    return upsert.step() == SQLITE_DONE;
}

bool SqliteStore::addEventsToTotals(const std::string& appKey, const std::string& ci,
                                    const std::vector<const Event*>& stored) {
    if (stored.empty()) return true;
    // Events of a client not yet credited are "unknown" until its install is, and are kept per
    // client as well so that its credit can move them.
    const auto group = groupOfClient(appKey, ci);
    std::map<std::string, std::pair<long long, Micros>> byCurrency;
    for (const Event* event : stored) {
        auto& [count, sum] = byCurrency[event->currency];
        ++count;
        if (!event->currency.empty()) sum += parseAmount(event->amount).value_or(0);
    }
    for (const auto& [currency, totals] : byCurrency) {
        if (!addToTotals(appKey, group.value_or(kUnknown), currency, 0, totals.first,
                         totals.second))
            return false;
        if (group) continue;
        Statement& current = prepared(
            "SELECT micros FROM client_totals WHERE app_key = ? AND ci = ? AND currency = ?");
        current.bind(1, appKey).bind(2, ci).bind(3, currency);
        const Micros sum =
            (current.step() == SQLITE_ROW ? microsOfDigits(current.text(0)) : 0) + totals.second;
        Statement& upsert = prepared(
            "INSERT INTO client_totals (app_key, ci, currency, events, micros) "
            "VALUES (?, ?, ?, ?, ?) ON CONFLICT (app_key, ci, currency) DO UPDATE SET "
            "events = events + excluded.events, micros = excluded.micros");
        upsert.bind(1, appKey).bind(2, ci).bind(3, currency).bind(4, totals.first);
        upsert.bind(5, microsDigits(sum));
        if (upsert.step() != SQLITE_DONE) return false;
    }
    return true;
}

bool SqliteStore::creditToTotals(const std::string& appKey, const std::string& ci,
                                 const std::string& traceId) {
    const std::string group = groupOfTrace(appKey, traceId);
    if (!addToTotals(appKey, group, "", 1, 0, 0)) return false;
    // The client's events so far were counted as unknown: they move to its group.
    std::vector<std::tuple<std::string, long long, Micros>> moved;
    Statement& pending =
        prepared("SELECT currency, events, micros FROM client_totals WHERE app_key = ? AND ci = ?");
    pending.bind(1, appKey).bind(2, ci);
    while (pending.step() == SQLITE_ROW)
        moved.emplace_back(pending.text(0), pending.integer64(1), microsOfDigits(pending.text(2)));
    pending.reset();
    for (const auto& [currency, events, sum] : moved) {
        if (!addToTotals(appKey, group, currency, 0, events, sum) ||
            !addToTotals(appKey, kUnknown, currency, 0, -events, -sum))
            return false;
    }
    if (moved.empty()) return true;
    Statement& forget = prepared("DELETE FROM client_totals WHERE app_key = ? AND ci = ?");
    forget.bind(1, appKey).bind(2, ci);
    return forget.step() == SQLITE_DONE;
}

std::optional<Summary> SqliteStore::summary(const std::string& appKey) {
    std::lock_guard lock(readMutex());
    Statement query(reader_,
                    "SELECT grp, currency, installs, events, micros FROM totals WHERE app_key = ?");
    query.bind(1, appKey);
    Summary summary;
    int rc = SQLITE_OK;
    while ((rc = query.step()) == SQLITE_ROW) {
        const std::string group = query.text(0);
        Totals& totals =
            group == kOrganic ? summary.organic
            : group == kUnknown
                ? summary.unknown
                : summary.channels[group.substr(std::string_view(kChannelPrefix).size())];
        const std::string currency = query.text(1);
        const long long events = query.integer64(3);
        totals.installs += query.integer64(2);
        totals.events += events;
        if (!currency.empty() && events != 0)
            totals.revenue[currency] += microsOfDigits(query.text(4));
    }
    if (rc != SQLITE_DONE) {
        noteError(reader_);
        return std::nullopt;
    }
    return summary;
}

bool SqliteStore::touchAppKey(const std::string& appKey, const std::string& now) {
    Statement& touch = prepared(
        "INSERT INTO app_keys (app_key, last_active) VALUES (?, ?) "
        "ON CONFLICT (app_key) DO UPDATE SET last_active = excluded.last_active");
    touch.bind(1, appKey).bind(2, now);
    return touch.step() == SQLITE_DONE;
}

bool SqliteStore::rebuildTotals() {
    // Once, for a database from before the totals were kept: what its rows add up to now.
    Statement keys(db_,
                   "INSERT INTO app_keys (app_key, last_active) SELECT app_key, max(at) FROM ("
                   "SELECT app_key, max(received_at) AS at FROM install_requests GROUP BY 1 "
                   "UNION ALL SELECT app_key, max(received_at) FROM events GROUP BY 1 "
                   "UNION ALL SELECT app_key, max(received_at) FROM state_reports GROUP BY 1 "
                   "UNION ALL SELECT app_key, max(created_at) FROM links GROUP BY 1) "
                   "GROUP BY app_key");
    if (keys.step() != SQLITE_DONE) return false;
    Statement installs(db_, "SELECT app_key, trace_id, count(*) FROM installs GROUP BY 1, 2");
    while (installs.step() == SQLITE_ROW) {
        const std::string key = installs.text(0);
        if (!addToTotals(key, groupOfTrace(key, installs.text(1)), "", installs.integer64(2), 0, 0))
            return false;
    }
    Statement events(db_,
                     "SELECT app_key, ci, coalesce(currency, ''), coalesce(amount, ''), count(*) "
                     "FROM events GROUP BY 1, 2, 3, 4");
    while (events.step() == SQLITE_ROW) {
        const std::string key = events.text(0);
        const long long count = events.integer64(4);
        Event event;
        event.currency = events.text(2);
        event.amount = events.text(3);
        // One event stands for `count` equal ones.
        const std::vector<const Event*> same(static_cast<std::size_t>(count), &event);
        if (!addEventsToTotals(key, events.text(1), same)) return false;
    }
    return true;
}

}  // namespace plovendale::attribution_service
