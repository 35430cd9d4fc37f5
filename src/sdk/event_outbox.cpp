#include "sdk/event_outbox.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "host/identifiers.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/service_request.h"
#include "sdk/trace_state.h"
#include "util/format.h"
#include "util/string_utils.h"

namespace plovendale::internal {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

constexpr const char* kEventsUrl = "%@/api/trace/client/events/%@";
// The writer lets events gather this long before it writes them as one group: a burst of calls
// costs one store write, and an event is still durable well within 100 ms.
constexpr milliseconds kGroupWindow{40};
// Stored times outside this range (milliseconds) are not times this library wrote.
constexpr double kLatestTimeMs = 1e14;
// Room in a batch for {"ci":"<32 digits>","events":[]}.
constexpr std::size_t kBatchFrame = 64;
static_assert(kEventOutboxMaxStoredBytes < 48 * 1024 * 1024,
              "a full outbox must stay readable by the built-in store (48 MiB a value)");

// Advanced by a forget (and a new launch in tests): a write or a batch answer of an older one
// no longer touches the store.
std::atomic<std::uint64_t> currentGeneration{1};

long long nowSeconds() {
    return static_cast<long long>(Date::timeIntervalSince1970());
}

// ---- The stored outbox --------------------------------------------------------------------

struct Reading {
    std::vector<json> entries;
    std::size_t malformed = 0;
    std::size_t tooOld = 0;
    std::size_t tooMany = 0;
    bool pruned() const { return malformed + tooOld + tooMany > 0; }
};

bool wellFormed(const json& item) {
    if (!item.is_object()) return false;
    const auto id = item.find("id");
    const auto name = item.find("name");
    const auto ts = item.find("ts");
    const auto params = item.find("params");
    return id != item.end() && id->is_string() && name != item.end() && name->is_string() &&
           ts != item.end() && ts->is_number_integer() && ts->get<double>() >= 0 &&
           ts->get<double>() < kLatestTimeMs && params != item.end() && params->is_object();
}

Reading read(const std::optional<std::string>& text, long long atMs) {
    Reading reading;
    if (!text) return reading;
    const auto stored = text->size() > kEventOutboxMaxStoredBytes
                            ? json(nullptr)
                            : json::parse(*text, nullptr, false);
    if (!stored.is_array()) {
        reading.malformed = 1;
        return reading;
    }
    const long long oldest = atMs - static_cast<long long>(kEventOutboxMaxAgeSeconds * 1000);
    for (const auto& item : stored) {
        if (!wellFormed(item)) {
            ++reading.malformed;
        } else if (item["ts"].get<long long>() < oldest) {
            ++reading.tooOld;
        } else {
            reading.entries.push_back(item);
        }
    }
    return reading;
}

// Keeps the newest events within the count bound.
void trim(Reading& reading) {
    auto& entries = reading.entries;
    if (entries.size() <= kEventOutboxMaxEvents) return;
    const auto tooMany = entries.size() - kEventOutboxMaxEvents;
    reading.tooMany += tooMany;
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(tooMany));
}

std::optional<std::string> serialize(const std::vector<json>& entries) {
    if (entries.empty()) return std::nullopt;
    return json(entries).dump(-1, ' ', false, json::error_handler_t::replace);
}

void tellDropped(const char* reason, std::size_t count, const std::string& status = "") {
    std::map<std::string, std::string> values{{"reason", reason}, {"count", std::to_string(count)}};
    if (!status.empty()) values["status"] = status;
    emitEvent("event.dropped", std::move(values));
}

// Said once per reading, after the store's write (never under its lock).
void tellPruned(const Reading& reading) {
    if (!reading.pruned()) return;
    Log::write(fillTemplate(
        "[Plovendale] Dropped %@ undelivered events (unreadable, older than 30 days or beyond "
        "10000).",
        {std::to_string(reading.malformed + reading.tooOld + reading.tooMany)}));
    if (reading.malformed) tellDropped("malformed", reading.malformed);
    if (reading.tooOld) tellDropped("too old", reading.tooOld);
    if (reading.tooMany) tellDropped("too many", reading.tooMany);
}

// Reads the outbox as the store holds it now (another launch may have changed it), lets `edit`
// change it (answering whether it did) and writes the result, in one store update; nothing when
// `generation` is no longer current. `edit` runs under the store's lock: it only computes.
template <typename Edit>
bool editEvents(std::uint64_t generation, Edit edit, std::size_t* count = nullptr) {
    Reading reading;
    // The clock may be the host's: never asked under the store's lock.
    const long long atMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    const bool stored = Platform::keyValueStore()->update(
        kEventOutboxKey,
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
            if (generation != currentGeneration.load()) return current;
            reading = read(current, atMs);
            const bool edited = edit(reading.entries);
            trim(reading);
            if (!edited && !reading.pruned()) return current;
            return serialize(reading.entries);
        },
        {});
    if (!stored) {
        emitEvent("store.failed", {{"what", "event outbox"}});
        return false;
    }
    tellPruned(reading);
    if (count) *count = reading.entries.size();
    return true;
}

// ---- The writer ---------------------------------------------------------------------------

// Events wait here, in memory, until the writer thread has put them in the store: the host's
// call never waits for a disk sync.
struct Writer {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;  // a group is done
    std::vector<json> pending;
    bool writing = false;
    bool urgent = false;  // a flush waits: write without gathering more
    bool stopping = false;
    std::thread thread;

    ~Writer() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
    }
};

Writer& writer() {
    static Writer instance;
    return instance;
}

void writeGroup(std::vector<json> group, std::uint64_t generation) {
    std::size_t queued = 0;
    const std::size_t count = group.size();
    const bool stored = editEvents(
        generation,
        [&group](std::vector<json>& entries) {
            for (auto& event : group) entries.push_back(std::move(event));
            return true;
        },
        &queued);
    if (generation != currentGeneration.load()) return;  // forgotten while it was being written
    if (!stored) {
        Log::write(fillTemplate("[Plovendale] %@ events could not be stored and are dropped.",
                                {std::to_string(count)}));
        tellDropped("store failed", count);
        return;
    }
    emitEvent("event.queued",
              {{"count", std::to_string(count)}, {"queued", std::to_string(queued)}});
}

void runWriter() {
    auto& w = writer();
    std::unique_lock lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] { return w.stopping || !w.pending.empty(); });
        if (!w.urgent) w.wake.wait_for(lock, kGroupWindow, [&] { return w.stopping || w.urgent; });
        // At exit the library's other parts may be gone already: what is not written stays
        // unwritten (it is at most one group window old).
        if (w.stopping) return;
        w.urgent = false;
        std::vector<json> group;
        group.swap(w.pending);
        w.writing = true;
        const std::uint64_t generation = currentGeneration.load();
        lock.unlock();
        writeGroup(std::move(group), generation);
        sendQueuedEventsSoon();  // before `writing` clears, so a flush sees the send coming
        lock.lock();
        w.writing = false;
        w.written.notify_all();
    }
}

// ---- The sender ---------------------------------------------------------------------------

struct Sender {
    std::mutex mutex;
    bool sending = false;
    bool scheduled = false;
    bool retryPending = false;
    int failures = 0;
    // Whether this launch's install-trace query has ended (or the installation was answered
    // before): until then, events made in this launch are held so the service can credit them.
    bool traceSettled = false;
    std::set<std::string> held;
    std::deque<std::string> heldOrder;  // to keep `held` within the outbox's bound
    std::mt19937 random{std::random_device{}()};
};

Sender& sender() {
    static Sender instance;
    return instance;
}

std::set<std::string> heldIds() {
    std::lock_guard lock(sender().mutex);
    return sender().held;
}

// The event as it goes on the wire: the stored form without this library's claim.
json wireForm(const json& entry) {
    json event = entry;
    event.erase("claimedBy");
    event.erase("claimedAt");
    return event;
}

std::string claimOf(const json& entry, long long* at) {
    const auto by = entry.find("claimedBy");
    const auto when = entry.find("claimedAt");
    if (by == entry.end() || !by->is_string() || when == entry.end() || !when->is_number_integer())
        return "";
    *at = when->get<long long>();
    return by->get<std::string>();
}

// Claims the oldest events no launch is sending, within a batch's bounds; answers them.
std::vector<json> claimBatch(std::uint64_t generation, const std::set<std::string>& held) {
    std::vector<json> batch;
    const long long at = nowSeconds();
    editEvents(generation, [&](std::vector<json>& entries) {
        batch.clear();
        std::size_t bytes = kBatchFrame;
        for (auto& entry : entries) {
            if (batch.size() == kMaxBatchEvents) break;
            if (held.count(entry["id"].get<std::string>())) continue;
            long long claimedAt = 0;
            if (claimHeldElsewhere(claimOf(entry, &claimedAt), claimedAt, at)) continue;
            json event = wireForm(entry);
            const std::size_t size =
                event.dump(-1, ' ', false, json::error_handler_t::replace).size() + 1;
            if (bytes + size > kMaxBatchBytes) break;
            bytes += size;
            entry["claimedBy"] = launchToken();
            entry["claimedAt"] = at;
            batch.push_back(std::move(event));
        }
        return !batch.empty();
    });
    return batch;
}

void settleBatch(std::uint64_t generation, const std::set<std::string>& ids, bool remove) {
    editEvents(generation, [&](std::vector<json>& entries) {
        const auto before = entries.size();
        bool unclaimed = false;
        std::erase_if(entries, [&](json& entry) {
            if (!ids.count(entry["id"].get<std::string>())) return false;
            if (remove) return true;
            long long at = 0;
            if (claimOf(entry, &at) == launchToken()) {
                entry.erase("claimedBy");
                entry.erase("claimedAt");
                unclaimed = true;
            }
            return false;
        });
        return unclaimed || entries.size() != before;
    });
}

void scheduleRetry(std::uint64_t generation, milliseconds retryAfter) {
    milliseconds delay{};
    {
        std::lock_guard lock(sender().mutex);
        const double random = std::uniform_real_distribution<double>(0.0, 1.0)(sender().random);
        delay = outboxBackoff(++sender().failures, random, retryAfter);
        sender().retryPending = true;
    }
    const bool timed = MainQueue::shared().asyncAfter(delay, [generation] {
        {
            std::lock_guard lock(sender().mutex);
            if (generation != currentGeneration.load()) return;
            sender().retryPending = false;
        }
        sendQueuedEvents();
    });
    if (!timed) {
        std::lock_guard lock(sender().mutex);
        sender().retryPending = false;  // the next write, start-up or query sends them
    }
}

std::string countIn(const std::string& answer, const char* member) {
    const auto body = json::parse(answer, nullptr, false);
    if (!body.is_object() || !body.contains(member) || !body[member].is_number_integer()) return "";
    return std::to_string(body[member].get<long long>());
}

void finishBatch(std::uint64_t generation, const std::set<std::string>& ids, std::int64_t status,
                 const Error::Headers& headers, const std::string& answer) {
    {
        std::lock_guard lock(sender().mutex);
        // A forget came in between: these events belong to an installation that is gone.
        if (generation != currentGeneration.load()) return;
        sender().sending = false;
    }
    const std::string count = std::to_string(ids.size());
    switch (classifyReportStatus(status)) {
        case ReportVerdict::Delivered: {
            settleBatch(generation, ids, true);
            {
                std::lock_guard lock(sender().mutex);
                sender().failures = 0;
            }
            std::map<std::string, std::string> values{{"count", count}};
            for (const char* member : {"accepted", "duplicates"}) {
                if (auto n = countIn(answer, member); !n.empty()) values[member] = n;
            }
            emitEvent("event.delivered", std::move(values));
            sendQueuedEventsSoon();
            break;
        }
        case ReportVerdict::Drop:
            settleBatch(generation, ids, true);
            Log::write(fillTemplate("[Plovendale] The service refused %@ events (HTTP %@).",
                                    {count, std::to_string(status)}));
            tellDropped("rejected", ids.size(), std::to_string(status));
            sendQueuedEventsSoon();
            break;
        case ReportVerdict::Retry:
            settleBatch(generation, ids, false);
            // While tracking is disabled they wait in the store; enabling it sends them.
            if (!trackingDisabled())
                scheduleRetry(generation, retryAfterOf(headers).value_or(milliseconds(0)));
            break;
    }
}

bool startBatch(std::uint64_t generation, const std::string& appKey, std::vector<json> batch) {
    std::set<std::string> ids;
    for (const auto& event : batch) ids.insert(event["id"].get<std::string>());
    const json body = {{"ci", CoreHelper::getClientId()}, {"events", std::move(batch)}};
    const std::string text = body.dump(-1, ' ', false, json::error_handler_t::replace);
    auto request =
        makeServiceRequest(fillTemplate(kEventsUrl, {Plovendale::getDomainUrl(appKey), appKey}),
                           toBytes(text), REQUEST_TIMEOUT / 1000.0);
    if (!request) return false;
    emitEvent("event.sent",
              {{"count", std::to_string(ids.size())}, {"bytes", std::to_string(text.size())}});
    std::weak_ptr<STHTTPRequest> weakRequest = request;
    request->setCompletionDataBlock([generation, ids, weakRequest](const STHTTPHeaders& headers,
                                                                   const Bytes& data) {
        auto self = weakRequest.lock();
        finishBatch(generation, ids, self ? self->responseStatus() : 0, headers, toString(data));
    });
    request->setErrorBlock([generation, ids](const Error& error) {
        Error::Headers headers;
        if (auto it = error.userInfo.find("headers"); it != error.userInfo.end()) {
            if (const auto* found = std::get_if<Error::Headers>(&it->second)) headers = *found;
        }
        finishBatch(generation, ids, httpStatusOf(error), headers, "");
    });
    request->startAsynchronous();
    return true;
}

bool idle() {
    {
        std::lock_guard lock(writer().mutex);
        if (!writer().pending.empty() || writer().writing) return false;
    }
    std::lock_guard lock(sender().mutex);
    return !sender().sending && !sender().scheduled;
}

}  // namespace

void queueEvent(nlohmann::json event, const std::string& id) {
    {
        std::lock_guard lock(sender().mutex);
        auto& s = sender();
        if (!s.traceSettled && s.held.insert(id).second) {
            s.heldOrder.push_back(id);
            if (s.heldOrder.size() > kEventOutboxMaxEvents) {
                s.held.erase(s.heldOrder.front());
                s.heldOrder.pop_front();
            }
        }
    }
    auto& w = writer();
    {
        std::lock_guard lock(w.mutex);
        w.pending.push_back(std::move(event));
        if (!w.thread.joinable()) w.thread = std::thread(runWriter);
    }
    w.wake.notify_one();
}

void sendQueuedEvents() {
    const std::uint64_t generation = currentGeneration.load();
    bool settled = false;
    {
        std::lock_guard lock(sender().mutex);
        sender().scheduled = false;
        if (sender().sending || sender().retryPending) return;
        settled = sender().traceSettled;
    }
    const std::string appKey = CoreHelper::getAppKey();
    if (trackingDisabled() || StringUtils::isNullOrEmpty(appKey)) return;
    if (!settled && traceSettled()) {
        std::lock_guard lock(sender().mutex);
        sender().traceSettled = true;
        sender().held.clear();
        sender().heldOrder.clear();
    }
    auto batch = claimBatch(generation, heldIds());
    if (batch.empty()) return;
    {
        std::lock_guard lock(sender().mutex);
        if (generation != currentGeneration.load()) return;
        sender().sending = true;
    }
    std::set<std::string> ids;
    for (const auto& event : batch) ids.insert(event["id"].get<std::string>());
    if (!startBatch(generation, appKey, std::move(batch))) {
        {
            std::lock_guard lock(sender().mutex);
            sender().sending = false;
        }
        settleBatch(generation, ids, false);
    }
}

void sendQueuedEventsSoon() {
    {
        std::lock_guard lock(sender().mutex);
        if (sender().scheduled) return;
        sender().scheduled = true;
    }
    MainQueue::shared().async([] { sendQueuedEvents(); });
}

bool waitUntilEventsWritten(milliseconds timeout) {
    auto& w = writer();
    std::unique_lock lock(w.mutex);
    w.urgent = !w.pending.empty();
    w.wake.notify_all();
    return w.written.wait_for(lock, timeout, [&] { return w.pending.empty() && !w.writing; });
}

bool flushEvents(milliseconds timeout) {
    {
        std::lock_guard lock(writer().mutex);
        writer().urgent = !writer().pending.empty();
    }
    writer().wake.notify_all();
    return MainQueue::shared().runUntil(idle, timeout);
}

std::size_t storedEventCount() {
    std::size_t count = 0;
    editEvents(
        currentGeneration.load(), [](auto&) { return false; }, &count);
    return count;
}

void forgetEvents() {
    ++currentGeneration;
    std::vector<json> dropped;
    {
        std::lock_guard lock(writer().mutex);
        dropped.swap(writer().pending);
    }
    std::lock_guard lock(sender().mutex);
    auto& s = sender();
    s.sending = s.scheduled = s.retryPending = s.traceSettled = false;
    s.failures = 0;
    s.held.clear();
    s.heldOrder.clear();
}

}  // namespace plovendale::internal
