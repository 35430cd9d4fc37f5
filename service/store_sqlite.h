#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sqlite_statement.h"
#include "store.h"

namespace plovendale::attribution_service {

/// The store in one SQLite file: every write is durable when the call returns (WAL, synchronous
/// FULL). All members may be called from any thread.
///
/// Writes go through one writer thread that commits them in groups: what arrives while one
/// transaction commits goes into the next, each write in a savepoint of its own (so one failing
/// write takes back only itself), with statements prepared once. Durable commits then cost one
/// sync per group rather than per request. Reads have a connection of their own (in WAL mode a
/// reader never waits for the writer, nor the writer for it), and what the summary and the console
/// show is kept as totals and indexed rows as writes happen, so no read scans. A group that finds
/// the database locked by another process waits at most the busy wait given to open() and then
/// fails every write in it.
class SqliteStore final : public Store {
  public:
    /// Opens (creating if needed) the database at path; ":memory:" gives a throw-away database.
    /// On failure returns nothing and puts the reason in error.
    static std::unique_ptr<SqliteStore> open(
        const std::string& path, std::string& error,
        std::chrono::milliseconds busyWait = std::chrono::milliseconds(5000));
    ~SqliteStore() override;  ///< finishes the writes already submitted
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

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
    SqliteStore(sqlite3* db, sqlite3* reader) : db_(db), reader_(reader) {}

    /// One write waiting for its group's commit.
    struct Write {
        const std::function<bool()>* body;  // runs on the writer thread, under mutex_
        bool done = false;
        bool stored = false;
    };
    /// Runs body in the next group and waits for its commit: true when it returned true and the
    /// group committed.
    bool write(const std::function<bool()>& body);
    /// Inserts the request and credits the install (on the writer thread, inside a write).
    /// Inside a write: records the request, answered from the client's credit when it has one
    /// (request then carries that credit), and credits a first final answer.
    bool insertInstallRequest(const std::string& appKey, InstallRequest& request);
    /// Inside a write: credits to request.ci the newest click of its marker's link from
    /// `address` that no client holds yet (none when it already holds one there).
    bool creditMarkedClick(const std::string& appKey, const InstallRequest& request,
                           const std::string& address);
    /// Inside a write: the trace id and match of the client's credited install, if any.
    std::optional<std::pair<std::string, std::string>> creditedInstall(const std::string& appKey,
                                                                       const std::string& ci);
    /// The clicks of a query whose columns are kClickColumns.
    /// Nothing when the query failed.
    static std::optional<std::vector<Click>> clickRows(Statement& query);
    void writerLoop();
    void commitGroup(const std::vector<Write*>& group);
    /// The statement for sql, prepared on first use and reset for this one (under mutex_).
    Statement& prepared(const std::string& sql);
    void noteError(sqlite3* db);
    /// Steps `query` to its end, making a Row of each result row; nothing, with the error noted
    /// from `db`, when a step fails.
    template <typename Row, typename Make>
    std::optional<std::vector<Row>> readRows(sqlite3* db, Statement& query, Make make) {
        std::vector<Row> result;
        int rc = SQLITE_OK;
        while ((rc = query.step()) == SQLITE_ROW) result.push_back(make(query));
        if (rc != SQLITE_DONE) {
            noteError(db);
            return std::nullopt;
        }
        return result;
    }
    void setError(std::string error);
    /// What guards reader_: its own lock, or the writer's when both are one connection
    /// (":memory:").
    std::mutex& readMutex() { return reader_ == db_ ? mutex_ : readerMutex_; }

    // The totals (store_totals.cpp): on the writer's connection, inside a write.
    std::string groupOfTrace(const std::string& appKey, const std::string& traceId);
    /// The group of a credited client's records; nothing when it has no credited install yet.
    std::optional<std::string> groupOfClient(const std::string& appKey, const std::string& ci);
    bool addToTotals(const std::string& appKey, const std::string& group,
                     const std::string& currency, long long installs, long long events,
                     Micros amount);
    bool addEventsToTotals(const std::string& appKey, const std::string& ci,
                           const std::vector<const Event*>& stored);
    bool creditToTotals(const std::string& appKey, const std::string& ci,
                        const std::string& traceId);
    bool touchAppKey(const std::string& appKey, const std::string& now);
    bool rebuildTotals();

    sqlite3* db_;
    std::mutex mutex_;  // the writer's connection and the statements
    sqlite3* reader_;
    std::mutex readerMutex_;
    std::mutex errorMutex_;  // lastError_
    std::string lastError_;
    std::unordered_map<std::string, std::unique_ptr<Statement>> statements_;

    std::mutex writesMutex_;  // pending_ and each Write's done and stored
    std::condition_variable writesChanged_;
    std::vector<Write*> pending_;
    bool closing_ = false;
    std::thread writer_;
};

}  // namespace plovendale::attribution_service
