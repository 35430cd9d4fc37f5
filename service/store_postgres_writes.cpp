// The PostgreSQL store's writes: each one transaction, safe against the same write running at the
// same moment in another service process.

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "identifiers.h"
#include "store_postgres.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kUnknown = "unknown";
constexpr const char* kChannelPrefix = "channel:";

// Expired clicks deleted per recorded click: a backlog (a service that was down, a retention
// shortened) drains over the next clicks instead of stalling one of them.
constexpr int kExpiredClicksPerPass = 64;
// More candidates than this from one address inside the window are not told apart by a
// fingerprint anyway; the newest are the likeliest.
constexpr int kMaxCandidates = 500;
// Distinct visitors of an address are counted up to this many.
constexpr int kMaxVisitors = 64;
// Events inserted by one statement, of the columns each.
constexpr std::size_t kEventsPerInsert = 500;
constexpr std::size_t kEventInsertColumns = 9;
// Rows each totals row is spread over.
constexpr std::size_t kTotalsShards = 16;

std::string number(long long value) {
    return std::to_string(value);
}

std::string real(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return {text, end};
}

/// The shard this thread adds its totals to: threads of one process, and mostly those of
/// different processes, update different rows.
std::string totalsShard() {
    return number(static_cast<long long>(std::hash<std::thread::id>{}(std::this_thread::get_id()) %
                                         kTotalsShards));
}

}  // namespace

bool PostgresStore::lockClient(Session& session, const std::string& appKey, const std::string& ci) {
    return session.run("SELECT pg_advisory_xact_lock(hashtext($1), hashtext($2))", {appKey, ci})
        .ok();
}

bool PostgresStore::touchAppKey(Session& session, const std::string& appKey,
                                const std::string& now) {
    // Most writes find the key touched this second already and take no lock on its row.
    const PgResult current =
        session.run("SELECT last_active FROM app_keys WHERE app_key = $1", {appKey});
    if (!current.ok()) return false;
    constexpr std::size_t kToTheSecond = 19;
    if (current.rows() == 1 &&
        current.text(0, 0).substr(0, kToTheSecond) >= now.substr(0, kToTheSecond))
        return true;
    return session
        .run(
            "INSERT INTO app_keys (app_key, last_active) VALUES ($1, $2) "
            "ON CONFLICT (app_key) DO UPDATE SET last_active = excluded.last_active "
            "WHERE app_keys.last_active < excluded.last_active",
            {appKey, now})
        .ok();
}

std::optional<std::string> PostgresStore::groupOfTrace(Session& session, const std::string& appKey,
                                                       const std::string& traceId) {
    if (traceId.empty()) return std::string("organic");
    const PgResult link = session.run(
        "SELECT channel FROM links WHERE app_key = $1 AND trace_id = $2", {appKey, traceId});
    if (!link.ok()) return std::nullopt;
    return kChannelPrefix + (link.rows() == 1 ? link.text(0, 0) : std::string());
}

bool PostgresStore::addTotals(Session& session, const std::string& appKey,
                              const TotalsDeltas& totals) {
    // In key order, so two transactions never wait on each other's rows crosswise.
    const std::string shard = totalsShard();
    for (const auto& [row, delta] : totals) {
        if (delta.installs == 0 && delta.events == 0 && delta.micros == 0) continue;
        if (!session
                 .run("INSERT INTO totals (app_key, grp, currency, shard, installs, events, "
                      "micros) VALUES ($1, $2, $3, $4, $5, $6, $7::numeric) "
                      "ON CONFLICT (app_key, grp, currency, shard) DO UPDATE SET "
                      "installs = totals.installs + excluded.installs, "
                      "events = totals.events + excluded.events, "
                      "micros = totals.micros + excluded.micros",
                      {appKey, row.first, row.second, shard, number(delta.installs),
                       number(delta.events), microsDigits(delta.micros)})
                 .ok())
            return false;
    }
    return true;
}

std::optional<std::pair<std::string, std::string>> PostgresStore::creditedInstall(
    Session& session, const std::string& appKey, const std::string& ci, bool& failed) {
    failed = false;
    if (ci.empty()) return std::nullopt;
    const PgResult credited = session.run(
        "SELECT trace_id, match FROM installs WHERE app_key = $1 AND ci = $2", {appKey, ci});
    failed = !credited.ok();
    if (credited.rows() != 1) return std::nullopt;
    return std::pair{credited.text(0, 0), credited.text(0, 1)};
}

bool PostgresStore::creditToTotals(Session& session, const std::string& appKey,
                                   const std::string& ci, const std::string& traceId,
                                   TotalsDeltas& totals) {
    const auto group = groupOfTrace(session, appKey, traceId);
    if (!group) return false;
    ++totals[{*group, ""}].installs;
    // The client's events so far were counted as unknown: they move to its group.
    const PgResult pending = session.run(
        "SELECT currency, events, micros::text FROM client_totals WHERE app_key = $1 AND ci = $2",
        {appKey, ci});
    if (!pending.ok()) return false;
    for (int row = 0; row < pending.rows(); ++row) {
        const std::string currency = pending.text(row, 0);
        const long long events = pending.integer(row, 1);
        const Micros sum = microsOfDigits(pending.text(row, 2));
        TotalsDelta& moved = totals[{*group, currency}];
        moved.events += events;
        moved.micros += sum;
        TotalsDelta& unknown = totals[{kUnknown, currency}];
        unknown.events -= events;
        unknown.micros -= sum;
    }
    return pending.rows() == 0 ||
           session.run("DELETE FROM client_totals WHERE app_key = $1 AND ci = $2", {appKey, ci})
               .ok();
}

bool PostgresStore::insertInstallRequest(Session& session, const std::string& appKey,
                                         InstallRequest& request, TotalsDeltas& totals) {
    // Held to the commit: the client's requests and event batches, in any process, run one
    // after the other, so the credit read here is the one that stands.
    if (!request.ci.empty() && !lockClient(session, appKey, request.ci)) return false;
    // A client whose install is credited is answered from that record, whatever it sends now: a
    // later marker (or someone else's query with its client id) never moves it.
    bool failed = false;
    if (const auto credited = creditedInstall(session, appKey, request.ci, failed)) {
        request.traceId = credited->first;
        request.match = credited->second;
        request.answeredStatus = 200;
    }
    if (failed) return false;
    if (!session
             .run("INSERT INTO install_requests "
                  "(app_key, ci, params, trace_id, answered_status, received_at, match) "
                  "VALUES ($1, $2, $3, $4, $5, $6, $7)",
                  {appKey, request.ci, request.paramsJson, request.traceId,
                   number(request.answeredStatus), utcTimestamp(), request.match})
             .ok())
        return false;
    // Only a final answer credits the install, and the first one does so for good.
    if (request.answeredStatus != 200 || request.ci.empty()) return true;
    const PgResult credit = session.run(
        "INSERT INTO installs (app_key, ci, trace_id, match) VALUES ($1, $2, $3, $4) "
        "ON CONFLICT (app_key, ci) DO NOTHING",
        {appKey, request.ci, request.traceId, request.match});
    if (!credit.ok()) return false;
    return credit.changed() == 0 ||
           creditToTotals(session, appKey, request.ci, request.traceId, totals);
}

bool PostgresStore::creditMarkedClick(Session& session, const std::string& appKey,
                                      const InstallRequest& request, const std::string& address) {
    if (request.answeredStatus != 200 || request.ci.empty() ||
        (request.match != "bundle" && request.match != "pasteboard"))
        return true;
    // The newest click of the link from this address that is free or already this client's: a
    // client asking again takes no second click. The outer condition is checked again on the row
    // as it is when locked, so a click another process took meanwhile is left alone.
    return session
        .run(
            "UPDATE clicks SET credited_ci = $1 WHERE id = (SELECT id FROM clicks "
            "WHERE app_key = $2 AND address = $3 AND trace_id = $4 AND credited_ci IN ('', $1) "
            "ORDER BY received_ms DESC, id DESC LIMIT 1) AND credited_ci = ''",
            {request.ci, appKey, address, request.traceId})
        .ok();
}

RegisterOutcome PostgresStore::addLink(const std::string& appKey, const std::string& traceId,
                                       const std::string& params, const std::string& channel,
                                       const LinkLanding* landing) {
    bool taken = false;
    const bool stored = transact([&](Session& session) {
        const std::string now = utcTimestamp();
        const PgResult insert = session.run(
            "INSERT INTO links (app_key, trace_id, params, channel, created_at) "
            "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (app_key, trace_id) DO NOTHING",
            {appKey, traceId, params, channel, now});
        if (!insert.ok()) return false;
        taken = insert.changed() == 0;
        if (taken) return false;
        if (landing &&
            !session
                 .run("INSERT INTO link_landings (app_key, trace_id, ios, android, fallback, "
                      "title, description, image) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
                      {appKey, traceId, landing->ios, landing->android, landing->fallback,
                       landing->title, landing->description, landing->image})
                 .ok())
            return false;
        return touchAppKey(session, appKey, now);
    });
    if (stored) return RegisterOutcome::Registered;
    return taken ? RegisterOutcome::TraceIdTaken : RegisterOutcome::Failed;
}

bool PostgresStore::addStateReport(const std::string& appKey, const StateReport& report) {
    return transact([&](Session& session) {
        const std::string now = utcTimestamp();
        return session
                   .run(
                       "INSERT INTO state_reports (app_key, ci, t, ms, cd, msg, received_at) "
                       "VALUES ($1, $2, $3, $4, $5, $6, $7)",
                       {appKey, report.ci, report.t, report.ms, report.cd, report.msg, now})
                   .ok() &&
               touchAppKey(session, appKey, now);
    });
}

std::optional<InstallRequest> PostgresStore::addInstallRequest(const std::string& appKey,
                                                               InstallRequest request,
                                                               const std::string& address) {
    const InstallRequest asked = request;
    if (!transact([&](Session& session) {
            request = asked;
            TotalsDeltas totals;
            return insertInstallRequest(session, appKey, request, totals) &&
                   (address.empty() || creditMarkedClick(session, appKey, request, address)) &&
                   addTotals(session, appKey, totals) &&
                   touchAppKey(session, appKey, utcTimestamp());
        }))
        return std::nullopt;
    return request;
}

std::optional<Click> PostgresStore::addFingerprintInstallRequest(
    const std::string& appKey, InstallRequest& request, const std::string& address,
    long long sinceMs, long long crowdSinceMs, const ClickChooser& choose, bool& stored) {
    std::optional<Click> credited;
    const int unmatchedStatus = request.answeredStatus;
    const std::string candidatesSql =
        std::string("SELECT ") + kPgClickColumns +
        " FROM clicks WHERE app_key = $1 AND address = $2 AND received_ms >= $3 AND "
        "credited_ci IN ('', $4) ORDER BY received_ms DESC LIMIT $5";
    stored = transact([&](Session& session) {
        credited.reset();
        request.answeredStatus = unmatchedStatus;
        request.traceId.clear();
        request.match.clear();
        TotalsDeltas totals;
        const auto finish = [&] {
            return insertInstallRequest(session, appKey, request, totals) &&
                   addTotals(session, appKey, totals) &&
                   touchAppKey(session, appKey, utcTimestamp());
        };
        // A client already credited keeps its credit and takes no click.
        if (!lockClient(session, appKey, request.ci)) return false;
        bool failed = false;
        if (creditedInstall(session, appKey, request.ci, failed)) return finish();
        if (failed) return false;
        const PgResult rows =
            session.run(candidatesSql.c_str(),
                        {appKey, address, number(sinceMs), request.ci, number(kMaxCandidates)});
        if (!rows.ok()) return false;
        const std::vector<Click> candidates = clickRows(rows);
        // Counting stops early: past a handful the address is crowded whatever the exact number.
        const PgResult crowd = session.run(
            "SELECT count(*) FROM (SELECT DISTINCT user_agent, accept_language, screen_width, "
            "screen_height, pixel_ratio FROM clicks WHERE app_key = $1 AND address = $2 AND "
            "received_ms >= $3 LIMIT $4) AS visitors",
            {appKey, address, number(crowdSinceMs), number(kMaxVisitors)});
        if (!crowd.ok() || crowd.rows() != 1) return false;
        const auto visitors = static_cast<std::size_t>(crowd.integer(0, 0));
        const auto chosen = choose(candidates, visitors);
        if (chosen && *chosen < candidates.size()) {
            const Click& click = candidates[*chosen];
            // Another process may have credited the click since it was read: the condition is
            // checked again on the row as locked, and only the update that took it credits it.
            const PgResult credit = session.run(
                "UPDATE clicks SET credited_ci = $1 WHERE click_id = $2 AND credited_ci IN ('', "
                "$1)",
                {request.ci, click.clickId});
            if (!credit.ok()) return false;
            if (credit.changed() == 1) {
                credited = click;
                request.traceId = click.traceId;
                request.match = "fingerprint";
                request.answeredStatus = 200;
            }
        }
        return finish();
    });
    if (!stored) return std::nullopt;
    return credited;
}

bool PostgresStore::addClick(const std::string& appKey, const Click& click,
                             long long expiredBeforeMs) {
    return transact([&](Session& session) {
        // Rows another process is deleting right now are left to it.
        return session
                   .run(
                       "DELETE FROM clicks WHERE id IN (SELECT id FROM clicks "
                       "WHERE received_ms < $1 ORDER BY received_ms LIMIT $2 "
                       "FOR UPDATE SKIP LOCKED)",
                       {number(expiredBeforeMs), number(kExpiredClicksPerPass)})
                   .ok() &&
               session
                   .run(
                       "INSERT INTO clicks (click_id, app_key, trace_id, address, user_agent, "
                       "accept_language, platform, received_at, received_ms) "
                       "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                       {click.clickId, appKey, click.traceId, click.address, click.userAgent,
                        click.acceptLanguage, click.platform, click.receivedAt,
                        number(click.receivedMs)})
                   .ok();
    });
}

BeaconOutcome PostgresStore::addBeacon(const std::string& appKey, const std::string& traceId,
                                       const std::string& clickId, const Beacon& beacon) {
    BeaconOutcome outcome = BeaconOutcome::Failed;
    const bool stored = transact([&](Session& session) {
        const PgResult update = session.run(
            "UPDATE clicks SET screen_width = $1, screen_height = $2, pixel_ratio = $3, "
            "time_zone = $4, language = $5 "
            "WHERE click_id = $6 AND app_key = $7 AND trace_id = $8 AND screen_width IS NULL",
            {number(beacon.screenWidth), number(beacon.screenHeight), real(beacon.pixelRatio),
             beacon.timeZone, beacon.language, clickId, appKey, traceId});
        if (!update.ok()) return false;
        if (update.changed() == 1) {
            outcome = BeaconOutcome::Stored;
            return true;
        }
        const PgResult exists = session.run(
            "SELECT 1 FROM clicks WHERE click_id = $1 AND app_key = $2 AND trace_id = $3",
            {clickId, appKey, traceId});
        if (!exists.ok()) return false;
        outcome = exists.rows() == 1 ? BeaconOutcome::AlreadySent : BeaconOutcome::UnknownClick;
        return true;
    });
    return stored ? outcome : BeaconOutcome::Failed;
}

std::optional<EventBatchOutcome> PostgresStore::addEvents(const std::string& appKey,
                                                          const std::vector<Event>& events) {
    EventBatchOutcome outcome;
    const bool stored = transact([&](Session& session) {
        outcome = {};
        // In one order in every process, so two batches never wait on each other crosswise.
        std::set<std::string> clients;
        for (const Event& event : events) clients.insert(event.ci);
        for (const std::string& ci : clients) {
            if (!lockClient(session, appKey, ci)) return false;
        }
        const std::string now = utcTimestamp();
        std::map<std::string, std::vector<const Event*>> byClient;
        // A few statements of many rows rather than a round trip per event. The rows go in in
        // their order, so of two with one id in a batch the first is stored, the second counted.
        for (std::size_t first = 0; first < events.size(); first += kEventsPerInsert) {
            const std::size_t end = std::min(events.size(), first + kEventsPerInsert);
            std::string sql =
                "INSERT INTO events (app_key, event_id, name, ts, params, amount, currency, ci, "
                "received_at) VALUES ";
            PgParams params;
            for (std::size_t i = first; i < end; ++i) {
                const Event& event = events[i];
                const bool revenue = !event.amount.empty();
                const std::size_t base = params.size();
                sql += i == first ? "(" : ", (";
                for (std::size_t column = 1; column <= kEventInsertColumns; ++column) {
                    sql += "$" + std::to_string(base + column);
                    sql += column < kEventInsertColumns ? ", " : ")";
                }
                params.insert(
                    params.end(),
                    {appKey, event.id, event.name, number(event.ts), event.paramsJson,
                     revenue ? std::optional(event.amount) : std::nullopt,
                     revenue ? std::optional(event.currency) : std::nullopt, event.ci, now});
            }
            sql += " ON CONFLICT (app_key, ci, event_id) DO NOTHING RETURNING ci, event_id";
            const PgResult insert = session.run(sql.c_str(), params);
            if (!insert.ok()) return false;
            std::set<std::pair<std::string, std::string>> inserted;
            for (int row = 0; row < insert.rows(); ++row)
                inserted.emplace(insert.text(row, 0), insert.text(row, 1));
            for (std::size_t i = first; i < end; ++i) {
                const Event& event = events[i];
                const bool isNew = inserted.erase({event.ci, event.id}) > 0;
                ++(isNew ? outcome.accepted : outcome.duplicates);
                if (isNew) byClient[event.ci].push_back(&event);
            }
        }
        TotalsDeltas totals;
        for (const auto& [ci, added] : byClient) {
            // Events of a client not yet credited are "unknown" until its install is, and are
            // kept per client as well so that its credit can move them.
            bool failed = false;
            const auto install = creditedInstall(session, appKey, ci, failed);
            if (failed) return false;
            std::optional<std::string> group = kUnknown;
            if (install) group = groupOfTrace(session, appKey, install->first);
            if (!group) return false;
            std::map<std::string, std::pair<long long, Micros>> byCurrency;
            for (const Event* event : added) {
                auto& [count, sum] = byCurrency[event->currency];
                ++count;
                if (!event->currency.empty()) sum += parseAmount(event->amount).value_or(0);
            }
            for (const auto& [currency, sums] : byCurrency) {
                TotalsDelta& delta = totals[{*group, currency}];
                delta.events += sums.first;
                delta.micros += sums.second;
                if (install) continue;
                if (!session
                         .run("INSERT INTO client_totals (app_key, ci, currency, events, micros) "
                              "VALUES ($1, $2, $3, $4, $5::numeric) "
                              "ON CONFLICT (app_key, ci, currency) DO UPDATE SET "
                              "events = client_totals.events + excluded.events, "
                              "micros = client_totals.micros + excluded.micros",
                              {appKey, ci, currency, number(sums.first), microsDigits(sums.second)})
                         .ok())
                    return false;
            }
        }
        return addTotals(session, appKey, totals) &&
               (events.empty() || touchAppKey(session, appKey, now));
    });
    if (!stored) return std::nullopt;
    return outcome;
}

}  // namespace plovendale::attribution_service
