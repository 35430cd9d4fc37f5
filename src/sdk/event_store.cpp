#include "sdk/event_store.h"

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "host/clock.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/platform.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "util/format.h"

namespace plovendale::internal {
namespace {

using nlohmann::json;

static_assert(kEventOutboxMaxStoredBytes < 48 * 1024 * 1024,
              "a full outbox must stay readable by the built-in store (48 MiB a value)");

// Stored times outside this range (milliseconds) are not times this library wrote.
constexpr double kLatestTimeMs = 1e14;

std::atomic<std::uint64_t> generationNow{1};

// The stored value this process read or wrote last, and its events: a launch that sends a
// thousand batches parses the outbox once, not a thousand times. Used only where the value it
// was made from is compared with the stored one first.
struct Known {
    std::mutex mutex;
    std::optional<std::string> text;
    std::vector<StoredEvent> events;
};

Known& known() {
    static Known instance;
    return instance;
}

struct Reading {
    std::vector<StoredEvent> events;
    std::size_t malformed = 0;
    std::size_t tooOld = 0;
    std::size_t tooMany = 0;
    bool pruned() const { return malformed + tooOld + tooMany > 0; }
};

std::optional<StoredEvent> eventOf(const json& item) {
    if (!item.is_object()) return std::nullopt;
    const auto id = item.find("id");
    const auto name = item.find("name");
    const auto ts = item.find("ts");
    const auto params = item.find("params");
    if (id == item.end() || !id->is_string() || name == item.end() || !name->is_string() ||
        ts == item.end() || !ts->is_number_integer() || params == item.end() ||
        !params->is_object())
        return std::nullopt;
    const double at = ts->get<double>();
    if (at < 0 || at > kLatestTimeMs) return std::nullopt;
    return StoredEvent{id->get<std::string>(), ts->get<long long>(),
                       item.dump(-1, ' ', false, json::error_handler_t::replace)};
}

std::vector<StoredEvent> parse(const std::string& text, std::size_t* malformed) {
    std::vector<StoredEvent> events;
    const auto stored = text.size() > kEventOutboxMaxStoredBytes
                            ? json(nullptr)
                            : json::parse(text, nullptr, false);
    if (!stored.is_array()) {
        *malformed = 1;
        return events;
    }
    events.reserve(stored.size());
    for (const auto& item : stored) {
        if (auto event = eventOf(item)) {
            events.push_back(std::move(*event));
        } else {
            ++*malformed;
        }
    }
    return events;
}

// Called under the store's lock (and Known's): computes only.
Reading read(const std::optional<std::string>& current, long long atMs) {
    Reading reading;
    if (!current) return reading;
    auto& k = known();
    if (k.text == current) {
        reading.events = std::move(k.events);
    } else {
        reading.events = parse(*current, &reading.malformed);
    }
    k.text.reset();
    const long long oldest = atMs - static_cast<long long>(kEventOutboxMaxAgeSeconds * 1000);
    reading.tooOld =
        std::erase_if(reading.events, [&](const StoredEvent& e) { return e.ts < oldest; });
    return reading;
}

// Keeps the newest events within the count bound.
void trim(Reading& reading) {
    reading.tooMany += dropOldestBeyond(reading.events, kEventOutboxMaxEvents);
}

std::optional<std::string> serialize(const std::vector<StoredEvent>& events) {
    if (events.empty()) return std::nullopt;
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

// Said once per reading, after the store's write (never under its lock).
void tellPruned(const Reading& reading) {
    if (!reading.pruned()) return;
    Log::write(fillTemplate(
        "[Plovendale] Dropped %@ undelivered events (unreadable, older than 30 days or beyond "
        "10000).",
        {std::to_string(reading.malformed + reading.tooOld + reading.tooMany)}));
    if (reading.malformed) tellEventsDropped("malformed", reading.malformed);
    if (reading.tooOld) tellEventsDropped("too old", reading.tooOld);
    if (reading.tooMany) tellEventsDropped("too many", reading.tooMany);
}

long long nowSeconds() {
    return static_cast<long long>(Date::timeIntervalSince1970());
}

}  // namespace

std::uint64_t eventGeneration() {
    return generationNow.load();
}

void advanceEventGeneration() {
    ++generationNow;
    std::lock_guard lock(known().mutex);
    known().text.reset();
    known().events.clear();
}

bool editStoredEvents(std::uint64_t generation,
                      const std::function<bool(std::vector<StoredEvent>&)>& edit,
                      std::size_t* count, const std::map<std::string, std::string>& alsoSet) {
    Reading reading;
    // The clock may be the host's: never asked under the store's lock.
    const long long atMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    const bool stored = Platform::keyValueStore()->update(
        kEventOutboxKey,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            if (generation != generationNow.load()) return current;
            std::lock_guard lock(known().mutex);
            reading = read(current, atMs);
            const bool edited = edit(reading.events);
            trim(reading);
            auto next = edited || reading.pruned() ? serialize(reading.events) : current;
            // What the store holds once this write took; a write that fails leaves a text that
            // no longer matches, which is then parsed again.
            known().text = next;
            known().events = std::move(reading.events);
            return next;
        },
        alsoSet);
    if (!stored) {
        emitEvent("store.failed", {{"what", "event outbox"}});
        return false;
    }
    tellPruned(reading);
    if (count) {
        std::lock_guard lock(known().mutex);
        *count = known().events.size();
    }
    return true;
}

bool visitKnownEvents(const std::function<bool(const StoredEvent&)>& visit) {
    std::lock_guard lock(known().mutex);
    if (!known().text) return false;
    for (const auto& event : known().events) {
        if (!visit(event)) break;
    }
    return true;
}

std::map<std::string, std::string> sendingLeaseValue() {
    return {{kEventSenderKey, json{{"by", launchToken()}, {"at", nowSeconds()}}.dump()}};
}

bool takeSendingLease(std::uint64_t generation) {
    const long long at = nowSeconds();
    const std::string mine = json{{"by", launchToken()}, {"at", at}}.dump();
    bool taken = false;
    const bool stored = Platform::keyValueStore()->update(
        kEventSenderKey,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            if (generation != generationNow.load()) return current;
            const auto lease = current ? json::parse(*current, nullptr, false) : json();
            if (lease.is_object() && lease.contains("by") && lease["by"].is_string() &&
                lease.contains("at") && lease["at"].is_number_integer() &&
                claimHeldElsewhere(lease["by"].get<std::string>(), lease["at"].get<long long>(),
                                   at))
                return current;
            taken = true;
            return mine;
        },
        {});
    if (!stored) emitEvent("store.failed", {{"what", "event outbox"}});
    return stored && taken;
}

void tellEventsDropped(const char* reason, std::size_t count, const std::string& status) {
    std::map<std::string, std::string> values{{"reason", reason}, {"count", std::to_string(count)}};
    if (!status.empty()) values["status"] = status;
    emitEvent("event.dropped", std::move(values));
}

}  // namespace plovendale::internal
