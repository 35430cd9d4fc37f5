#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "plovendale/export.h"
#include "plovendale/sdk/constants.h"
#include "plovendale/sdk/install_trace_state.h"
#include "plovendale/sdk/records.h"
#include "plovendale/sdk/user_activity.h"

namespace plovendale {

/// The host's delegate. The library holds it weakly and never extends its lifetime.
class PLOVENDALE_API PlovendaleDelegate {
  public:
    virtual ~PlovendaleDelegate() = default;
    /// Whether this delegate takes wake-up traces; one that does not answers false.
    virtual bool implementsGetWakeUpTrace() const { return true; }
    /// A wake-up link of this application arrived; called on the thread that handed in the link.
    virtual void getWakeUpTrace(const AppData& appData) { (void)appData; }
};

/// The money an in-app event stands for: `amount` as exact decimal text ("-"? up to 15 digits, then
/// optionally "." and 1 to 6 digits; it never passes through a binary floating value) and an ISO
/// 4217 currency code of three capital letters ("EUR").
struct PLOVENDALE_API Revenue {
    std::string amount;
    std::string currency;

    friend bool operator==(const Revenue&, const Revenue&) = default;
};

/// What Plovendale::flush reached (the C values of plovendale_flush).
enum class FlushResult {
    /// Writing, or a batch's answer, still waited when the time ran out.
    TimedOut = 0,
    /// Every event is written and answered: none waits in the store.
    Delivered = 1,
    /// Every event is written, and some wait in the store unsent: the service failed (they go
    /// after a backoff), another launch on the data directory sends them, an install-trace query
    /// is on the wire, tracking is disabled, or no key is set.
    StoredNotSent = 2,
};

/// The library's facade. Every operation is class-level; call them from the host's main thread.
/// No operation throws or blocks on the network; outcomes that need the network arrive on the main
/// queue (see MainQueue).
class PLOVENDALE_API Plovendale {
  public:
    /// Success of an install-trace query: the link's parameters and channel, or nothing when the
    /// service answered without them.
    using SuccessHandler = std::function<void(const std::optional<AppData>& appData)>;
    /// Failure of an install-trace query: a code (see the documentation) and a message, which may
    /// be absent.
    using FailHandler =
        std::function<void(std::int64_t code, const std::optional<std::string>& message)>;

    static std::string sdkVersion();

    /// Stores the delegate and starts with the key from the property list
    /// ("com.plovendale.APP_KEY"). The start-up calls answer false, with one log line, when the key
    /// is missing or breaks the rule of plovendale/sdk/app_key.h (1 to 128 letters, digits, "-"
    /// and "_", the service's rule too): the library then does not start.
    /// Start-up returns without waiting for the key-value store: a store not yet open is opened,
    /// and the client identifier made and the pasteboard read, on a short-lived worker thread. The
    /// first call that needs a stored value (isFirstOpen, a query, ...) waits for that work, 2 s at
    /// most; a store still not open by then is replaced by one in memory for the run, with one log
    /// line, as when it cannot be opened.
    static bool initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate);
    /// Stores the delegate and starts with `appKey`.
    static bool initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate,
                                 const std::string& appKey);
    /// Starts with the key from the property list; the delegate is left as it is.
    static bool start();
    /// Starts with `appKey`; the delegate is left as it is.
    static bool startWith(const std::string& appKey);
    static void registerPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate);
    /// The service base URL: an absolute http or https URL without query or fragment; a trailing
    /// "/" is dropped. Anything else is refused with one log line and answers false; the domain
    /// in force stays.
    static bool setServerDomain(const std::string& domain);
    /// Whether no install trace has been stored yet.
    static bool isFirstOpen();

    /// Asks which link brought this installation, with the default timeout.
    static void getInstallTrace(SuccessHandler success, FailHandler fail);
    /// The same with a timeout in milliseconds (at least 4000; zero or less means 10000).
    static void getInstallTraceWithTimeout(double timeoutMs, SuccessHandler success,
                                           FailHandler fail);

    /// A custom-scheme link the application was opened with; true when it was this library's. A
    /// link longer than MAX_LINK_LENGTH is refused unread. On the caller's thread.
    static bool handleSchemeLinkURL(const std::optional<std::string>& url);
    /// A universal link; true when it was this library's.
    static bool handleUniversalLink(const std::optional<UserActivity>& activity);

    /// Receives the final state of the install-trace query, once, on the main queue.
    using InstallTraceObserver = std::function<void(const InstallTraceState& state)>;
    /// Receives the library's events on the main queue (docs/events.md).
    using EventObserver = std::function<void(const PlovendaleEvent& event)>;

    /// Where this installation stands, from what is stored and what runs in this process. A
    /// failure of an earlier launch reads as failed until the next query. Any thread.
    static InstallTraceState installTraceState();
    /// Calls `observer` once, on the main queue, with the final state: at once (posted) when the
    /// installation is already attributed or organic or a query of this process has failed,
    /// otherwise when the next query ends. A failure of an earlier launch is not final here: the
    /// next query asks again. Answers a token for removeInstallTraceObserver. Any thread.
    static std::uint64_t addInstallTraceObserver(InstallTraceObserver observer);
    /// Forgets an observer that has not been called yet. Any thread.
    static void removeInstallTraceObserver(std::uint64_t token);
    /// Replaces the event observer (empty: no events). Set it before start-up to see the
    /// pasteboard events. Any thread; events arrive on the main queue.
    static void setEventObserver(EventObserver observer);

    /// An Ed25519 public key in PEM ("-----BEGIN PUBLIC KEY-----"): from now on a wake-up link is
    /// taken only with a valid signature "s" over this application's key, its "d" value and its
    /// expiry "e" (docs/wire-protocol.md), and only until that expiry. True when the key was read;
    /// a PEM that cannot be read answers false and refuses every link until a good key (or "") is
    /// set, so a mistake never turns verification off. "" turns verification off. Kept for this
    /// process only. Any thread.
    static bool setLinkVerificationKey(const std::string& pem);

    /// The user's choice, kept across launches: while tracking is disabled the library sends
    /// nothing, reads neither the pasteboard nor the bundle marker, queues no state report, and
    /// every install-trace query fails at once with -10006; trackEvent refuses events. Wake-up
    /// links are still decoded. Answers whether the choice was stored (it holds for this process
    /// either way). Host's main thread.
    static bool setTrackingDisabled(bool disabled);
    static bool isTrackingDisabled();
    /// Erases everything the library stored about this installation (client identifier, trace
    /// identifier, cached answer, pasteboard trace, undelivered reports and events, last failure)
    /// in one write, and its copies in memory (events not yet written among them): the next query
    /// is a first install with a new client identifier. A batch answer that arrives later changes
    /// nothing. The tracking choice stays. False when the store refused: then nothing changed.
    /// Host's main thread.
    static bool forgetInstallation();
    /// How many state reports wait to be delivered, as the store holds them now (another launch
    /// sharing the data directory may have queued some). Any thread.
    static std::size_t queuedReportCount();
    /// Whether the outbox (state reports and events) is being sent or about to be, waiting for
    /// another launch's sending lease included (a retry waiting out its backoff is not): a host
    /// about to exit may run the main queue until this is false, with a bound. Any thread.
    static bool isDeliveringReports();
    /// The install parameters a first query sends (the seventeen device and app entries, without
    /// the client identifier "ci"), read afresh: for diagnostics and support. Reads the bundle,
    /// screen, pasteboard capture and bundle marker. Host's main thread.
    static std::map<std::string, std::string> installParameters();

    /// Ends the library's work in this process, for a clean exit. First it waits, at most
    /// `timeout`, for an install-trace query on the wire to be answered, running main-queue work on
    /// the calling thread meanwhile, so that the answer is stored and its state report written to
    /// the outbox. Then it stops the library's threads (the I/O and delivery threads, joined),
    /// drops every transfer (a state report on the wire stays in the outbox, written before it was
    /// sent, for the next launch), runs the main-queue work already queued, and releases the
    /// delegate, the event observer, the application key and the services the platform made (the
    /// store is closed; the configuration stays). Answers false when a query was still on the wire
    /// at the timeout (dropped: neither handler runs; the next launch asks again), when events
    /// handed in were not all stored by then (those not stored are lost), or when called on one of
    /// the library's threads (then nothing is done). It returns within `timeout` plus 100 ms (the
    /// least it gives the event writer) plus the one store write under way (at most 1,000
    /// events: tens of milliseconds on a phone's disk). Afterwards queries fail at once with
    /// -10000 until a start-up call starts the library again, with the configuration in force.
    /// Host's main thread, with no other thread calling the library while it runs.
    static bool shutdown(std::chrono::milliseconds timeout);

    /// Records an in-app event for the service (docs/events.md, "In-app events"): `name` is 1 to
    /// 64 of letters, digits, "_", "." and "-"; at most 50 `params`, each key 1 to 64 bytes and
    /// each value at most 1024 bytes, all valid UTF-8; the whole event at most 4 KiB of JSON;
    /// `eventId` (same rule as the name) is how the service counts a resent event once, a fresh
    /// UUID when absent. A bad argument, or tracking disabled, answers false with one log line and
    /// records nothing. Never waits for the disk or the network: the event is written to the
    /// store within 100 ms by a writer thread and sent in batches once this installation's first
    /// install-trace query has ended (or on a later launch). Any thread.
    static bool trackEvent(const std::string& name,
                           const std::map<std::string, std::string>& params = {},
                           const std::optional<Revenue>& revenue = std::nullopt,
                           const std::optional<std::string>& eventId = std::nullopt);
    /// Writes recorded events to the store at once and sends them, waiting at most `timeoutMs`
    /// until they are written and the batches on the wire are answered, running the built-in main
    /// queue meanwhile (its tasks, host handlers included, run inside this call). Events held for
    /// this launch's install-trace query go too unless a query is on the wire. With a host poster
    /// the answers wait for the host's loop, so only the write is waited for in practice. Answers
    /// Delivered when no event waits any more, StoredNotSent when all are written but some wait
    /// unsent, TimedOut otherwise. Host's main thread.
    static FlushResult flush(double timeoutMs);
    /// How many events wait to be delivered: those handed in and not yet written count too. Never
    /// waits for the writer; the first call of a launch reads the store. Any thread.
    static std::size_t queuedEventCount();

    /// The single instance (created once, thread-safe).
    static Plovendale& shareInstance();
    /// The delegate, or nullptr when none is set or it has gone away.
    std::shared_ptr<PlovendaleDelegate> plovendaleDelegate() const;
    void setPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate);

    /// The service base URL the queries of `appKey` go to: the one set with setServerDomain, else
    /// https://clb-<appKey>.<base domain>. For diagnostics. Any thread.
    static std::string getDomainUrl(const std::string& appKey);

    Plovendale(const Plovendale&) = delete;
    Plovendale& operator=(const Plovendale&) = delete;

  private:
    Plovendale() = default;
    mutable std::mutex mutex_;
    std::weak_ptr<PlovendaleDelegate> delegate_;
};

}  // namespace plovendale
