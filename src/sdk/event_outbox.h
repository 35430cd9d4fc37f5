#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "sdk/event_store.h"

namespace plovendale::internal {

inline constexpr std::size_t kMaxBatchEvents = 100;
inline constexpr std::size_t kMaxBatchBytes = 64 * 1024;

/// Hands a checked event to the writer, which makes it durable within 100 ms. Until this
/// launch's install-trace query has ended it is not sent. Any thread; never waits for the disk.
void queueEvent(StoredEvent event);

/// Sends the oldest stored events that may go, a batch at a time, while this launch holds the
/// sending lease, until a batch fails (a retry follows after a backoff) or none may go. Does
/// nothing while a batch or a retry is pending. Main queue.
void sendQueuedEvents();
/// Schedules sendQueuedEvents on the main queue. Any thread.
void sendQueuedEventsSoon();

/// Wakes the writer at once and waits, without running the main queue, until every event (and job)
/// handed in so far is written (or given up) or `timeout` passes; answers whether they were.
bool waitUntilEventsWritten(std::chrono::milliseconds timeout);
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
bool stopEventWriter(std::chrono::milliseconds timeout);
/// Wakes the writer at once and runs the built-in main queue until every event is written and no
/// batch is on the wire, or `timeout` passes; answers whether that state was reached.
bool flushEvents(std::chrono::milliseconds timeout);
/// How many events wait: handed in and not yet written, being written, or stored. Never waits
/// for the writer; the first call of a launch reads the store. Any thread.
std::size_t queuedEventCount();

/// Before the stored events are erased (and for a new launch in tests): events not yet written
/// are dropped, a write or batch under way no longer touches the store, and new events wait for
/// the next query again.
void forgetEvents();

}  // namespace plovendale::internal
