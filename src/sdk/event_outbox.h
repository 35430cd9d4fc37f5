#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace plovendale::internal {

/// In-app events not yet delivered, oldest first, as one JSON array of the events as they go on
/// the wire ({"id", "name", "ts": ms since 1970, "params": {...}, "revenue"?: {...}}), each with
/// "claimedBy" and "claimedAt" (seconds) while a launch is sending it.
inline constexpr const char* kEventOutboxKey = "com.plovendale.event_outbox";
inline constexpr std::size_t kEventOutboxMaxEvents = 10000;
inline constexpr double kEventOutboxMaxAgeSeconds = 30 * 24 * 3600;
/// The largest event trackEvent takes, as compact JSON.
inline constexpr std::size_t kMaxEventBytes = 4096;
/// A full outbox of the largest events, with room for their claims: a longer stored value is not
/// one this library wrote, and is not read.
inline constexpr std::size_t kEventOutboxMaxStoredBytes =
    kEventOutboxMaxEvents * (kMaxEventBytes + 96);
inline constexpr std::size_t kMaxBatchEvents = 100;
inline constexpr std::size_t kMaxBatchBytes = 64 * 1024;

/// Hands a checked event (with its `id`) to the writer, which makes it durable within 100 ms.
/// Until this launch's install-trace query has ended it is not sent. Any thread; never waits for
/// the disk.
void queueEvent(nlohmann::json event, const std::string& id);

/// Sends the oldest stored events that no launch is sending, a batch at a time, until a batch
/// fails (a retry follows after a backoff) or none may go. Does nothing while a batch or a retry
/// is pending. Main queue.
void sendQueuedEvents();
/// Schedules sendQueuedEvents on the main queue. Any thread.
void sendQueuedEventsSoon();

/// Wakes the writer at once and waits, without running the main queue, until every event handed
/// in so far is written (or given up) or `timeout` passes; answers whether they were.
bool waitUntilEventsWritten(std::chrono::milliseconds timeout);
/// Wakes the writer at once and runs the built-in main queue until every event is written and no
/// batch is on the wire, or `timeout` passes; answers whether that state was reached.
bool flushEvents(std::chrono::milliseconds timeout);
/// How many events the store holds.
std::size_t storedEventCount();

/// Before the stored events are erased (and for a new launch in tests): events not yet written
/// are dropped, a write or batch under way no longer touches the store, and new events wait for
/// the next query again.
void forgetEvents();

}  // namespace plovendale::internal
