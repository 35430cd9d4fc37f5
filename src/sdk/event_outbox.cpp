#include "sdk/event_outbox.h"

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/event_writer.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/service_request.h"
#include "sdk/trace_state.h"
#include "util/format.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale::internal {
using namespace event_sending;  // NOLINT(google-build-using-namespace)

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kEventsUrl = "%@/api/trace/client/events/%@";
// Room in a batch for {"ci":"<32 digits>","events":[]}.
constexpr std::size_t kBatchFrame = 64;
// Answered events leave the store in one removal per this many (or when nothing is left to send):
// each removal rewrites the chunks that held them, a disk sync apiece, which after every batch
// would cost more than the sending. One that is sent again after a crash meanwhile is counted
// once by the service.
constexpr std::size_t kRemoveEvery = 1000;
// The sending lease is renewed at least this often while batches go (it lapses after 60 s).
constexpr auto kLeaseRenewal = std::chrono::seconds(20);

}  // namespace

namespace event_sending {

Sender& sender() {
    static Sender instance;
    return instance;
}

}  // namespace event_sending

namespace {

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
