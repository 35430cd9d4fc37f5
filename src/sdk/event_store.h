#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace plovendale::internal {

/// In-app events not yet delivered, oldest first, as one JSON array of the events exactly as they
/// go on the wire: {"id", "name", "ts": ms since 1970, "params": {...}, "revenue"?: {...}}.
inline constexpr const char* kEventOutboxKey = "com.plovendale.event_outbox";
/// Which launch sends the stored events: {"by": <launch>, "at": <seconds>}. One launch at a time,
/// so two launches never send the same batch at once.
inline constexpr const char* kEventSenderKey = "com.plovendale.event_sender";
inline constexpr std::size_t kEventOutboxMaxEvents = 10000;
inline constexpr double kEventOutboxMaxAgeSeconds = 30 * 24 * 3600;
/// The largest event trackEvent takes, as compact JSON.
inline constexpr std::size_t kMaxEventBytes = 4096;
/// A full outbox of the largest events: a longer stored value is not one this library wrote, and
/// is not read.
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
/// drops those past the bounds (one log line and event.dropped), lets `edit` change the rest
/// (answering whether it did) and writes the result with `alsoSet`, in one store update; nothing
/// when `generation` is no longer current. `edit` runs under the store's lock: it only computes.
/// A value this process wrote last is not parsed again. `count`, when given, receives how many
/// events are stored. False when the store refused the write.
bool editStoredEvents(std::uint64_t generation,
                      const std::function<bool(std::vector<StoredEvent>&)>& edit,
                      std::size_t* count = nullptr,
                      const std::map<std::string, std::string>& alsoSet = {});

/// Hands `visit` the stored events as this process last read or wrote them, oldest first, until
/// it answers false; false when this process has not read them yet.
bool visitKnownEvents(const std::function<bool(const StoredEvent&)>& visit);

/// Takes (or renews) the sending lease for this launch: answers false while another launch that
/// is alive renewed it within the lease.
bool takeSendingLease(std::uint64_t generation);
/// The lease's value for this launch now, for an update's alsoSet.
std::map<std::string, std::string> sendingLeaseValue();

/// One log line and event.dropped for `count` events.
void tellEventsDropped(const char* reason, std::size_t count, const std::string& status = "");

}  // namespace plovendale::internal
