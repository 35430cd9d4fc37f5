#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sdk/outbox.h"

namespace plovendale::internal {

/// The outbox's entries are kept in chunks, each a JSON array of at most kChunkMaxEntries entries
/// (see OutboxEntry), under its own key; the index key lists the chunk keys, oldest first. A write
/// touches the last chunk and, when a new chunk is made, the index: its cost follows the entries
/// written, not the entries stored. A chunk key exists only while the index names it: it is made
/// in the same store write as its index entry and removed before that entry. The keys keep the
/// names they had when the chunks held only events, so stored events need no move.
inline constexpr const char* kOutboxIndexKey = "com.plovendale.event_chunks";
/// Chunk keys start so, followed by the launch that made the chunk and a count.
inline constexpr const char* kOutboxChunkKeyPrefix = "com.plovendale.event_chunk.";
/// Which launch sends: {"by": <launch>, "at": <seconds>}. One launch at a time, so two launches
/// never send the same entry at once.
inline constexpr const char* kOutboxSenderKey = "com.plovendale.event_sender";
/// Where earlier versions kept every event as one JSON array; read once and moved into chunks.
inline constexpr const char* kLegacyEventOutboxKey = "com.plovendale.event_outbox";
/// Where earlier versions kept the state reports, as one JSON array of {"body", "queuedAt":
/// seconds, "attempts", "id"?, "claimedBy"?, "claimedAt"?}; read once and moved into chunks.
inline constexpr const char* kLegacyReportOutboxKey = "com.plovendale.report_outbox";
/// A chunk of the largest entries stays below 1 MiB.
inline constexpr std::size_t kChunkMaxEntries = 200;
/// An earlier version's event outbox of the largest events: a longer stored value is not one this
/// library wrote, and is not read.
inline constexpr std::size_t kLegacyEventOutboxMaxBytes =
    kOutboxMaxEvents * (kMaxEventBytes + 1) + 2;
/// An earlier version's report outbox: a hundred reports take a few kilobytes.
inline constexpr std::size_t kLegacyReportOutboxMaxBytes = 256 * 1024;

/// Advanced by a forget: an edit made for an older generation changes nothing.
std::uint64_t outboxGeneration();
/// A new generation; what this process remembers of the outbox is dropped.
void advanceOutboxGeneration();

/// Reads the outbox as the store holds it now (another launch may have written it), moves the
/// earlier layouts into it, and drops entries past the bounds (one log line per kind); nothing when
/// `generation` is no longer current.
void refreshOutbox(std::uint64_t generation);
/// Whether another launch may have changed the outbox since this process last read or wrote it
/// (the index or its last chunk differ): a cheap look, without the store's write lock.
bool outboxChangedElsewhere();

/// What writeOutbox did, and what it dropped past the bounds, not yet told (tellEventsPruned): a
/// burst's writes tell them once.
struct OutboxWrite {
    bool stored = true;        // every store write took
    std::size_t unstored = 0;  // entries of the group that could not be stored
    std::size_t count = 0;     // events stored now
    std::size_t malformed = 0;
    std::size_t tooOld = 0;
    std::size_t tooMany = 0;
    std::size_t reportsTooOld = 0;
    std::size_t reportsTooMany = 0;
    std::size_t reportsMalformed = 0;  // in an earlier layout's outbox
};
/// What the sender asks of the stored entries once the service has answered them.
struct OutboxEdits {
    std::set<std::string> remove;         // delivered, or refused for good
    std::map<std::string, int> attempts;  // reports to be tried again, with their failures
    bool empty() const { return remove.empty() && attempts.empty(); }
};
/// Applies `edits` and then appends `group`, writing `alsoSet` with the first store write, and
/// keeps the bounds. Only the chunks that change are written; nothing when `generation` is no
/// longer current. A store write that fails ends it (what was written before stays) with one
/// store.failed event. `droppedUnwritten` events the writer dropped beyond the bound before they
/// were written count with those dropped here. Edits alone need not wait for the disk unless
/// `durable`: one undone by a crash makes an entry go out once more.
OutboxWrite writeOutbox(std::uint64_t generation, std::vector<OutboxEntry> group,
                        const OutboxEdits& edits,
                        const std::map<std::string, std::string>& alsoSet = {},
                        std::size_t droppedUnwritten = 0, bool durable = true);

/// Hands `visit` the stored entries as this process last read or wrote them, oldest first, until
/// it answers false; false when this process has not read them yet.
bool visitKnownEntries(const std::function<bool(const OutboxEntry&)>& visit);

/// The writer took `count` events from its queue to write them for `generation`: they count as
/// queued until writeOutbox has stored them or given them up. Computes only.
void noteEventsTaken(std::uint64_t generation, std::size_t count);
/// Entries of `kind` stored (as this process last read or wrote them), with the events the writer
/// is writing now. Computes only: it may be called under the writer's lock.
std::size_t knownCount(OutboxKind kind);
/// Whether this process has read the outbox.
bool outboxKnown();

/// Takes (or renews) the sending lease for this launch: answers false while another launch that
/// is alive renewed it within the lease.
bool takeSendingLease(std::uint64_t generation);
/// The lease's value for this launch now (or, with `release`, one that holds no launch), for a
/// write's alsoSet.
std::map<std::string, std::string> sendingLeaseValue(bool release = false);

/// One log line per kind for what `dropped` dropped past the bounds, and event.dropped and
/// report.dropped per reason.
void tellEventsPruned(const OutboxWrite& dropped);
/// One log line and event.dropped for `count` events.
void tellEventsDropped(const char* reason, std::size_t count, const std::string& status = "");

}  // namespace plovendale::internal
