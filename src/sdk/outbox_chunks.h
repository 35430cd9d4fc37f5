#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sdk/outbox_store.h"

// The stored events' format (chunks and their index) and what this process last read or wrote of
// them; the store's writes (event_store.cpp) keep both in step with the store.
namespace plovendale::internal::outbox_chunks {

struct Chunk {
    std::string text;
    std::vector<OutboxEntry> events;
    std::size_t malformed = 0;
};

// What this process last read or wrote of the stored events: the index and the chunks' contents.
// Each is updated inside the store update that read or wrote it, so in the store's order: a
// launch that sends a thousand batches parses a chunk once, not a thousand times. The lock is
// taken under the store's lock, or alone; never the other way round.
struct Known {
    std::mutex mutex;
    bool loaded = false;
    std::vector<std::string> keys;
    std::map<std::string, Chunk> chunks;
    std::size_t unwritten = 0;  // taken by the writer, not yet stored or given up
};

Known& known();

/// The events of a stored chunk's text; `malformed` counts what is not an event as written.
std::vector<OutboxEntry> parse(const std::string& text, std::size_t* malformed);
/// The reports of an earlier version's report outbox; `malformed` counts what is not one.
std::vector<OutboxEntry> parseLegacyReports(const std::string& text, std::size_t* malformed);
/// A chunk's text: the events' wire texts as one JSON array.
std::string serialize(const std::vector<OutboxEntry>& events);
// The chunk keys an index names; `bad` when it holds anything else (it is then rewritten).
std::vector<std::string> parseIndex(const std::optional<std::string>& text, bool* bad);
/// The index's text, or nothing (the key is removed) when it names no chunk.
std::optional<std::string> indexText(const std::vector<std::string>& keys);

// Under the store's lock: the index as the store holds it now.
void noteIndex(std::vector<std::string> keys);
// Under the store's lock: the chunk `text` (the store's value under `key`), parsed again only
// when it is not the one this process knows.
Chunk chunkOf(const std::string& key, const std::string& text);
// Under the store's lock: what the store holds under `key` now (nothing: the chunk is gone).
// `stored` of the writer's events are in it since this process last knew it.
void noteChunk(const std::string& key, std::optional<Chunk> chunk, std::size_t stored = 0);

}  // namespace plovendale::internal::outbox_chunks
