// Landing pages, their clicks, and the fingerprint match that credits a click to an install.

#include <sqlite3.h>

#include "identifiers.h"
#include "sqlite_statement.h"
#include "store_sqlite.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kClickColumns =
    "id, click_id, trace_id, address, user_agent, accept_language, platform, screen_width, "
    "screen_height, pixel_ratio, time_zone, language, credited_ci, received_at, received_ms";

// Expired clicks deleted per recorded click: a backlog (a service that was down, a retention
// shortened) drains over the next clicks instead of stalling one of them.
constexpr int kExpiredClicksPerPass = 64;

// More candidates than this from one address inside the window are not told apart by a
// fingerprint anyway; the newest are the likeliest.
constexpr int kMaxCandidates = 500;

// Distinct visitors of an address are counted up to this many.
constexpr int kMaxVisitors = 64;

}  // namespace

std::optional<std::vector<Click>> SqliteStore::clickRows(Statement& query) {
    std::vector<Click> result;
    int rc = SQLITE_OK;
    while ((rc = query.step()) == SQLITE_ROW) {
        Click click;
        click.rowId = query.integer64(0);
        click.clickId = query.text(1);
        click.traceId = query.text(2);
        click.address = query.text(3);
        click.userAgent = query.text(4);
        click.acceptLanguage = query.text(5);
        click.platform = query.text(6);
        // The beacon fills all of its columns at once.
        if (!query.isNull(7)) {
            click.screenWidth = query.integer(7);
            click.screenHeight = query.integer(8);
            click.pixelRatio = query.real(9);
            click.timeZone = query.text(10);
            click.language = query.text(11);
        }
        click.creditedCi = query.text(12);
        click.receivedAt = query.text(13);
        click.receivedMs = query.integer64(14);
        result.push_back(std::move(click));
    }
    if (rc != SQLITE_DONE) return std::nullopt;
    return result;
}

Lookup<LandingLink> SqliteStore::findLandingLink(const std::string& appKey,
                                                 const std::string& traceId) {
    std::lock_guard lock(mutex_);
    Statement query(
        db_,
        "SELECT l.trace_id, l.params, l.channel, l.created_at, coalesce(p.ios, ''), "
        "coalesce(p.android, ''), coalesce(p.fallback, ''), coalesce(p.title, ''), "
        "coalesce(p.description, ''), coalesce(p.image, '') FROM links l "
        "LEFT JOIN link_landings p ON p.app_key = l.app_key AND p.trace_id = l.trace_id "
        "WHERE l.app_key = ? AND l.trace_id = ?");
    query.bind(1, appKey).bind(2, traceId);
    const int rc = query.step();
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) {
        noteError(db_);
        return {std::nullopt, true};
    }
    return {LandingLink{{0, query.text(0), query.text(1), query.text(2), query.text(3)},
                        {query.text(4), query.text(5), query.text(6), query.text(7), query.text(8),
                         query.text(9)}}};
}

bool SqliteStore::addClick(const std::string& appKey, const Click& click,
                           long long expiredBeforeMs) {
    return write([&] {
        Statement& prune = prepared(
            "DELETE FROM clicks WHERE id IN (SELECT id FROM clicks WHERE received_ms < ? "
            "ORDER BY received_ms LIMIT ?)");
        prune.bind(1, expiredBeforeMs).bind(2, kExpiredClicksPerPass);
        if (prune.step() != SQLITE_DONE) return false;
        Statement& insert = prepared(
            "INSERT INTO clicks (click_id, app_key, trace_id, address, user_agent, "
            "accept_language, platform, received_at, received_ms) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, click.clickId).bind(2, appKey).bind(3, click.traceId);
        insert.bind(4, click.address).bind(5, click.userAgent).bind(6, click.acceptLanguage);
        insert.bind(7, click.platform).bind(8, click.receivedAt).bind(9, click.receivedMs);
        return insert.step() == SQLITE_DONE;
    });
}

BeaconOutcome SqliteStore::addBeacon(const std::string& appKey, const std::string& traceId,
                                     const std::string& clickId, const Beacon& beacon) {
    BeaconOutcome outcome = BeaconOutcome::Failed;
    const bool stored = write([&] {
        Statement& update = prepared(
            "UPDATE clicks SET screen_width = ?, screen_height = ?, pixel_ratio = ?, "
            "time_zone = ?, language = ? "
            "WHERE click_id = ? AND app_key = ? AND trace_id = ? AND screen_width IS NULL");
        update.bind(1, beacon.screenWidth).bind(2, beacon.screenHeight);
        update.bindReal(3, beacon.pixelRatio);
        update.bind(4, beacon.timeZone).bind(5, beacon.language).bind(6, clickId);
        update.bind(7, appKey).bind(8, traceId);
        if (update.step() != SQLITE_DONE) return false;
        if (sqlite3_changes(db_) == 1) {
            outcome = BeaconOutcome::Stored;
            return true;
        }
        Statement& exists =
            prepared("SELECT 1 FROM clicks WHERE click_id = ? AND app_key = ? AND trace_id = ?");
        exists.bind(1, clickId).bind(2, appKey).bind(3, traceId);
        outcome =
            exists.step() == SQLITE_ROW ? BeaconOutcome::AlreadySent : BeaconOutcome::UnknownClick;
        return true;
    });
    return stored ? outcome : BeaconOutcome::Failed;
}

std::optional<std::vector<Click>> SqliteStore::clicks(const std::string& appKey, Page page) {
    std::lock_guard lock(mutex_);
    const std::string sql = std::string("SELECT ") + kClickColumns +
                            " FROM clicks WHERE app_key = ? AND id > ? ORDER BY id LIMIT ?";
    Statement query(db_, sql.c_str());
    query.bind(1, appKey).bind(2, page.after).bind(3, page.limit);
    auto rows = clickRows(query);
    if (!rows) noteError(db_);
    return rows;
}

std::optional<std::vector<Click>> SqliteStore::recentClicks(const std::string& appKey, int count) {
    std::lock_guard lock(mutex_);
    const std::string sql = std::string("SELECT ") + kClickColumns +
                            " FROM clicks WHERE app_key = ? ORDER BY id DESC LIMIT ?";
    Statement query(db_, sql.c_str());
    query.bind(1, appKey).bind(2, count);
    auto rows = clickRows(query);
    if (!rows) noteError(db_);
    return rows;
}

bool SqliteStore::creditMarkedClick(const std::string& appKey, const InstallRequest& request,
                                    const std::string& address) {
    if (request.answeredStatus != 200 || request.ci.empty() ||
        (request.match != "bundle" && request.match != "pasteboard"))
        return true;
    // The newest click of the link from this address that is free or already this client's: a
    // client asking again takes no second click.
    Statement& credit = prepared(
        "UPDATE clicks SET credited_ci = ?1 WHERE id = (SELECT id FROM clicks "
        "WHERE app_key = ?2 AND address = ?3 AND trace_id = ?4 AND credited_ci IN ('', ?1) "
        "ORDER BY received_ms DESC, id DESC LIMIT 1) AND credited_ci = ''");
    credit.bind(1, request.ci).bind(2, appKey).bind(3, address).bind(4, request.traceId);
    return credit.step() == SQLITE_DONE;
}

std::optional<Click> SqliteStore::addFingerprintInstallRequest(
    const std::string& appKey, InstallRequest& request, const std::string& address,
    long long sinceMs, long long crowdSinceMs, const ClickChooser& choose, bool& stored) {
    std::optional<Click> credited;
    const int unmatchedStatus = request.answeredStatus;
    stored = write([&] {
        credited.reset();
        request.answeredStatus = unmatchedStatus;
        request.traceId.clear();
        request.match.clear();
        // A client already credited keeps its credit and takes no click.
        if (creditedInstall(appKey, request.ci)) return insertInstallRequest(appKey, request);
        // Read inside the write transaction, which holds the database's write lock: no other
        // process can credit one of these clicks between this read and the update below.
        const std::string sql =
            std::string("SELECT ") + kClickColumns +
            " FROM clicks WHERE app_key = ? AND address = ? AND received_ms >= ? AND "
            "credited_ci IN ('', ?) ORDER BY received_ms DESC LIMIT ?";
        Statement& query = prepared(sql);
        query.bind(1, appKey).bind(2, address).bind(3, sinceMs).bind(4, request.ci);
        query.bind(5, kMaxCandidates);
        const auto rows = clickRows(query);
        if (!rows) return false;
        const std::vector<Click>& candidates = *rows;
        // Counting stops early: past a handful the address is crowded whatever the exact number.
        Statement& crowd = prepared(
            "SELECT count(*) FROM (SELECT DISTINCT user_agent, accept_language, screen_width, "
            "screen_height, pixel_ratio FROM clicks WHERE app_key = ? AND address = ? AND "
            "received_ms >= ? LIMIT ?)");
        crowd.bind(1, appKey).bind(2, address).bind(3, crowdSinceMs).bind(4, kMaxVisitors);
        if (crowd.step() != SQLITE_ROW) return false;
        const auto visitors = static_cast<std::size_t>(crowd.integer64(0));
        crowd.reset();
        const auto chosen = choose(candidates, visitors);
        if (chosen && *chosen < candidates.size()) {
            const Click& click = candidates[*chosen];
            Statement& credit = prepared(
                "UPDATE clicks SET credited_ci = ? WHERE click_id = ? AND credited_ci IN ('', ?)");
            credit.bind(1, request.ci).bind(2, click.clickId).bind(3, request.ci);
            if (credit.step() != SQLITE_DONE) return false;
            // Only the update that took the click may credit it.
            if (sqlite3_changes(db_) == 1) {
                credited = click;
                request.traceId = click.traceId;
                request.match = "fingerprint";
                request.answeredStatus = 200;
            }
        }
        return insertInstallRequest(appKey, request);
    });
    if (!stored) return std::nullopt;
    return credited;
}

std::optional<std::vector<LinkFunnel>> SqliteStore::funnels(const std::string& appKey, int count) {
    std::lock_guard lock(mutex_);
    // Each step reads one link's rows through an index, so the cost follows the links shown,
    // not the size of the database.
    Statement links(db_,
                    "SELECT l.trace_id, l.channel, (SELECT count(*) FROM clicks c "
                    "WHERE c.app_key = l.app_key AND c.trace_id = l.trace_id) "
                    "FROM links l WHERE l.app_key = ? ORDER BY l.rowid DESC LIMIT ?");
    links.bind(1, appKey).bind(2, count);
    std::vector<LinkFunnel> result;
    int rc = SQLITE_OK;
    while ((rc = links.step()) == SQLITE_ROW) {
        result.push_back({links.text(0), links.text(1), links.integer64(2), {}, 0, {}});
    }
    if (rc != SQLITE_DONE) {
        noteError(db_);
        return std::nullopt;
    }
    Statement& installs = prepared(
        "SELECT match, count(*) FROM installs WHERE app_key = ? AND trace_id = ? GROUP BY 1");
    Statement& events = prepared(
        "SELECT coalesce(e.currency, ''), coalesce(e.amount, ''), count(*) FROM installs i "
        "JOIN events e ON e.app_key = i.app_key AND e.ci = i.ci "
        "WHERE i.app_key = ? AND i.trace_id = ? GROUP BY 1, 2");
    for (LinkFunnel& funnel : result) {
        installs.reset();
        installs.bind(1, appKey).bind(2, funnel.traceId);
        while ((rc = installs.step()) == SQLITE_ROW) {
            funnel.installs[installs.text(0)] += installs.integer64(1);
        }
        if (rc != SQLITE_DONE) break;
        events.reset();
        events.bind(1, appKey).bind(2, funnel.traceId);
        while ((rc = events.step()) == SQLITE_ROW) {
            const long long n = events.integer64(2);
            funnel.events += n;
            if (events.text(0).empty()) continue;
            funnel.revenue[events.text(0)] += parseAmount(events.text(1)).value_or(0) * n;
        }
        if (rc != SQLITE_DONE) break;
    }
    if (rc != SQLITE_DONE) noteError(db_);
    installs.reset();
    events.reset();
    if (rc != SQLITE_DONE) return std::nullopt;
    return result;
}

}  // namespace plovendale::attribution_service
