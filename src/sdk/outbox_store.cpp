#include "sdk/outbox_store.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "host/clock.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/platform.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/outbox_chunks.h"
#include "util/format.h"
#include "util/json_serialization.h"

namespace plovendale::internal {
using namespace outbox_chunks;  // NOLINT(google-build-using-namespace)

namespace {

using nlohmann::json;

std::atomic<std::uint64_t> chunksMade{0};

using Dropped = OutboxWrite;

std::size_t eventsIn(const std::vector<OutboxEntry>& entries) {
    return static_cast<std::size_t>(std::count_if(
        entries.begin(), entries.end(), [](auto& e) { return e.kind == OutboxKind::Event; }));
}

// Thrown inside a store update made for an installation forgotten meanwhile: the update then
// stores nothing, the chunks it would have made included.
struct Forgotten : std::exception {
    const char* what() const noexcept override { return "the stored events were forgotten"; }
};

std::shared_ptr<KeyValueStore> store() {
    return Platform::keyValueStore();
}

// Reads the index as the store holds it now; a damaged one is rewritten with the chunk keys it
// still names.
bool readIndex(std::uint64_t generation, Dropped& dropped) {
    return store()->update(
        kOutboxIndexKey,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            if (generation != outboxGeneration()) return current;
            bool bad = false;
            auto keys = parseIndex(current, &bad);
            dropped.malformed += bad ? 1 : 0;
            auto next = bad ? indexText(keys) : current;
            noteIndex(std::move(keys));
            return next;
        },
        {});
}

// The last chunk is kept when it is left empty: the next write appends to it, without a write of
// the index either time.
bool isLastChunk(const std::string& key) {
    std::lock_guard lock(known().mutex);
    return !known().keys.empty() && known().keys.back() == key;
}

// Rewrites (or removes) the chunk under `key` with what `edit` makes of its events, and
// `alsoSet` with it; `gone` says whether the chunk is gone now. `edit` answers whether it changed
// anything; it runs under the store's lock. Events the chunk held that are not readable are
// dropped with any rewrite.
bool editChunk(std::uint64_t generation, const std::string& key,
               const std::function<bool(std::vector<OutboxEntry>&)>& edit,
               std::map<std::string, std::string>& alsoSet, Dropped& dropped, bool* gone,
               std::size_t stored = 0, bool sync = true) {
    *gone = false;
    const KeyValueStore::Change change =
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
        if (generation != outboxGeneration()) return current;
        if (!current) {
            *gone = true;
            noteChunk(key, std::nullopt);
            return current;
        }
        Chunk chunk = chunkOf(key, *current);
        // An empty chunk left behind once a newer one was made goes too.
        const bool edited = edit(chunk.events);
        if (!edited && chunk.malformed == 0 && !(chunk.events.empty() && !isLastChunk(key))) {
            noteChunk(key, std::move(chunk));
            return current;
        }
        dropped.malformed += chunk.malformed;
        if (chunk.events.empty() && !isLastChunk(key)) {
            *gone = true;
            noteChunk(key, std::nullopt, stored);
            return std::nullopt;
        }
        chunk.malformed = 0;
        chunk.text = serialize(chunk.events);
        std::string text = chunk.text;
        noteChunk(key, std::move(chunk), stored);
        return text;
    };
    // A pruning that a crash undoes is done again by the next write: it need not wait for the disk.
    const bool written = sync || !alsoSet.empty() ? store()->update(key, change, alsoSet)
                                                  : store()->updateWithoutSync(key, change);
    if (written) alsoSet.clear();
    return written;
}

// Takes chunk keys that are gone out of the index (a chunk goes before its index entry).
bool dropFromIndex(std::uint64_t generation, const std::vector<std::string>& gone,
                   bool sync = true) {
    if (gone.empty()) return true;
    const KeyValueStore::Change change =
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
        if (generation != outboxGeneration()) return current;
        bool bad = false;
        auto keys = parseIndex(current, &bad);
        std::erase_if(keys, [&](const std::string& key) {
            return std::find(gone.begin(), gone.end(), key) != gone.end();
        });
        auto next = indexText(keys);
        noteIndex(std::move(keys));
        return next;
    };
    return sync ? store()->update(kOutboxIndexKey, change, {})
                : store()->updateWithoutSync(kOutboxIndexKey, change);
}

// Stores `events` in new chunks, named in the index in the same store write (with `alsoSet`).
// `moved` empty: they are the writer's, counted as unwritten until now. Otherwise they are an
// earlier version's outbox, older than any event this version stored: they go first, under keys
// that start with `moved` (named after that outbox's text), and not at all when the index names
// one already (a launch killed before it removed the outbox had moved it).
bool addChunks(std::uint64_t generation, std::vector<OutboxEntry>& events,
               std::map<std::string, std::string>& alsoSet, const std::string& moved = "") {
    if (events.empty()) return true;
    std::vector<std::pair<std::string, Chunk>> made;
    auto values = alsoSet;
    for (std::size_t at = 0; at < events.size(); at += kChunkMaxEntries) {
        const auto end = std::min(events.size(), at + kChunkMaxEntries);
        Chunk chunk;
        chunk.events.assign(std::make_move_iterator(events.begin() + static_cast<long>(at)),
                            std::make_move_iterator(events.begin() + static_cast<long>(end)));
        chunk.text = serialize(chunk.events);
        std::string key = moved.empty() ? kOutboxChunkKeyPrefix + launchToken() + "." +
                                              std::to_string(++chunksMade)
                                        : moved + std::to_string(made.size());
        values[key] = chunk.text;
        made.emplace_back(std::move(key), std::move(chunk));
    }
    bool movedBefore = false;
    bool written = false;
    try {
        written = store()->update(
            kOutboxIndexKey,
            [&](const std::optional<std::string>& current) -> std::optional<std::string> {
                if (generation != outboxGeneration()) throw Forgotten();
                bool bad = false;
                auto keys = parseIndex(current, &bad);
                movedBefore = !moved.empty() && std::any_of(keys.begin(), keys.end(), [&](auto& k) {
                    return k.starts_with(moved);
                });
                // Thrown so that the chunks are not written again over what became of them.
                if (movedBefore) throw Forgotten();
                auto at = moved.empty() ? keys.end() : keys.begin();
                for (const auto& entry : made) at = std::next(keys.insert(at, entry.first));
                auto next = indexText(keys);
                noteIndex(std::move(keys));
                for (auto& [key, chunk] : made) {
                    const std::size_t count = moved.empty() ? eventsIn(chunk.events) : 0;
                    noteChunk(key, std::move(chunk), count);
                }
                return next;
            },
            values);
    } catch (const Forgotten&) {
        // A host's store that lets it through stored nothing either.
    }
    if (movedBefore) return true;
    if (written) {
        events.clear();
        alsoSet.clear();
    }
    return written;
}

// Appends `events` to the last chunk when they all fit there, taking them out of `events`; those
// that do not fit go to a new chunk instead (one store write either way, so a group is durable
// sooner; a chunk that takes no more holds over 100 events).
bool appendToLast(std::uint64_t generation, std::vector<OutboxEntry>& events,
                  std::map<std::string, std::string>& alsoSet, Dropped& dropped) {
    if (events.empty() || events.size() >= kChunkMaxEntries / 2) return true;
    std::string last;
    {
        std::lock_guard lock(known().mutex);
        if (known().keys.empty()) return true;
        last = known().keys.back();
        const auto found = known().chunks.find(last);
        if (found == known().chunks.end() ||
            found->second.events.size() + events.size() > kChunkMaxEntries)
            return true;
    }
    // Whether they fit is known only inside the update, from the chunk as the store holds it.
    std::size_t taken = 0;
    const bool written = store()->update(
        last,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            if (generation != outboxGeneration() || !current) return current;
            Chunk chunk = chunkOf(last, *current);
            if (chunk.events.size() + events.size() > kChunkMaxEntries) {
                noteChunk(last, std::move(chunk));
                return current;
            }
            taken = events.size();
            dropped.malformed += chunk.malformed;
            chunk.malformed = 0;
            chunk.events.insert(chunk.events.end(), events.begin(),
                                events.begin() + static_cast<long>(taken));
            chunk.text = serialize(chunk.events);
            std::string text = chunk.text;
            noteChunk(last, std::move(chunk), eventsIn(events));
            return text;
        },
        alsoSet);
    if (!written) return false;
    alsoSet.clear();
    events.erase(events.begin(), events.begin() + static_cast<long>(taken));
    return true;
}

// The bounds of one kind of entry: how many are kept, and from when.
struct Bound {
    OutboxKind kind;
    std::size_t most;
    long long oldestMs;
};

// Drops the stored entries past the bounds: of each kind the oldest beyond its count and those
// older than its age, and unreadable ones. Rewrites only the chunks that hold them.
bool prune(std::uint64_t generation, Dropped& dropped) {
    const long long atMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    const Bound bounds[] = {{OutboxKind::Event, kOutboxMaxEvents,
                             atMs - static_cast<long long>(kOutboxMaxEventAgeSeconds * 1000)},
                            {OutboxKind::Report, kOutboxMaxReports,
                             atMs - static_cast<long long>(kOutboxMaxReportAgeSeconds * 1000)}};
    const auto tooOld = [&](const OutboxEntry& e) {
        return e.ts < bounds[e.kind == OutboxKind::Event ? 0 : 1].oldestMs;
    };
    // Each round empties or trims one chunk: the chunks there are at the start bound the rounds
    // (not those left, a list that shrinks as they go).
    std::size_t roundsLeft = 0;
    {
        std::lock_guard lock(known().mutex);
        roundsLeft = known().keys.size() + 1;
    }
    for (;;) {
        std::string target;
        std::size_t excess[2] = {0, 0};
        {
            std::lock_guard lock(known().mutex);
            auto& k = known();
            if (roundsLeft-- == 0) return true;
            // Those too old go anyway: the count bound is over the others.
            std::size_t total[2] = {0, 0};
            for (const auto& [key, chunk] : k.chunks) {
                for (const auto& e : chunk.events)
                    total[e.kind == OutboxKind::Event ? 0 : 1] += tooOld(e) ? 0 : 1;
            }
            for (int i = 0; i < 2; ++i)
                excess[i] = total[i] > bounds[i].most ? total[i] - bounds[i].most : 0;
            for (const auto& key : k.keys) {
                const auto found = k.chunks.find(key);
                if (found == k.chunks.end()) continue;
                const auto& events = found->second.events;
                const auto holds = [&](OutboxKind kind) {
                    return std::any_of(events.begin(), events.end(),
                                       [&](const OutboxEntry& e) { return e.kind == kind; });
                };
                if ((events.empty() && key != k.keys.back()) ||
                    (excess[0] > 0 && holds(OutboxKind::Event)) ||
                    (excess[1] > 0 && holds(OutboxKind::Report)) || found->second.malformed > 0 ||
                    std::any_of(events.begin(), events.end(), tooOld)) {
                    target = key;
                    break;
                }
            }
        }
        if (target.empty()) return true;
        bool gone = false;
        std::map<std::string, std::string> none;
        const bool written = editChunk(
            generation, target,
            [&](std::vector<OutboxEntry>& events) {
                std::size_t changed = 0;
                std::size_t left[2] = {excess[0], excess[1]};
                std::erase_if(events, [&](const OutboxEntry& e) {
                    const bool event = e.kind == OutboxKind::Event;
                    if (tooOld(e)) {
                        ++(event ? dropped.tooOld : dropped.reportsTooOld);
                    } else if (left[event ? 0 : 1] > 0) {
                        --left[event ? 0 : 1];
                        ++(event ? dropped.tooMany : dropped.reportsTooMany);
                    } else {
                        return false;
                    }
                    ++changed;
                    return true;
                });
                return changed > 0;
            },
            none, dropped, &gone, 0, false);
        if (!written || (gone && !dropFromIndex(generation, {target}, false))) return false;
        if (generation != outboxGeneration()) return true;
    }
}

bool moveOutbox(std::uint64_t generation, Dropped& dropped);

// Moves an earlier version's outbox into chunks, then removes it unless it changed meanwhile (it
// is moved again then: an event stored twice is counted once by the service).
bool migrate(std::uint64_t generation, Dropped& dropped, bool* moving) {
    // Two threads of this launch reading the store for the first time move it once.
    static std::atomic<bool> claimed{false};
    if (claimed.exchange(true)) {
        *moving = true;
        return true;
    }
    const bool moved = moveOutbox(generation, dropped);
    claimed = false;
    return moved;
}

// Moves one earlier layout's outbox (under `key`) into chunks, ahead of what is there.
bool moveLegacy(std::uint64_t generation, const char* key, Dropped& dropped) {
    // A look first: launches after the move find nothing, without the store's write lock.
    const auto old = store()->currentStringForKey(key);
    // The launch that sends moves them: two launches never move them both.
    if (!old || !takeSendingLease(generation)) return true;
    const bool reports = std::string_view(key) == kLegacyReportOutboxKey;
    std::size_t malformed = 0;
    auto entries = reports ? parseLegacyReports(*old, &malformed) : parse(*old, &malformed);
    (reports ? dropped.reportsMalformed : dropped.malformed) += malformed;
    std::map<std::string, std::string> none;
    const std::string moved = std::string(kOutboxChunkKeyPrefix) +
                              (reports ? "moved.r" : "moved.") +
                              std::to_string(std::hash<std::string>{}(*old)) + ".";
    if (!addChunks(generation, entries, none, moved)) return false;
    return store()->update(
        key,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            return current == old ? std::nullopt : current;
        },
        {});
}

bool moveOutbox(std::uint64_t generation, Dropped& dropped) {
    return moveLegacy(generation, kLegacyEventOutboxKey, dropped) &&
           moveLegacy(generation, kLegacyReportOutboxKey, dropped);
}

bool refresh(std::uint64_t generation, Dropped& dropped) {
    if (!readIndex(generation, dropped)) return false;
    std::vector<std::string> keys;
    {
        std::lock_guard lock(known().mutex);
        keys = known().keys;
    }
    std::vector<std::string> gone;
    for (const auto& key : keys) {
        bool isGone = false;
        std::map<std::string, std::string> none;
        if (!editChunk(
                generation, key, [](auto&) { return false; }, none, dropped, &isGone))
            return false;
        if (isGone) gone.push_back(key);  // a launch killed between removing it and its entry
    }
    bool moving = false;  // by another thread: it says when the events are known
    if (!dropFromIndex(generation, gone) || !migrate(generation, dropped, &moving)) return false;
    if (!prune(generation, dropped)) return false;
    std::lock_guard lock(known().mutex);
    if (generation == outboxGeneration() && !moving) known().loaded = true;
    return true;
}

}  // namespace

void refreshOutbox(std::uint64_t generation) {
    Dropped dropped;
    const bool read = refresh(generation, dropped);
    if (!read && generation == outboxGeneration()) emitEvent("store.failed", {{"what", "outbox"}});
    tellEventsPruned(dropped);
}

OutboxWrite writeOutbox(std::uint64_t generation, std::vector<OutboxEntry> group,
                        const OutboxEdits& edits, const std::map<std::string, std::string>& alsoSet,
                        std::size_t droppedUnwritten, bool durable) {
    Dropped dropped;
    dropped.tooMany = droppedUnwritten;
    auto also = alsoSet;
    bool stored = outboxKnown() || refresh(generation, dropped);
    const auto touched = [&](const OutboxEntry& e) {
        return edits.remove.count(e.id) != 0 || edits.attempts.count(e.id) != 0;
    };
    // Answered entries leave their chunks; a chunk left empty goes, then its index entry.
    std::vector<std::string> chunks;
    if (stored && !edits.empty()) {
        std::lock_guard lock(known().mutex);
        for (const auto& key : known().keys) {
            const auto found = known().chunks.find(key);
            if (found != known().chunks.end() &&
                std::any_of(found->second.events.begin(), found->second.events.end(), touched))
                chunks.push_back(key);
        }
    }
    std::vector<std::string> gone;
    for (const auto& key : chunks) {
        bool isGone = false;
        stored = editChunk(
            generation, key,
            [&](std::vector<OutboxEntry>& entries) {
                bool changed = false;
                for (auto& e : entries) {
                    const auto tried = edits.attempts.find(e.id);
                    if (tried == edits.attempts.end() || e.kind != OutboxKind::Report) continue;
                    e = reportEntry(std::move(e.id), e.ts, std::move(e.body), tried->second);
                    changed = true;
                }
                return std::erase_if(entries,
                                     [&](const OutboxEntry& e) {
                                         return edits.remove.count(e.id) != 0;
                                     }) > 0 ||
                       changed;
            },
            also, dropped, &isGone, 0, durable || !group.empty());
        if (!stored) break;
        if (isGone) gone.push_back(key);
    }
    stored = stored && dropFromIndex(generation, gone, durable || !group.empty());
    stored = stored && appendToLast(generation, group, also, dropped) &&
             addChunks(generation, group, also);
    if (stored && !also.empty()) stored = store()->setStrings(also);
    stored = stored && prune(generation, dropped);
    {
        std::lock_guard lock(known().mutex);
        // What was not stored is given up.
        if (generation == outboxGeneration())
            known().unwritten -= std::min(eventsIn(group), known().unwritten);
        for (const auto& [key, chunk] : known().chunks) dropped.count += eventsIn(chunk.events);
    }
    if (!stored) {
        // A change that ran for a write the store then refused left this process's copy ahead of
        // the store: it is read again before it is used.
        std::lock_guard lock(known().mutex);
        known().loaded = false;
    }
    if (!stored && generation == outboxGeneration()) {
        emitEvent("store.failed", {{"what", "outbox"}});
        dropped.stored = false;
        dropped.unstored = group.size();
    }
    return dropped;
}

std::vector<std::string> outboxKeys() {
    std::vector<std::string> keys{kOutboxIndexKey, kLegacyEventOutboxKey, kLegacyReportOutboxKey,
                                  kOutboxSenderKey};
    std::optional<std::string> index;
    store()->update(kOutboxIndexKey,
                    [&](const std::optional<std::string>& current) {
                        index = current;
                        return current;
                    },
                    {});
    bool bad = false;
    for (auto& key : parseIndex(index, &bad)) keys.push_back(std::move(key));
    return keys;
}

}  // namespace plovendale::internal
