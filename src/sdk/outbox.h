#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plovendale/platform/error.h"

namespace plovendale::internal {

/// State reports not yet delivered, oldest first, as one JSON array of
/// {"body": <the report's JSON text>, "queuedAt": <seconds since 1970>, "attempts": N, "id": ...,
/// "claimedBy": <the launch sending it>, "claimedAt": <seconds>}; arrays written before entries had
/// an id or a claim read as well. A report is written here before it is sent and removed once the
/// service took it, so a launch that dies with it on the wire leaves it for the next one.
inline constexpr const char* kOutboxKey = "com.plovendale.report_outbox";
inline constexpr std::size_t kOutboxMaxReports = 100;
inline constexpr double kOutboxMaxAgeSeconds = 7 * 24 * 3600;
/// A stored outbox longer than this is not read at all: a hundred reports take a few kilobytes.
inline constexpr std::size_t kOutboxMaxStoredBytes = 256 * 1024;

/// Drops the oldest items of `queue` (oldest first) past `most`; answers how many went. The
/// stored outboxes keep their newest work within their count bound so.
template <typename Item>
std::size_t dropOldestBeyond(std::vector<Item>& queue, std::size_t most) {
    if (queue.size() <= most) return 0;
    const auto excess = queue.size() - most;
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(excess));
    return excess;
}

/// What the service's answer to a report means for it.
enum class ReportVerdict { Delivered, Drop, Retry };
/// 2xx delivered; a 4xx other than 401, 404, 408 and 429 is one the service will never take;
/// anything else (no answer, 401 and 404 of a wrong key or domain, 408, 429, 5xx) is tried again
/// later.
ReportVerdict classifyReportStatus(std::int64_t status);

/// A report written to the outbox (or refused by the store), not yet on the wire.
struct StoredReport;
/// Writes the report `body` to the outbox together with `alsoSet` (one write, waiting for the
/// disk): the first half of sending a report, for the library's own threads. Any thread.
std::shared_ptr<StoredReport> storeReport(std::string body,
                                          const std::map<std::string, std::string>& alsoSet);
/// Whether the write of storeReport took.
bool reportStored(const StoredReport& report);
/// Sends a report storeReport wrote; it leaves the outbox once delivered or refused. One the
/// store refused is still sent, and kept only if that send fails. With `thenQueued` (the service
/// just answered), the reports that wait follow, if the write saw any. Main queue.
void sendStoredReport(const std::shared_ptr<StoredReport>& report, bool thenQueued);
/// Sends the oldest queued report that no launch is sending, and then the next, until one fails
/// (a retry then follows after a backoff) or none is left. Does nothing while a send or a retry is
/// pending. Main queue.
void sendQueuedReports();
/// Schedules sendQueuedReports on the main queue.
void sendQueuedReportsSoon();
/// Whether a send is running or about to run (a retry waiting for its backoff is not).
bool outboxBusy();
/// The wait before retry number `failures` (1 for the first): 1 s doubling, capped at 5 min, the
/// upper half jittered by `random` in [0, 1), and never shorter than the service's Retry-After.
std::chrono::milliseconds outboxBackoff(int failures, double random,
                                        std::chrono::milliseconds retryAfter);
/// Names this launch in the claims it writes on stored entries (reports, events). Any thread.
const std::string& launchToken();
/// Whether a claim that `claimedBy` wrote at `claimedAt` (seconds) still keeps this launch off
/// the entry at `at`: it is another launch's, younger than the lease, and its process lives.
bool claimHeldElsewhere(const std::string& claimedBy, long long claimedAt, long long at);
/// The wait a "Retry-After" header asks for (seconds, or an HTTP date), if any.
std::optional<std::chrono::milliseconds> retryAfterOf(const Error::Headers& headers);
/// Forget pending sends and retries (their answers no longer touch the store) and start over.
void resetOutboxSender();

}  // namespace plovendale::internal
