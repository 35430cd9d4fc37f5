#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store.h"

namespace plovendale::attribution_service {

/// One query's answer, cleared when it goes.
class PgResult {
  public:
    explicit PgResult(PGresult* result = nullptr) : result_(result) {}
    ~PgResult() { PQclear(result_); }
    PgResult(PgResult&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
    PgResult& operator=(PgResult&& other) noexcept {
        std::swap(result_, other.result_);
        return *this;
    }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    bool ok() const {
        const ExecStatusType status = PQresultStatus(result_);
        return result_ && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
    }
    int rows() const { return ok() ? PQntuples(result_) : 0; }
    /// Rows the command inserted, updated or deleted.
    long long changed() const;
    std::string text(int row, int column) const {
        return {PQgetvalue(result_, row, column),
                static_cast<std::size_t>(PQgetlength(result_, row, column))};
    }
    long long integer(int row, int column) const;
    double real(int row, int column) const;
    bool isNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
    /// The SQLSTATE of a failed command ("" when the connection failed).
    std::string sqlState() const;
    PGresult* raw() const { return result_; }

  private:
    PGresult* result_;
};

/// The columns clickRows() reads, in its order.
inline constexpr const char* kPgClickColumns =
    "id, click_id, trace_id, address, user_agent, accept_language, platform, screen_width, "
    "screen_height, pixel_ratio, time_zone, language, credited_ci, received_at, received_ms";

/// Parameters of a query, as text; nothing stands for NULL.
using PgParams = std::vector<std::optional<std::string>>;

/// Installs, events and micros to add to one totals row (group, currency).
struct TotalsDelta {
    long long installs = 0;
    long long events = 0;
    Micros micros = 0;
};
using TotalsDeltas = std::map<std::pair<std::string, std::string>, TotalsDelta>;

/// The store in a PostgreSQL database shared by any number of service processes.
///
/// Each call runs on a connection of a small pool (opened as needed, up to poolSize), each write
/// in one transaction that has committed when the call returns true. What must hold across
/// processes is left to the database: unique constraints for events and credits, conditional
/// updates for clicks, and a transaction-scoped advisory lock per client, so that a client's
/// credit and its events never interleave. The summary's totals are rows updated in the same
/// transactions (spread over a few shards per group, so that concurrent writers seldom wait on
/// one row). A connection that fails is dropped and a new one is opened on next use, so the store
/// recovers by itself once the database is back; meanwhile every call fails within the connect
/// and statement timeouts.
class PostgresStore final : public Store {
  public:
    /// Connects to uri (a libpq connection URI), creating or migrating the schema. On failure
    /// returns nothing and puts the reason in error.
    static std::unique_ptr<PostgresStore> open(const std::string& uri, std::string& error,
                                               int poolSize);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    using Store::addInstallRequest;
    using Store::addLink;
    RegisterOutcome addLink(const std::string& appKey, const std::string& traceId,
                            const std::string& params, const std::string& channel,
                            const LinkLanding* landing) override;
    Lookup<LandingLink> findLandingLink(const std::string& appKey,
                                        const std::string& traceId) override;
    Lookup<Link> findLink(const std::string& appKey, const std::string& traceId) override;
    std::optional<std::vector<Link>> links(const std::string& appKey, Page page) override;
    bool addStateReport(const std::string& appKey, const StateReport& report) override;
    std::optional<std::vector<StateReport>> stateReports(const std::string& appKey,
                                                         Page page) override;
    std::optional<InstallRequest> addInstallRequest(const std::string& appKey,
                                                    InstallRequest request,
                                                    const std::string& address) override;
    std::optional<std::vector<InstallRequest>> installRequests(const std::string& appKey,
                                                               Page page) override;
    std::optional<Click> addFingerprintInstallRequest(const std::string& appKey,
                                                      InstallRequest& request,
                                                      const std::string& address, long long sinceMs,
                                                      long long crowdSinceMs,
                                                      const ClickChooser& choose,
                                                      bool& stored) override;
    bool addClick(const std::string& appKey, const Click& click,
                  long long expiredBeforeMs) override;
    BeaconOutcome addBeacon(const std::string& appKey, const std::string& traceId,
                            const std::string& clickId, const Beacon& beacon) override;
    std::optional<std::vector<Click>> clicks(const std::string& appKey, Page page) override;
    std::optional<std::vector<Click>> recentClicks(const std::string& appKey, int count) override;
    std::optional<EventBatchOutcome> addEvents(const std::string& appKey,
                                               const std::vector<Event>& events) override;
    std::optional<std::vector<Event>> events(const std::string& appKey, Page page) override;
    std::optional<Summary> summary(const std::string& appKey) override;
    std::optional<std::vector<InstallView>> recentInstalls(const std::string& appKey,
                                                           int count) override;
    std::optional<std::vector<StateReport>> recentStateReports(const std::string& appKey,
                                                               int count) override;
    std::optional<std::vector<Event>> recentEvents(const std::string& appKey, int count) override;
    std::optional<std::vector<LinkFunnel>> funnels(const std::string& appKey, int count) override;
    std::optional<std::vector<std::string>> appKeys(int count) override;
    std::string lastError() override;

  private:
    PostgresStore(std::string uri, int poolSize) : uri_(std::move(uri)), poolSize_(poolSize) {}

    /// A pooled connection in use: runs queries, noting the first failure.
    class Session {
      public:
        Session(PostgresStore& store, PGconn* conn) : store_(store), conn_(conn) {}
        ~Session();
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;
        explicit operator bool() const { return conn_ != nullptr; }
        PgResult run(const char* sql, const PgParams& params = {});
        /// True when the connection failed (the server went away or restarted).
        bool broken() const;
        /// The SQLSTATE of the last failed command.
        const std::string& failedState() const { return failedState_; }

      private:
        PostgresStore& store_;
        PGconn* conn_;
        std::string failedState_;
    };

    /// A connection of the pool, or none (the reason noted) when the database cannot be reached
    /// or every connection stayed busy for too long.
    PGconn* acquire();
    void release(PGconn* conn);
    PGconn* connect(std::string& error) const;
    /// Runs body in a transaction, again when the database broke it off for a deadlock or a
    /// serialization failure: true when body returned true and the commit succeeded.
    bool transact(const std::function<bool(Session&)>& body);
    /// Runs body on a connection outside any transaction: false when the database failed.
    bool read(const std::function<bool(Session&)>& body);
    void setError(std::string error);

    // Inside a write (store_postgres_writes.cpp).
    static bool lockClient(Session& session, const std::string& appKey, const std::string& ci);
    static bool touchAppKey(Session& session, const std::string& appKey, const std::string& now);
    static bool insertInstallRequest(Session& session, const std::string& appKey,
                                     InstallRequest& request, TotalsDeltas& totals);
    static bool creditMarkedClick(Session& session, const std::string& appKey,
                                  const InstallRequest& request, const std::string& address);
    static std::optional<std::pair<std::string, std::string>> creditedInstall(
        Session& session, const std::string& appKey, const std::string& ci, bool& failed);
    static std::optional<std::string> groupOfTrace(Session& session, const std::string& appKey,
                                                   const std::string& traceId);
    static bool creditToTotals(Session& session, const std::string& appKey, const std::string& ci,
                               const std::string& traceId, TotalsDeltas& totals);
    static bool addTotals(Session& session, const std::string& appKey, const TotalsDeltas& totals);
    static std::vector<Click> clickRows(const PgResult& rows);
    static Click clickOf(const PgResult& rows, int row);
    /// The rows of one query (rowOf makes each), or nothing when the database failed.
    template <class T>
    std::optional<std::vector<T>> rowsOf(const std::string& sql, const PgParams& params,
                                         T (*rowOf)(const PgResult&, int));

    const std::string uri_;
    const int poolSize_;
    std::mutex poolMutex_;  // idle_ and open_
    std::condition_variable poolChanged_;
    std::vector<PGconn*> idle_;
    int open_ = 0;  // connections idle or in use
    std::mutex errorMutex_;
    std::string lastError_;
};

}  // namespace plovendale::attribution_service
