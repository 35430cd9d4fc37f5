#include "sdk/event_outbox.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

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
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale::internal {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kEventsUrl = "%@/api/trace/client/events/%@";
// The writer lets events gather this long before it writes them as one group: a burst of calls
// costs a store write per window, and an event is durable within 100 ms even when a sync of a
// busy disk takes most of that (the crash torture kills hosts on a loaded machine).
constexpr milliseconds kGroupWindow{20};
// Room in a batch for {"ci":"<32 digits>","events":[]}.
constexpr std::size_t kBatchFrame = 64;
// Answered events leave the store in one removal per this many (or when nothing is left to send):
// each removal rewrites the chunks that held them, a disk sync apiece, which after every batch
// would cost more than the sending. One that is sent again after a crash meanwhile is counted
// once by the service.
constexpr std::size_t kRemoveEvery = 1000;
// The sending lease is renewed at least this often while batches go (it lapses after 60 s).
constexpr auto kLeaseRenewal = std::chrono::seconds(20);
// The most events one write takes from the queue: it bounds how long a shutdown waits for the write
// under way (five chunks and their pruning) and how far a new event waits behind a burst.
constexpr std::size_t kMaxGroupEvents = 1000;

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
    std::set<std::string> answered;     // delivered or refused, still in the store
    std::optional<steady_clock::time_point> leaseRenewed;
    std::mt19937 random{std::random_device{}()};
};

Sender& sender() {
    static Sender instance;
    return instance;
}

// ---- The writer ---------------------------------------------------------------------------

// Events wait here, in memory, until the writer thread has put them in the store: the host's
// call never waits for a disk sync.
struct Writer {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;  // a group is done
    // At most the outbox's bound: past it the oldest go, as the store would drop them anyway, so
    // that a burst holds no more memory than a full store.
    std::deque<StoredEvent> pending;
    std::size_t droppedUnwritten = 0;
    EventWrite dropped;  // by the writes since the writer last caught up, not yet told
    steady_clock::time_point firstPending;  // when the oldest of `pending` came in
    bool removeAnswered = false;  // the sender asks to remove the events the service answered
    bool renewLease = false;      // ... and to renew its lease in the same write
    bool writing = false;
    bool urgent = false;  // a flush waits: write without gathering more
    bool stopping = false;
    // The library's other disk work, run ahead of the events: it keeps disk syncs off the host's
    // main queue, on the one thread that already waits for the disk.
    std::deque<std::function<void()>> jobs;
    std::mutex jobMutex;  // held while a job runs (and by a forget, to keep jobs off its erase)
    std::thread thread;

    // What the writer thread uses is made before the writer, so that at exit it is destroyed
    // after the writer has stopped: a write under way finishes against live state.
    Writer() {
        visitKnownEvents([](const StoredEvent&) { return false; });
        sender();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

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

// Removes what the sender asked to and appends `group`, writing only the chunks that change.
// Answers whether every write took.
bool writeGroup(std::vector<StoredEvent> group, bool removeAnswered, bool renewLease,
                std::uint64_t generation, std::size_t droppedUnwritten) {
    std::set<std::string> answered;
    if (removeAnswered) {
        std::lock_guard lock(sender().mutex);
        answered = sender().answered;
    }
    const std::size_t count = group.size();
    const auto written = writeStoredEvents(
        generation, std::move(group), answered,
        renewLease ? sendingLeaseValue() : std::map<std::string, std::string>{}, droppedUnwritten);
    if (generation != eventGeneration()) return false;  // forgotten while it was being written
    {
        // Told once the writer has caught up: a burst's many writes make one log line.
        std::lock_guard lock(writer().mutex);
        auto& d = writer().dropped;
        d.malformed += written.malformed;
        d.tooOld += written.tooOld;
        d.tooMany += written.tooMany;
    }
    if (!written.stored) {
        if (written.unstored == 0) return false;
        Log::write(fillTemplate("[Plovendale] %@ events could not be stored and are dropped.",
                                {std::to_string(written.unstored)}));
        tellEventsDropped("store failed", written.unstored);
        return false;
    }
    {
        std::lock_guard lock(sender().mutex);
        for (const auto& id : answered) sender().answered.erase(id);
        if (renewLease) sender().leaseRenewed = steady_clock::now();
    }
    if (count > 0) {
        emitEvent("event.queued",
                  {{"count", std::to_string(count)}, {"queued", std::to_string(written.count)}});
    }
    return true;
}

void runWriter() {
    auto& w = writer();
    std::unique_lock lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] {
            return w.stopping || !w.jobs.empty() || !w.pending.empty() || w.removeAnswered;
        });
        if (w.jobs.empty() && !w.urgent && !w.removeAnswered && !w.stopping)
            // From the oldest event's arrival: events that came in during the previous write
            // have waited already.
            w.wake.wait_until(lock, w.firstPending + kGroupWindow,
                              [&] { return w.stopping || w.urgent || !w.jobs.empty(); });
        // At exit the library's other parts may be gone already: what is not written stays
        // unwritten (it is at most one group window old).
        if (w.stopping) return;
        if (!w.jobs.empty()) {
            auto job = std::move(w.jobs.front());
            w.jobs.pop_front();
            w.writing = true;
            lock.unlock();
            {
                std::lock_guard held(w.jobMutex);
                job();
            }
            job = nullptr;  // what it captured goes before the writer says it is done
            lock.lock();
            w.writing = false;
            w.written.notify_all();
            continue;
        }
        w.urgent = false;
        // What is left over is written next, without a new window: firstPending stays as it was.
        const auto end = w.pending.begin() +
                         static_cast<std::ptrdiff_t>(std::min(w.pending.size(), kMaxGroupEvents));
        std::vector<StoredEvent> group(std::make_move_iterator(w.pending.begin()),
                                       std::make_move_iterator(end));
        w.pending.erase(w.pending.begin(), end);
        const std::size_t droppedUnwritten = std::exchange(w.droppedUnwritten, 0);
        const bool removeAnswered = std::exchange(w.removeAnswered, false);
        const bool renewLease = std::exchange(w.renewLease, false);
        if (group.empty() && !removeAnswered) continue;  // a forget took what was pending
        w.writing = true;
        const std::uint64_t generation = eventGeneration();
        // Under the writer's lock: queuedEventCount sees them either waiting here or taken.
        noteEventsTaken(generation, group.size());
        lock.unlock();
        // A removal the store refused is not asked again at once: the next trigger does.
        if (writeGroup(std::move(group), removeAnswered, renewLease, generation, droppedUnwritten))
            sendQueuedEventsSoon();  // before `writing` clears, so a flush sees the send coming
        lock.lock();
        if (w.pending.empty()) {
            const EventWrite dropped = std::exchange(w.dropped, {});
            lock.unlock();
            tellEventsPruned(dropped);  // never under the writer's lock
            lock.lock();
        }
        w.writing = false;
        w.written.notify_all();
    }
}

// ---- The sender ---------------------------------------------------------------------------

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
            if (generation != eventGeneration()) return;
            sender().retryPending = false;
        }
        sendQueuedEvents();
    });
    if (!timed) {
        std::lock_guard lock(sender().mutex);
        sender().retryPending = false;  // the next write, start-up or query sends them
    }
}

// Whether this launch may send now: it holds the lease, renewed when due.
bool holdLease(std::uint64_t generation) {
    {
        std::lock_guard lock(sender().mutex);
        const auto renewed = sender().leaseRenewed;
        if (renewed && steady_clock::now() - *renewed < kLeaseRenewal) return true;
    }
    if (!takeSendingLease(generation)) return false;
    // The launch that held the lease before may have sent and removed events this one still
    // remembers: read what the store holds now.
    refreshStoredEvents(generation);
    std::lock_guard lock(sender().mutex);
    sender().leaseRenewed = steady_clock::now();
    return true;
}

void startWriterLocked(Writer& w) {
    if (!w.thread.joinable()) w.thread = std::thread(runWriter);
}

// Asks the writer to remove the answered events from the store; a launch that holds the lease
// renews it in the same write. The disk sync stays off the main thread.
void requestRemoval(bool holdingLease) {
    auto& w = writer();
    {
        std::lock_guard lock(w.mutex);
        w.removeAnswered = true;
        w.renewLease = w.renewLease || holdingLease;
        try {
            startWriterLocked(w);
        } catch (const std::exception&) {
            w.removeAnswered = false;  // no thread to be had now: a later send asks again
        }
    }
    w.wake.notify_one();
}

// The oldest events that may go, within a batch's bounds.
std::vector<StoredEvent> nextBatch(std::uint64_t generation) {
    std::set<std::string> held;
    std::set<std::string> answered;
    {
        std::lock_guard lock(sender().mutex);
        held = sender().held;
        answered = sender().answered;
    }
    std::vector<StoredEvent> batch;
    std::size_t bytes = kBatchFrame;
    const auto pick = [&](const StoredEvent& event) {
        if (held.count(event.id) || answered.count(event.id)) return true;
        if (bytes + event.text.size() + 1 > kMaxBatchBytes) return false;
        bytes += event.text.size() + 1;
        batch.push_back(event);
        return batch.size() < kMaxBatchEvents;
    };
    if (!visitKnownEvents(pick)) {
        refreshStoredEvents(generation);  // first read of this launch
        visitKnownEvents(pick);
    }
    return batch;
}

std::string countIn(const std::string& answer, const char* member) {
    const auto body = parseJSONText(answer);
    if (!body.is_object() || !body.contains(member) || !body[member].is_number_integer()) return "";
    return std::to_string(body[member].get<long long>());
}

// The one event of the batch a refusal names ({"event": <its index>}), if it names one.
std::optional<std::size_t> refusedEventOf(const std::string& answer, std::size_t batchSize) {
    const auto body = parseJSONText(answer);
    if (!body.is_object() || !body.contains("event") || !body["event"].is_number_unsigned())
        return std::nullopt;
    const auto index = body["event"].get<std::size_t>();
    return index < batchSize ? std::optional(index) : std::nullopt;
}

void finishBatch(std::uint64_t generation, std::vector<std::string> ids, std::int64_t status,
                 const Error::Headers& headers, const std::string& answer) {
    const auto verdict = classifyReportStatus(status);
    // A refusal that names one event refuses it alone: the rest of the batch goes again at once.
    if (verdict == ReportVerdict::Drop) {
        if (const auto index = refusedEventOf(answer, ids.size())) ids = {ids[*index]};
    }
    {
        std::lock_guard lock(sender().mutex);
        // A forget came in between: these events belong to an installation that is gone.
        if (generation != eventGeneration()) return;
        sender().sending = false;
        if (verdict != ReportVerdict::Retry) sender().answered.insert(ids.begin(), ids.end());
        if (verdict == ReportVerdict::Delivered) sender().failures = 0;
    }
    const std::string count = std::to_string(ids.size());
    switch (verdict) {
        case ReportVerdict::Delivered: {
            std::map<std::string, std::string> values{{"count", count}};
            for (const char* member : {"accepted", "duplicates"}) {
                if (auto n = countIn(answer, member); !n.empty()) values[member] = n;
            }
            emitEvent("event.delivered", std::move(values));
            sendQueuedEventsSoon();
            break;
        }
        case ReportVerdict::Drop:
            Log::write(fillTemplate("[Plovendale] The service refused %@ events (HTTP %@).",
                                    {count, std::to_string(status)}));
            tellEventsDropped("rejected", ids.size(), std::to_string(status));
            sendQueuedEventsSoon();
            break;
        case ReportVerdict::Retry:
            if (status == 401 || status == 404)
                Log::write(fillTemplate(
                    "[Plovendale] The service at %@ answered HTTP %@ to the events: check the app "
                    "key and the server domain. The events are kept and sent again later.",
                    {Plovendale::getDomainUrl(CoreHelper::getAppKey()), std::to_string(status)}));
            // While tracking is disabled they wait in the store; enabling it sends them.
            if (!trackingDisabled())
                scheduleRetry(generation, retryAfterOf(headers).value_or(milliseconds(0)));
            break;
    }
}

bool startBatch(std::uint64_t generation, const std::string& appKey,
                const std::vector<StoredEvent>& batch) {
    std::vector<std::string> ids;
    std::string text = "{\"ci\":" + json(CoreHelper::getClientId()).dump() + ",\"events\":[";
    for (const auto& event : batch) {
        ids.push_back(event.id);
        if (text.back() != '[') text += ',';
        text += event.text;
    }
    text += "]}";
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
    request->setErrorBlock([generation, ids, weakRequest](const Error& error) {
        Error::Headers headers;
        if (auto it = error.userInfo.find("headers"); it != error.userInfo.end()) {
            if (const auto* found = std::get_if<Error::Headers>(&it->second)) headers = *found;
        }
        auto self = weakRequest.lock();
        finishBatch(generation, ids, httpStatusOf(error), headers,
                    self ? toString(self->responseData()) : "");
    });
    request->startAsynchronous();
    return true;
}

bool idle() {
    {
        std::lock_guard lock(writer().mutex);
        const auto& w = writer();
        if (!w.pending.empty() || !w.jobs.empty() || w.writing || w.removeAnswered) return false;
    }
    std::lock_guard lock(sender().mutex);
    return !sender().sending && !sender().scheduled;
}

}  // namespace

void queueEvent(StoredEvent event) {
    {
        std::lock_guard lock(sender().mutex);
        auto& s = sender();
        if (!s.traceSettled && s.held.insert(event.id).second) {
            s.heldOrder.push_back(event.id);
            if (s.heldOrder.size() > kEventOutboxMaxEvents) {
                s.held.erase(s.heldOrder.front());
                s.heldOrder.pop_front();
            }
        }
    }
    auto& w = writer();
    {
        std::lock_guard lock(w.mutex);
        if (w.pending.empty()) w.firstPending = steady_clock::now();
        w.pending.push_back(std::move(event));
        if (w.pending.size() > kEventOutboxMaxEvents) {
            w.pending.pop_front();
            ++w.droppedUnwritten;
        }
        startWriterLocked(w);
    }
    w.wake.notify_one();
}

void sendQueuedEvents() {
    const std::uint64_t generation = eventGeneration();
    bool settled = false;
    std::size_t answered = 0;
    {
        std::lock_guard lock(sender().mutex);
        sender().scheduled = false;
        if (sender().sending || sender().retryPending) return;
        settled = sender().traceSettled;
        answered = sender().answered.size();
    }
    const std::string appKey = CoreHelper::getAppKey();
    if (trackingDisabled() || StringUtils::isNullOrEmpty(appKey)) {
        if (answered > 0) requestRemoval(false);
        return;
    }
    if (!settled && traceSettled()) {
        std::lock_guard lock(sender().mutex);
        sender().traceSettled = true;
        sender().held.clear();
        sender().heldOrder.clear();
    }
    auto batch = nextBatch(generation);
    if (batch.empty() && answered == 0) return;  // nothing to do: no lease, no write
    if (!holdLease(generation)) {
        // Another launch sends the stored events, ours among them; this one looks again later.
        scheduleRetry(generation, milliseconds(0));
        return;
    }
    batch = nextBatch(generation);  // taking the lease may have read newer stored events
    if (batch.empty() && answered == 0) return;
    if (answered >= kRemoveEvery || batch.empty()) {
        // Sending goes on once they are removed (that write also reads what other launches
        // stored meanwhile).
        requestRemoval(true);
        return;
    }
    {
        std::lock_guard lock(sender().mutex);
        if (generation != eventGeneration() || sender().sending) return;
        sender().sending = true;
    }
    if (!startBatch(generation, appKey, batch)) {
        std::lock_guard lock(sender().mutex);
        sender().sending = false;
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
    return w.written.wait_for(lock, timeout,
                              [&] { return w.pending.empty() && w.jobs.empty() && !w.writing; });
}

void runOnWriter(std::function<void()> job) {
    auto& w = writer();
    {
        std::unique_lock lock(w.mutex);
        try {
            startWriterLocked(w);
        } catch (const std::system_error&) {
            // No thread to be had now: the work is done late rather than never.
            lock.unlock();
            std::lock_guard held(w.jobMutex);
            job();
            return;
        }
        w.jobs.push_back(std::move(job));
    }
    w.wake.notify_one();
}

std::unique_lock<std::mutex> holdWriterJobs() {
    return std::unique_lock(writer().jobMutex);
}

bool stopEventWriter(milliseconds timeout) {
    const bool written = waitUntilEventsWritten(timeout);
    auto& w = writer();
    std::thread thread;
    {
        std::lock_guard lock(w.mutex);
        w.stopping = true;
        thread.swap(w.thread);
    }
    w.wake.notify_all();
    if (thread.joinable()) thread.join();
    std::lock_guard lock(w.mutex);
    w.stopping = false;  // the next event starts a writer again
    return written;
}

bool flushEvents(milliseconds timeout) {
    {
        std::lock_guard lock(writer().mutex);
        writer().urgent = !writer().pending.empty();
    }
    writer().wake.notify_all();
    // A host that flushes wants the events out: those held for a query that this launch never
    // made go now. A query on the wire keeps them until it ends (the service then credits them).
    bool release = false;
    if (Plovendale::installTraceState().kind != InstallTraceState::Kind::InFlight) {
        std::lock_guard lock(sender().mutex);
        release = !sender().traceSettled;
        sender().traceSettled = true;
        sender().held.clear();
        sender().heldOrder.clear();
    }
    if (release) sendQueuedEventsSoon();
    return MainQueue::shared().runUntil(idle, timeout);
}

std::size_t queuedEventCount() {
    // The first call of a launch reads the store (on this thread, without any lock held).
    if (!storedEventsKnown()) refreshStoredEvents(eventGeneration());
    std::lock_guard lock(writer().mutex);
    return writer().pending.size() + knownEventCount();
}

void forgetEvents() {
    std::deque<StoredEvent> dropped;
    {
        // Under the writer's lock: a group it takes is either dropped here or written under the
        // generation it was taken in, never under the new one.
        std::lock_guard lock(writer().mutex);
        advanceEventGeneration();
        dropped.swap(writer().pending);
        writer().droppedUnwritten = 0;
    }
    std::lock_guard lock(sender().mutex);
    auto& s = sender();
    s.sending = s.scheduled = s.retryPending = s.traceSettled = false;
    s.failures = 0;
    s.held.clear();
    s.heldOrder.clear();
    s.answered.clear();
    s.leaseRenewed.reset();
}

}  // namespace plovendale::internal
