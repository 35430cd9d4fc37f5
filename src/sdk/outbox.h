#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plovendale/platform/error.h"
#include "plovendale/platform/main_queue.h"

// The outbox: everything the library owes the service (state reports and in-app events), kept in
// the store until the service has answered it. One layout, one writer thread, one sender, one
// retry rule, and one lease by which launches sharing a data directory agree who sends.
namespace plovendale::internal {

enum class OutboxKind { Event, Report };

/// One stored entry, as the outbox keeps it. An event's `text` is exactly what goes on the wire
/// ({"id", "name", "ts": ms since 1970, "params": {...}, "revenue"?: {...}}); a report's is
/// {"attempts": N, "body": <the report's JSON text>, "id", "kind": "report", "ts": ms}.
struct OutboxEntry {
    std::string id;
    long long ts = 0;  // ms since 1970
    std::string text;
    OutboxKind kind = OutboxKind::Event;
    std::string body;  // a report's wire text
    int attempts = 0;  // a report's sends that failed
};

inline constexpr std::size_t kOutboxMaxEvents = 10000;
inline constexpr double kOutboxMaxEventAgeSeconds = 30 * 24 * 3600;
inline constexpr std::size_t kOutboxMaxReports = 100;
inline constexpr double kOutboxMaxReportAgeSeconds = 7 * 24 * 3600;
/// The largest entry the outbox keeps, as compact JSON: the largest event trackEvent takes; a
/// report takes a few hundred bytes.
inline constexpr std::size_t kMaxEntryBytes = 4096;
inline constexpr std::size_t kMaxEventBytes = kMaxEntryBytes;
inline constexpr std::size_t kMaxBatchEvents = 100;
inline constexpr std::size_t kMaxBatchBytes = 64 * 1024;

/// `text` as a JSON string (invalid UTF-8 replaced).
std::string jsonString(const std::string& text);
/// A report's entry (its stored text made from the others).
OutboxEntry reportEntry(std::string id, long long ts, std::string body, int attempts);

/// What the service's answer to a report or a batch of events means for it.
enum class ReportVerdict { Delivered, Drop, Retry };
/// 2xx delivered; a 4xx other than 401, 404, 408 and 429 is one the service will never take;
/// anything else (no answer, 401 and 404 of a wrong key or domain, 408, 429, 5xx) is tried again
/// later.
ReportVerdict classifyReportStatus(std::int64_t status);
/// The wait before retry number `failures` (1 for the first): 1 s doubling, capped at 5 min, the
/// upper half jittered by `random` in [0, 1), and never shorter than the service's Retry-After.
std::chrono::milliseconds outboxBackoff(int failures, double random,
                                        std::chrono::milliseconds retryAfter);
/// The wait a "Retry-After" header asks for (seconds, or an HTTP date), if any.
std::optional<std::chrono::milliseconds> retryAfterOf(const Error::Headers& headers);
/// Names this launch in the sending lease. Any thread.
const std::string& launchToken();
/// Whether a lease that `by` renewed at `at` (seconds) still keeps this launch from sending at
/// `now`: it is another launch's, younger than the lease, and its process lives.
bool leaseHeldElsewhere(const std::string& by, long long at, long long now);

/// Hands a checked event to the writer, which makes it durable within 100 ms. Until this
/// launch's install-trace query has ended it is not sent. Any thread; never waits for the disk.
void queueEvent(OutboxEntry event);
/// Writes the report `body` to the outbox together with `alsoSet`, in one write that waits for the
/// disk: the query's outcome and its report are stored together, or neither. On the writer thread
/// (a job of runOnWriter). Answers whether the write took.
bool storeReport(std::string body, const std::map<std::string, std::string>& alsoSet);

/// Schedules a pass of the sender on the writer thread: it sends the oldest entries that may go
/// (a report alone, events a batch at a time) while this launch holds the sending lease, until a
/// send fails (a retry follows after a backoff) or nothing may go. The pass is handed over from the
/// main queue (what it holds now runs first), or at once with `fromMainQueue` (the caller runs
/// there). Any thread.
/// `lookElsewhere` false: the pass need not read what other launches queued meanwhile.
void sendOutboxSoon(bool fromMainQueue = false, bool lookElsewhere = true);
/// A pass of the sender now, on the calling thread: for the writer's own jobs. `then` goes to the
/// main queue in the task that starts the pass's request, after it (or on its own when the pass
/// starts none): the answer's handling never comes before it.
void sendOutboxNow(MainQueue::Task then = nullptr);
/// Gives up the sending lease, when this launch holds it: for shutdown, on the writer thread.
void releaseSendingLease();
/// Whether a send is running or about to run (a retry waiting for its backoff is not).
bool outboxBusy();

/// Wakes the writer at once and waits, without running the main queue, until every event (and job)
/// handed in so far is written (or given up) or `timeout` passes; answers whether they were.
bool waitUntilWritten(std::chrono::milliseconds timeout);
/// Runs `job` on the writer thread, ahead of the events waiting there: for the library's disk work
/// that must not hold up the host's main queue. When no thread can be had it runs on the caller's.
/// `job` must not throw. Any thread.
void runOnWriter(std::function<void()> job);
/// While the answer is held, no job runs: a forget holds it so that no job writes for the
/// installation it erases.
std::unique_lock<std::mutex> holdWriterJobs();
/// For shutdown: writes what was handed in (waiting at most `timeout`), then stops the writer
/// thread and joins it; the next event starts it again. Answers whether every event was written.
/// Never on the writer thread.
bool stopOutboxWriter(std::chrono::milliseconds timeout);
/// Wakes the writer at once and runs the built-in main queue until every event is written and no
/// send is on the wire, or `timeout` passes; answers whether that state was reached.
bool flushOutbox(std::chrono::milliseconds timeout);
/// How many events wait: handed in and not yet written, being written, or stored. Never waits
/// for the writer; the first call of a launch reads the store. Any thread.
std::size_t queuedEventCount();
/// How many reports the outbox holds. Any thread.
std::size_t queuedReportCount();

/// Before the outbox is erased (and for a new launch in tests): events not yet written are
/// dropped, a write or send under way no longer touches the store, and new events wait for the
/// next query again.
void forgetOutbox();
/// The keys a forget erases: the index, every chunk the store's index names now, the earlier
/// layouts and the sending lease. Call it after forgetOutbox.
std::vector<std::string> outboxKeys();

}  // namespace plovendale::internal
