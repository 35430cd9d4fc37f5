#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace plovendale::internal {

/// In-app events not yet delivered are kept in chunks, each a JSON array of at most
/// kEventChunkMaxEvents events exactly as they go on the wire ({"id", "name", "ts": ms since 1970,
/// "params": {...}, "revenue"?: {...}}), under its own key; the index key lists the chunk keys,
/// oldest first. A write touches the last chunk and, when a new chunk is made, the index: its cost
/// follows the events written, not the events stored. A chunk key exists only while the index
/// names it: it is made in the same store write as its index entry and removed before that entry.
inline constexpr const char* kEventIndexKey = "com.plovendale.event_chunks";
/// Chunk keys start so, followed by the launch that made the chunk and a count.
inline constexpr const char* kEventChunkKeyPrefix = "com.plovendale.event_chunk.";
/// Where earlier versions kept every event as one JSON array; read once and moved into chunks.
inline constexpr const char* kEventOutboxKey = "com.plovendale.event_outbox";
/// Which launch sends the stored events: {"by": <launch>, "at": <seconds>}. One launch at a time,
/// so two launches never send the same batch at once.
inline constexpr const char* kEventSenderKey = "com.plovendale.event_sender";
inline constexpr std::size_t kEventOutboxMaxEvents = 10000;
inline constexpr double kEventOutboxMaxAgeSeconds = 30 * 24 * 3600;
/// The largest event trackEvent takes, as compact JSON.
inline constexpr std::size_t kMaxEventBytes = 4096;
/// A chunk of the largest events stays below 1 MiB.
inline constexpr std::size_t kEventChunkMaxEvents = 200;
/// An earlier version's outbox of the largest events: a longer stored value is not one this
/// library wrote, and is not read.
inline constexpr std::size_t kEventOutboxMaxStoredBytes =
    kEventOutboxMaxEvents * (kMaxEventBytes + 1) + 2;

/// One stored event: its wire text, and what the outbox's rules look at.
struct StoredEvent {
    std::string id;
    long long ts = 0;
    std::string text;
};

/// Advanced by a forget: an edit made for an older generation changes nothing.
std::uint64_t eventGeneration();
/// A new generation; what this process remembers of the stored events is dropped.
void advanceEventGeneration();

/// Reads the stored events as the store holds them now (another launch may have written them),
/// moves an earlier version's outbox into chunks, and drops events past the bounds (one log line
/// and event.dropped); nothing when `generation` is no longer current.
void refreshStoredEvents(std::uint64_t generation);
/// What writeStoredEvents did.
struct EventWrite {
    bool stored = true;        // every store write took
    std::size_t unstored = 0;  // events of the group that could not be stored
    std::size_t count = 0;     // events stored now
    // Dropped past the bounds, not yet told (tellEventsPruned): a burst's writes tell them once.
    std::size_t malformed = 0;
    std::size_t tooOld = 0;
    std::size_t tooMany = 0;
};
/// Removes the events `remove` names and then appends `group`, writing `alsoSet` with the first
/// store write, and keeps the bounds. Only the chunks that change are written; nothing when
/// `generation` is no longer current. A store write that fails ends it (what was written before
/// stays) with one store.failed event. `droppedUnwritten` events the writer dropped beyond the
/// bound before they were written count with those dropped here.
EventWrite writeStoredEvents(std::uint64_t generation, std::vector<StoredEvent> group,
                             const std::set<std::string>& remove,
                             const std::map<std::string, std::string>& alsoSet = {},
                             std::size_t droppedUnwritten = 0);

/// Hands `visit` the stored events as this process last read or wrote them, oldest first, until
/// it answers false; false when this process has not read them yet.
bool visitKnownEvents(const std::function<bool(const StoredEvent&)>& visit);

/// The writer took `count` events from its queue to write them for `generation`: they count as
/// queued until writeStoredEvents has stored them or given them up. Computes only.
void noteEventsTaken(std::uint64_t generation, std::size_t count);
/// Events stored (as this process last read or wrote them) plus those the writer is writing now.
/// Computes only: it may be called under the writer's lock.
std::size_t knownEventCount();
/// Whether this process has read the stored events.
bool storedEventsKnown();

/// The keys a forget erases: the index, every chunk the store's index names now, the earlier
/// version's outbox and the sending lease. Call it after advanceEventGeneration.
std::vector<std::string> storedEventKeys();

/// Takes (or renews) the sending lease for this launch: answers false while another launch that
/// is alive renewed it within the lease.
bool takeSendingLease(std::uint64_t generation);
/// The lease's value for this launch now, for an update's alsoSet.
std::map<std::string, std::string> sendingLeaseValue();

/// One log line for what `dropped` dropped past the bounds, and event.dropped per reason.
void tellEventsPruned(const EventWrite& dropped);
/// One log line and event.dropped for `count` events.
void tellEventsDropped(const char* reason, std::size_t count, const std::string& status = "");

}  // namespace plovendale::internal
