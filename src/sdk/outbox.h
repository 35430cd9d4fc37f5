#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace plovendale::internal {

/// State reports whose first send failed, oldest first, as one JSON array of
/// {"body": <the report's JSON text as first sent>, "queuedAt": <seconds since 1970>, "attempts":
/// N}.
inline constexpr const char* kOutboxKey = "com.plovendale.report_outbox";
inline constexpr std::size_t kOutboxMaxReports = 100;
inline constexpr double kOutboxMaxAgeSeconds = 7 * 24 * 3600;

/// Keeps a report whose send failed after `attempts` tries; `why` goes into the event. Main queue.
void queueReport(const std::string& body, const std::string& why);
/// Sends the oldest queued report, and then the next, until one fails (a retry then follows
/// after a backoff) or none is left. Does nothing while a send or a retry is pending. Main queue.
void sendQueuedReports();
/// Schedules sendQueuedReports on the main queue.
void sendQueuedReportsSoon();
/// Whether a send is running or about to run (a retry waiting for its backoff is not).
bool outboxBusy();
/// The wait before retry number `failures` (1 for the first): 1 s doubling, capped at 5 min, the
/// upper half jittered by `random` in [0, 1), and never shorter than the service's Retry-After.
std::chrono::milliseconds outboxBackoff(int failures, double random,
                                        std::chrono::milliseconds retryAfter);
/// Forget pending sends and retries (they no longer touch the store) and start over.
void resetOutboxSender();

}  // namespace plovendale::internal
