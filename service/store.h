#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "money.h"
#include "sqlite_statement.h"

namespace plovendale::attribution_service {

struct Link {
    long long rowId = 0;  // the paging cursor
    std::string traceId;
    std::string params;
    std::string channel;
    std::string createdAt;
};

struct StateReport {
    long long rowId = 0;
    std::string ci;
    std::string t;
    std::string ms;
    std::string cd;
    std::string msg;
    std::string receivedAt;
};

struct InstallRequest {
    long long rowId = 0;
    std::string ci;          // the client identifier of the body, "" when it had none
    std::string paramsJson;  // the request body as received, written compactly
    std::string traceId;     // the link it was matched to, "" when none
    int answeredStatus = 0;  // the "status" member of the answer
    std::string receivedAt;
    std::string match;  // "bundle", "pasteboard", "fingerprint"; "" when no link
};

/// Where a link's landing page sends visitors, and what link previews show. Every member is
/// optional ("").
struct LinkLanding {
    std::string ios;
    std::string android;
    std::string fallback;  // the "default" destination
    std::string title;
    std::string description;
    std::string image;
};

/// A link with its landing page.
struct LandingLink {
    Link link;
    LinkLanding landing;
};

/// One landing-page load. The beacon members stay empty until the page's beacon came.
struct Click {
    long long rowId = 0;
    std::string clickId;
    std::string traceId;
    std::string address;
    std::string userAgent;
    std::string acceptLanguage;
    std::string platform;  // "ios", "android" or "other", from the User-Agent
    std::optional<int> screenWidth;
    std::optional<int> screenHeight;
    std::optional<double> pixelRatio;
    std::optional<std::string> timeZone;
    std::optional<std::string> language;
    std::string creditedCi;  // the client whose install it was credited to; "" while none
    std::string receivedAt;
    long long receivedMs = 0;  // ms since 1970
};

/// What a landing page's script measured.
struct Beacon {
    int screenWidth = 0;
    int screenHeight = 0;
    double pixelRatio = 1;
    std::string timeZone;
    std::string language;
};

enum class BeaconOutcome { Stored, UnknownClick, AlreadySent, Failed };

/// Picks the click an install is credited to among the candidates (newest first; their index),
/// or nothing, given how many distinct visitors (User-Agent, Accept-Language and screen) the
/// address brought over the crowd horizon.
using ClickChooser =
    std::function<std::optional<std::size_t>(const std::vector<Click>&, std::size_t visitors)>;

/// One event of a client's batch; amount and currency are both "" when it carries no revenue.
struct Event {
    long long rowId = 0;
    std::string id;
    std::string name;
    long long ts = 0;  // ms since 1970, as the client sent it
    std::string paramsJson;
    std::string amount;  // exact decimal text, as the client sent it
    std::string currency;
    std::string ci;
    std::string receivedAt;
};

struct EventBatchOutcome {
    int accepted = 0;
    int duplicates = 0;  // already stored under the same (app key, client id, event id)
};

/// A newest-first view of one install for the console.
struct InstallView {
    std::string ci;
    std::string traceId;  // "" when organic
    std::string params;   // the link's params
    std::string channel;
    int answeredStatus = 0;
    std::string receivedAt;
    std::string match;  // how the link was found; "" when organic
};

/// Installs, events and revenue of one group of clients.
struct Totals {
    long long installs = 0;
    long long events = 0;
    std::map<std::string, Micros> revenue;  // by currency
};

/// Per channel of the link that attributed each install; organic: answered without a link;
/// unknown: events of clients the service never saw asking.
struct Summary {
    std::map<std::string, Totals> channels;
    Totals organic;
    Totals unknown;
};

/// What one link brought.
struct LinkFunnel {
    std::string traceId;
    std::string channel;
    long long clicks = 0;
    std::map<std::string, long long> installs;  // by match method
    long long events = 0;
    std::map<std::string, Micros> revenue;  // by currency
};

/// One page of an oldest-first list: rows with a cursor above `after`, at most `limit` of them.
struct Page {
    long long after = 0;
    int limit = 100;
};

enum class RegisterOutcome { Registered, TraceIdTaken, Failed };

/// The service's SQLite database: links per app key, received state reports, install requests and
/// events. Every write is durable when the call returns (WAL, synchronous FULL); a write that
/// returns false stored nothing. All members may be called from any thread.
///
/// Writes go through one writer thread that commits them in groups: what arrives while one
/// transaction commits goes into the next, each write in a savepoint of its own (so one failing
/// write takes back only itself), with statements prepared once. Durable commits then cost one
/// sync per group rather than per request. Reads have a connection of their own (in WAL mode a
/// reader never waits for the writer, nor the writer for it), and what the summary and the console
/// show is kept as totals and indexed rows as writes happen, so no read scans. A group that finds
/// the database locked by another process waits at most the busy wait given to open() and then
/// fails every write in it.
class Store {
  public:
    /// Opens (creating if needed) the database at path; ":memory:" gives a throw-away database.
    /// On failure returns nothing and puts the reason in error.
    static std::unique_ptr<Store> open(
        const std::string& path, std::string& error,
        std::chrono::milliseconds busyWait = std::chrono::milliseconds(5000));
    ~Store();  ///< finishes the writes already submitted
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// Registers a link under traceId (which the caller has validated).
    RegisterOutcome addLink(const std::string& appKey, const std::string& traceId,
                            const std::string& params, const std::string& channel,
                            const LinkLanding* landing = nullptr);
    /// The link with its landing page (all "" when it was registered without one).
    std::optional<LandingLink> findLandingLink(const std::string& appKey,
                                               const std::string& traceId);
    std::optional<Link> findLink(const std::string& appKey, const std::string& traceId);
    std::vector<Link> links(const std::string& appKey, Page page);

    bool addStateReport(const std::string& appKey, const StateReport& report);
    std::vector<StateReport> stateReports(const std::string& appKey, Page page);

    /// Records the request and, when it is the client's first final answer, which link (or none)
    /// the client's install is credited to, for good. A client already credited is answered from
    /// that record: returns the request as answered (its trace id and status those of the
    /// credit), or nothing when it could not be recorded. When a bundle or pasteboard marker
    /// credits the install and `address` is given, the newest click of that link from the
    /// address not yet credited is credited to the same client in the same transaction: it led
    /// to this install, and no fingerprint may hand it to another.
    std::optional<InstallRequest> addInstallRequest(const std::string& appKey,
                                                    InstallRequest request,
                                                    const std::string& address = {});
    std::vector<InstallRequest> installRequests(const std::string& appKey, Page page);
    /// As addInstallRequest for a request no trace identifier matched (request.traceId ""), after
    /// offering `choose` the key's clicks from `address` received at or after `sinceMs` and not
    /// credited to another client, with the count of the address's distinct visitors since
    /// `crowdSinceMs`. The chosen click is credited to request.ci in the same
    /// transaction (so across processes a click credits one install at most), and request gains
    /// its trace id and the match "fingerprint". The chosen click, or nothing (organic); false
    /// in `stored` when nothing could be stored.
    std::optional<Click> addFingerprintInstallRequest(const std::string& appKey,
                                                      InstallRequest& request,
                                                      const std::string& address, long long sinceMs,
                                                      long long crowdSinceMs,
                                                      const ClickChooser& choose, bool& stored);

    /// Records a click; first deletes at most a bounded number of clicks received before
    /// `expiredBeforeMs`, so the work per click stays small however many expired.
    bool addClick(const std::string& appKey, const Click& click, long long expiredBeforeMs);
    /// Fills the beacon members of the click, once.
    BeaconOutcome addBeacon(const std::string& appKey, const std::string& traceId,
                            const std::string& clickId, const Beacon& beacon);
    std::vector<Click> clicks(const std::string& appKey, Page page);
    /// The console's newest clicks.
    std::vector<Click> recentClicks(const std::string& appKey, int count);

    /// Stores the batch in one transaction; events whose id the client already sent are counted,
    /// not stored again. Nothing when the batch could not be stored (none of it was).
    std::optional<EventBatchOutcome> addEvents(const std::string& appKey,
                                               const std::vector<Event>& events);
    std::vector<Event> events(const std::string& appKey, Page page);

    /// Nothing when the database could not be read.
    std::optional<Summary> summary(const std::string& appKey);
    /// The console's views: the newest first, at most `count`.
    std::vector<InstallView> recentInstalls(const std::string& appKey, int count);
    std::vector<StateReport> recentStateReports(const std::string& appKey, int count);
    std::vector<Event> recentEvents(const std::string& appKey, int count);
    /// Per link (the newest `count` links of the key): clicks, installs by match method, events
    /// and revenue of the installs credited to it.
    std::vector<LinkFunnel> funnels(const std::string& appKey, int count);
    /// App keys with any record, most recently active first, at most `count`.
    std::vector<std::string> appKeys(int count);

    /// The last SQLite error text, for the log.
    std::string lastError();

  private:
    Store(sqlite3* db, sqlite3* reader) : db_(db), reader_(reader) {}

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
    static std::vector<Click> clickRows(Statement& query);
    void writerLoop();
    void commitGroup(const std::vector<Write*>& group);
    /// The statement for sql, prepared on first use and reset for this one (under mutex_).
    Statement& prepared(const std::string& sql);
    void noteError(sqlite3* db);
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

/// Registers a link with a fresh random trace identifier (retrying on the rare collision).
/// Returns the trace identifier, or nothing when the database refused the write.
std::optional<std::string> registerNewLink(Store& store, const std::string& appKey,
                                           const std::string& params, const std::string& channel,
                                           const LinkLanding* landing = nullptr);

}  // namespace plovendale::attribution_service
