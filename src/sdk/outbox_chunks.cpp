#include "sdk/outbox_chunks.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string_view>

#include "plovendale/platform/platform.h"
#include "sdk/client_id.h"
#include "util/json_serialization.h"

namespace plovendale::internal {
using namespace outbox_chunks;  // NOLINT(google-build-using-namespace)

namespace {

using nlohmann::json;

static_assert(kLegacyEventOutboxMaxBytes < 48 * 1024 * 1024,
              "an earlier version's full outbox must stay readable by the built-in store (48 MiB "
              "a value) to be moved into chunks");
static_assert(kChunkMaxEntries * (kMaxEntryBytes + 1) + 2 < 1024 * 1024,
              "a chunk of the largest entries stays below 1 MiB");

// Stored times outside this range (milliseconds) are not times this library wrote.
constexpr double kLatestTimeMs = 1e14;
constexpr int kMaxAttempts = 1000000;
// An index names a few dozen chunks, and never more chunks than events: 10,000 keys of under 100
// bytes each.
constexpr std::size_t kIndexMaxBytes = 1024 * 1024;

std::atomic<std::uint64_t> generationNow{1};

// A stored time (ms) this library could have written.
std::optional<long long> storedMs(const json& value) {
    if (!value.is_number_integer()) return std::nullopt;
    const double at = value.get<double>();
    if (at < 0 || at > kLatestTimeMs) return std::nullopt;
    return value.get<long long>();
}

std::optional<OutboxEntry> reportOf(const json& item) {
    const auto id = item.find("id");
    const auto body = item.find("body");
    const auto attempts = item.find("attempts");
    const auto ts = item.find("ts");
    if (id == item.end() || !id->is_string() || body == item.end() || !body->is_string() ||
        attempts == item.end() || !attempts->is_number_integer() || ts == item.end() ||
        !storedMs(*ts))
        return std::nullopt;
    auto entry = reportEntry(
        id->get<std::string>(), *storedMs(*ts), body->get<std::string>(),
        static_cast<int>(std::clamp<std::int64_t>(attempts->get<std::int64_t>(), 0, kMaxAttempts)));
    if (entry.text.size() > kMaxEntryBytes) return std::nullopt;
    return entry;
}

std::optional<OutboxEntry> entryOf(const json& item) {
    if (!item.is_object()) return std::nullopt;
    if (const auto kind = item.find("kind"); kind != item.end())
        return *kind == "report" ? reportOf(item) : std::nullopt;
    const auto id = item.find("id");
    const auto name = item.find("name");
    const auto ts = item.find("ts");
    const auto params = item.find("params");
    if (id == item.end() || !id->is_string() || name == item.end() || !name->is_string() ||
        ts == item.end() || !storedMs(*ts) || params == item.end() || !params->is_object())
        return std::nullopt;
    auto text = item.dump(-1, ' ', false, json::error_handler_t::replace);
    // trackEvent makes none larger: a larger one would never fit a batch and stop all sending.
    if (text.size() > kMaxEventBytes) return std::nullopt;
    return OutboxEntry{id->get<std::string>(), *storedMs(*ts), std::move(text)};
}

// The items of a stored array, each as its own text, for an array that does not parse whole (a
// bad byte, a cut-off end): each item then costs only itself. False when it is no array at all.
bool splitItems(std::string_view text, std::vector<std::string_view>& items) {
    const std::size_t open = text.find_first_not_of(" \t\r\n");
    if (open == std::string_view::npos || text[open] != '[') return false;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    std::size_t start = open + 1;
    const auto take = [&](std::size_t end) {
        const auto item = text.substr(start, end - start);
        if (item.find_first_not_of(" \t\r\n") != std::string_view::npos) items.push_back(item);
        start = end + 1;
    };
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (escaped) {
            escaped = false;
        } else if (inString) {
            escaped = c == '\\';
            inString = c != '"';
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (depth > 0 && (c == ']' || c == '}')) {
            --depth;
        } else if (depth == 0 && (c == ',' || c == ']')) {
            take(i);
            if (c == ']') return true;
        }
    }
    take(text.size());  // cut off: its last item is incomplete
    return true;
}

}  // namespace

namespace outbox_chunks {

Known& known() {
    static Known instance;
    return instance;
}

std::vector<OutboxEntry> parse(const std::string& text, std::size_t* malformed) {
    std::vector<OutboxEntry> events;
    const auto stored =
        text.size() > kLegacyEventOutboxMaxBytes ? json(nullptr) : parseJSONText(text);
    const auto add = [&](const json& item) {
        if (auto event = entryOf(item)) {
            events.push_back(std::move(*event));
        } else {
            ++*malformed;
        }
    };
    if (stored.is_array()) {
        events.reserve(stored.size());
        for (const auto& item : stored) add(item);
        return events;
    }
    std::vector<std::string_view> items;
    if (text.size() > kLegacyEventOutboxMaxBytes || !splitItems(text, items)) {
        *malformed = 1;
        return events;
    }
    for (const auto item : items) add(parseJSONText(std::string(item)));
    return events;
}

std::vector<OutboxEntry> parseLegacyReports(const std::string& text, std::size_t* malformed) {
    std::vector<OutboxEntry> reports;
    const auto stored =
        text.size() > kLegacyReportOutboxMaxBytes ? json(nullptr) : parseJSONText(text);
    if (!stored.is_array()) {
        *malformed = 1;
        return reports;
    }
    for (const auto& item : stored) {
        const auto body = item.is_object() ? item.find("body") : item.end();
        const auto queuedAt = item.is_object() ? item.find("queuedAt") : item.end();
        const double seconds =
            queuedAt != item.end() && queuedAt->is_number() ? queuedAt->get<double>() : -1;
        if (body == item.end() || !body->is_string() ||
            !(seconds >= 0 && seconds * 1000 <= kLatestTimeMs)) {
            ++*malformed;
            continue;
        }
        const auto id = item.find("id");
        const auto attempts = item.find("attempts");
        auto entry = reportEntry(
            id != item.end() && id->is_string() && !id->get_ref<const std::string&>().empty()
                ? id->get<std::string>()
                : makeClientId(),
            static_cast<long long>(seconds) * 1000, body->get<std::string>(),
            attempts != item.end() && attempts->is_number_integer()
                ? static_cast<int>(
                      std::clamp<std::int64_t>(attempts->get<std::int64_t>(), 0, kMaxAttempts))
                : 0);
        if (entry.text.size() > kMaxEntryBytes) {
            ++*malformed;
            continue;
        }
        reports.push_back(std::move(entry));
    }
    return reports;
}

std::string serialize(const std::vector<OutboxEntry>& events) {
    std::size_t size = 2;
    for (const auto& event : events) size += event.text.size() + 1;
    std::string text;
    text.reserve(size);
    text += '[';
    for (const auto& event : events) {
        if (text.size() > 1) text += ',';
        text += event.text;
    }
    text += ']';
    return text;
}

std::vector<std::string> parseIndex(const std::optional<std::string>& text, bool* bad) {
    std::vector<std::string> keys;
    if (!text) return keys;
    const auto stored = text->size() > kIndexMaxBytes ? json(nullptr) : parseJSONText(*text);
    if (!stored.is_array()) {
        *bad = true;
        return keys;
    }
    for (const auto& item : stored) {
        // Only chunk keys: a damaged index must not make a forget or a pruning touch other values.
        if (item.is_string() &&
            item.get_ref<const std::string&>().starts_with(kOutboxChunkKeyPrefix) &&
            std::find(keys.begin(), keys.end(), item.get<std::string>()) == keys.end()) {
            keys.push_back(item.get<std::string>());
        } else {
            *bad = true;
        }
    }
    return keys;
}

std::optional<std::string> indexText(const std::vector<std::string>& keys) {
    if (keys.empty()) return std::nullopt;
    return json(keys).dump();
}

void noteIndex(std::vector<std::string> keys) {
    auto& k = known();
    std::lock_guard lock(k.mutex);
    std::erase_if(k.chunks, [&](const auto& entry) {
        return std::find(keys.begin(), keys.end(), entry.first) == keys.end();
    });
    k.keys = std::move(keys);
}

Chunk chunkOf(const std::string& key, const std::string& text) {
    {
        std::lock_guard lock(known().mutex);
        const auto found = known().chunks.find(key);
        if (found != known().chunks.end() && found->second.text == text) return found->second;
    }
    Chunk chunk;
    chunk.text = text;
    chunk.events = parse(text, &chunk.malformed);
    return chunk;
}

void noteChunk(const std::string& key, std::optional<Chunk> chunk, std::size_t stored) {
    auto& k = known();
    std::lock_guard lock(k.mutex);
    k.unwritten -= std::min(stored, k.unwritten);
    if (!chunk) {
        k.chunks.erase(key);
    } else if (std::find(k.keys.begin(), k.keys.end(), key) != k.keys.end()) {
        k.chunks[key] = std::move(*chunk);
    }
}

}  // namespace outbox_chunks

std::uint64_t outboxGeneration() {
    return generationNow.load();
}

void advanceOutboxGeneration() {
    std::lock_guard lock(known().mutex);
    ++generationNow;
    known().loaded = false;
    known().keys.clear();
    known().chunks.clear();
    known().unwritten = 0;
}

bool visitKnownEntries(const std::function<bool(const OutboxEntry&)>& visit) {
    std::lock_guard lock(known().mutex);
    if (!known().loaded) return false;
    for (const auto& key : known().keys) {
        const auto found = known().chunks.find(key);
        if (found == known().chunks.end()) continue;
        for (const auto& event : found->second.events) {
            if (!visit(event)) return true;
        }
    }
    return true;
}

void noteEventsTaken(std::uint64_t generation, std::size_t count) {
    std::lock_guard lock(known().mutex);
    if (generation == generationNow.load()) known().unwritten += count;
}

std::size_t knownCount(OutboxKind kind) {
    std::lock_guard lock(known().mutex);
    std::size_t count = kind == OutboxKind::Event ? known().unwritten : 0;
    for (const auto& [key, chunk] : known().chunks)
        count += static_cast<std::size_t>(
            std::count_if(chunk.events.begin(), chunk.events.end(),
                          [kind](const OutboxEntry& entry) { return entry.kind == kind; }));
    return count;
}

bool outboxKnown() {
    std::lock_guard lock(known().mutex);
    return known().loaded;
}

bool outboxChangedElsewhere() {
    try {
        std::string last;
        std::string lastText;
        std::vector<std::string> keys;
        {
            std::lock_guard lock(known().mutex);
            if (!known().loaded) return true;
            keys = known().keys;
            if (!keys.empty()) {
                last = keys.back();
                const auto found = known().chunks.find(last);
                if (found != known().chunks.end()) lastText = found->second.text;
            }
        }
        bool bad = false;
        if (parseIndex(Platform::keyValueStore()->currentStringForKey(kOutboxIndexKey), &bad) !=
                keys ||
            bad)
            return true;
        return !last.empty() &&
               Platform::keyValueStore()->currentStringForKey(last).value_or("") != lastText;
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace plovendale::internal
