#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "money.h"

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

/// A row looked up by its key: none found, or (failed) the database could not be read.
template <class T>
struct Lookup {
    std::optional<T> found;
    bool failed = false;
};

enum class RegisterOutcome { Registered, TraceIdTaken, Failed };

/// Where the service keeps links per app key, received state reports, install requests, clicks
/// and events: a SQLite file (one process) or a PostgreSQL database (any number of service
/// processes). Every write is durable when the call returns; a write that returns false (or
/// nothing) stored nothing. A read that returns nothing (or a failed Lookup) could not read the
/// database: "not found" and "could not look" are never the same answer. All members may be
/// called from any thread.
class Store {
  public:
    Store() = default;
    virtual ~Store() = default;  ///< finishes the writes already submitted
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// Registers a link under traceId (which the caller has validated).
    virtual RegisterOutcome addLink(const std::string& appKey, const std::string& traceId,
                                    const std::string& params, const std::string& channel,
                                    const LinkLanding* landing) = 0;
    RegisterOutcome addLink(const std::string& appKey, const std::string& traceId,
                            const std::string& params, const std::string& channel) {
        return addLink(appKey, traceId, params, channel, nullptr);
    }
    /// The link with its landing page (all "" when it was registered without one).
    virtual Lookup<LandingLink> findLandingLink(const std::string& appKey,
                                                const std::string& traceId) = 0;
    virtual Lookup<Link> findLink(const std::string& appKey, const std::string& traceId) = 0;
    virtual std::optional<std::vector<Link>> links(const std::string& appKey, Page page) = 0;

    virtual bool addStateReport(const std::string& appKey, const StateReport& report) = 0;
    virtual std::optional<std::vector<StateReport>> stateReports(const std::string& appKey,
                                                                 Page page) = 0;

    /// Records the request and, when it is the client's first final answer, which link (or none)
    /// the client's install is credited to, for good. A client already credited is answered from
    /// that record: returns the request as answered (its trace id and status those of the
    /// credit), or nothing when it could not be recorded. When a bundle or pasteboard marker
    /// credits the install and `address` is given, the newest click of that link from the
    /// address not yet credited is credited to the same client in the same transaction: it led
    /// to this install, and no fingerprint may hand it to another.
    virtual std::optional<InstallRequest> addInstallRequest(const std::string& appKey,
                                                            InstallRequest request,
                                                            const std::string& address) = 0;
    std::optional<InstallRequest> addInstallRequest(const std::string& appKey,
                                                    InstallRequest request) {
        return addInstallRequest(appKey, std::move(request), std::string());
    }
    virtual std::optional<std::vector<InstallRequest>> installRequests(const std::string& appKey,
                                                                       Page page) = 0;
    /// As addInstallRequest for a request no trace identifier matched (request.traceId ""), after
    /// offering `choose` the key's clicks from `address` received at or after `sinceMs` and not
    /// credited to another client, with the count of the address's distinct visitors since
    /// `crowdSinceMs`. The chosen click is credited to request.ci in the same
    /// transaction (so across processes a click credits one install at most), and request gains
    /// its trace id and the match "fingerprint". The chosen click, or nothing (organic); false
    /// in `stored` when nothing could be stored.
    virtual std::optional<Click> addFingerprintInstallRequest(
        const std::string& appKey, InstallRequest& request, const std::string& address,
        long long sinceMs, long long crowdSinceMs, const ClickChooser& choose, bool& stored) = 0;

    /// Records a click; first deletes at most a bounded number of clicks received before
    /// `expiredBeforeMs`, so the work per click stays small however many expired.
    virtual bool addClick(const std::string& appKey, const Click& click,
                          long long expiredBeforeMs) = 0;
    /// Fills the beacon members of the click, once.
    virtual BeaconOutcome addBeacon(const std::string& appKey, const std::string& traceId,
                                    const std::string& clickId, const Beacon& beacon) = 0;
    virtual std::optional<std::vector<Click>> clicks(const std::string& appKey, Page page) = 0;
    /// The console's newest clicks.
    virtual std::optional<std::vector<Click>> recentClicks(const std::string& appKey,
                                                           int count) = 0;

    /// Stores the batch in one transaction; events whose id the client already sent are counted,
    /// not stored again. Nothing when the batch could not be stored (none of it was).
    virtual std::optional<EventBatchOutcome> addEvents(const std::string& appKey,
                                                       const std::vector<Event>& events) = 0;
    virtual std::optional<std::vector<Event>> events(const std::string& appKey, Page page) = 0;

    /// Nothing when the database could not be read.
    virtual std::optional<Summary> summary(const std::string& appKey) = 0;
    /// The console's views: the newest first, at most `count`.
    virtual std::optional<std::vector<InstallView>> recentInstalls(const std::string& appKey,
                                                                   int count) = 0;
    virtual std::optional<std::vector<StateReport>> recentStateReports(const std::string& appKey,
                                                                       int count) = 0;
    virtual std::optional<std::vector<Event>> recentEvents(const std::string& appKey,
                                                           int count) = 0;
    /// Per link (the newest `count` links of the key): clicks, installs by match method, events
    /// and revenue of the installs credited to it.
    virtual std::optional<std::vector<LinkFunnel>> funnels(const std::string& appKey,
                                                           int count) = 0;
    /// App keys with any record, most recently active first, at most `count`.
    virtual std::optional<std::vector<std::string>> appKeys(int count) = 0;

    /// The last database error text, for the log.
    virtual std::string lastError() = 0;
};

/// How a store is opened.
struct StoreOptions {
    /// SQLite: how long a write waits for another process's write lock before it fails.
    std::chrono::milliseconds busyWait{5000};
    /// PostgreSQL: connections kept open at most.
    int poolSize = 8;
};

/// True when db names a PostgreSQL database (a libpq connection URI) rather than a SQLite file.
bool isPostgresUri(const std::string& db);

/// db as it may be logged: a URI's password left out.
std::string databaseForLog(const std::string& db);

/// Opens the store db names: a libpq connection URI (postgresql://, postgres://) or a SQLite file
/// (":memory:" gives a throw-away database), creating and migrating its schema. On failure returns
/// nothing and puts the reason in error.
std::unique_ptr<Store> openStore(const std::string& db, std::string& error,
                                 const StoreOptions& options = {});

/// Registers a link with a fresh random trace identifier (retrying on the rare collision).
/// Returns the trace identifier, or nothing when the database refused the write.
std::optional<std::string> registerNewLink(Store& store, const std::string& appKey,
                                           const std::string& params, const std::string& channel,
                                           const LinkLanding* landing = nullptr);

}  // namespace plovendale::attribution_service
