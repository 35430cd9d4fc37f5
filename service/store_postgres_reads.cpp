// The PostgreSQL store's reads: single statements outside any transaction, each on a connection
// of the pool.

#include <string_view>

#include "store_postgres.h"

namespace plovendale::attribution_service {
namespace {

constexpr const char* kEventColumns =
    "id, event_id, name, ts, params, coalesce(amount, ''), coalesce(currency, ''), ci, "
    "received_at";

constexpr const char* kOrganic = "organic";
constexpr const char* kUnknown = "unknown";
constexpr const char* kChannelPrefix = "channel:";

constexpr const char* kReportColumns = "id, ci, t, ms, cd, msg, received_at";

Event eventOf(const PgResult& rows, int row) {
    return {rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2),
            rows.integer(row, 3), rows.text(row, 4), rows.text(row, 5),
            rows.text(row, 6),    rows.text(row, 7), rows.text(row, 8)};
}

StateReport reportOf(const PgResult& rows, int row) {
    return {rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2), rows.text(row, 3),
            rows.text(row, 4),    rows.text(row, 5), rows.text(row, 6)};
}

Link linkOf(const PgResult& rows, int row) {
    return {rows.integer(row, 0), rows.text(row, 1), rows.text(row, 2), rows.text(row, 3),
            rows.text(row, 4)};
}

std::string number(long long value) {
    return std::to_string(value);
}

}  // namespace

template <class T>
std::optional<std::vector<T>> PostgresStore::rowsOf(const std::string& sql, const PgParams& params,
                                                    T (*rowOf)(const PgResult&, int)) {
    std::vector<T> result;
    const bool readable = read([&](Session& session) {
        const PgResult rows = session.run(sql.c_str(), params);
        for (int row = 0; row < rows.rows(); ++row) result.push_back(rowOf(rows, row));
        return rows.ok();
    });
    if (!readable) return std::nullopt;
    return result;
}

std::vector<Click> PostgresStore::clickRows(const PgResult& rows) {
    std::vector<Click> result;
    for (int row = 0; row < rows.rows(); ++row) result.push_back(clickOf(rows, row));
    return result;
}

Click PostgresStore::clickOf(const PgResult& rows, int row) {
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
    return click;
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
    return rowsOf<Link>(
        "SELECT id, trace_id, params, channel, created_at FROM links "
        "WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
        {appKey, number(page.after), number(page.limit)}, linkOf);
}

std::optional<std::vector<StateReport>> PostgresStore::stateReports(const std::string& appKey,
                                                                    Page page) {
    return rowsOf<StateReport>(std::string("SELECT ") + kReportColumns +
                                   " FROM state_reports WHERE app_key = $1 AND id > $2 "
                                   "ORDER BY id LIMIT $3",
                               {appKey, number(page.after), number(page.limit)}, reportOf);
}

std::optional<std::vector<StateReport>> PostgresStore::recentStateReports(const std::string& appKey,
                                                                          int count) {
    return rowsOf<StateReport>(std::string("SELECT ") + kReportColumns +
                                   " FROM state_reports WHERE app_key = $1 ORDER BY id DESC "
                                   "LIMIT $2",
                               {appKey, number(count)}, reportOf);
}

std::optional<std::vector<InstallRequest>> PostgresStore::installRequests(const std::string& appKey,
                                                                          Page page) {
    return rowsOf<InstallRequest>(
        "SELECT id, ci, params, trace_id, answered_status, received_at, match "
        "FROM install_requests WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
        {appKey, number(page.after), number(page.limit)},
        [](const PgResult& rows, int row) -> InstallRequest {
            return {rows.integer(row, 0),
                    rows.text(row, 1),
                    rows.text(row, 2),
                    rows.text(row, 3),
                    static_cast<int>(rows.integer(row, 4)),
                    rows.text(row, 5),
                    rows.text(row, 6)};
        });
}

std::optional<std::vector<InstallView>> PostgresStore::recentInstalls(const std::string& appKey,
                                                                      int count) {
    return rowsOf<InstallView>(
        "SELECT r.ci, r.trace_id, coalesce(l.params, ''), coalesce(l.channel, ''), "
        "r.answered_status, r.received_at, r.match FROM install_requests r "
        "LEFT JOIN links l ON l.app_key = r.app_key AND l.trace_id = r.trace_id "
        "WHERE r.app_key = $1 ORDER BY r.id DESC LIMIT $2",
        {appKey, number(count)}, [](const PgResult& rows, int row) -> InstallView {
            return {rows.text(row, 0),
                    rows.text(row, 1),
                    rows.text(row, 2),
                    rows.text(row, 3),
                    static_cast<int>(rows.integer(row, 4)),
                    rows.text(row, 5),
                    rows.text(row, 6)};
        });
}

std::optional<std::vector<Click>> PostgresStore::clicks(const std::string& appKey, Page page) {
    return rowsOf<Click>(std::string("SELECT ") + kPgClickColumns +
                             " FROM clicks WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
                         {appKey, number(page.after), number(page.limit)}, clickOf);
}

std::optional<std::vector<Click>> PostgresStore::recentClicks(const std::string& appKey,
                                                              int count) {
    return rowsOf<Click>(std::string("SELECT ") + kPgClickColumns +
                             " FROM clicks WHERE app_key = $1 ORDER BY id DESC LIMIT $2",
                         {appKey, number(count)}, clickOf);
}

std::optional<std::vector<Event>> PostgresStore::events(const std::string& appKey, Page page) {
    return rowsOf<Event>(std::string("SELECT ") + kEventColumns +
                             " FROM events WHERE app_key = $1 AND id > $2 ORDER BY id LIMIT $3",
                         {appKey, number(page.after), number(page.limit)}, eventOf);
}

std::optional<std::vector<Event>> PostgresStore::recentEvents(const std::string& appKey,
                                                              int count) {
    return rowsOf<Event>(std::string("SELECT ") + kEventColumns +
                             " FROM events WHERE app_key = $1 ORDER BY id DESC LIMIT $2",
                         {appKey, number(count)}, eventOf);
}

std::optional<std::vector<std::string>> PostgresStore::appKeys(int count) {
    return rowsOf<std::string>("SELECT app_key FROM app_keys ORDER BY last_active DESC LIMIT $1",
                               {number(count)},
                               [](const PgResult& rows, int row) { return rows.text(row, 0); });
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
            {appKey, number(count)});
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
