#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/outbox_writer.h"
#include "sdk/service_request.h"
#include "sdk/trace_state.h"
#include "util/format.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale::internal {
using namespace outbox_sending;  // NOLINT(google-build-using-namespace)

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kEventsUrl = "%@/api/trace/client/events/%@";
// Room in a batch for {"ci":"<32 digits>","events":[]}.
constexpr std::size_t kBatchFrame = 64;
// Answered entries leave the store in one write per this many (or when nothing is left to send):
// each write rewrites the chunks that held them, which after every batch of a burst would cost
// more than the sending. An event sent again after a crash meanwhile is counted once by the
// service; a report may be recorded twice.
constexpr std::size_t kRemoveEvery = 1000;

// What goes on the wire in one request: one report, or a batch of events.
struct Send {
    std::uint64_t generation = 0;
    OutboxKind kind = OutboxKind::Event;
    std::vector<std::string> ids;
    int attempts = 0;  // a report's failures so far
};

}  // namespace

namespace outbox_sending {

Sender& sender() {
    static Sender instance;
    return instance;
}

void passAfter(milliseconds delay, std::uint64_t generation, bool Sender::*waiting) {
    const bool timed = MainQueue::shared().asyncAfter(delay, [generation, waiting] {
        {
            std::lock_guard lock(sender().mutex);
            if (generation != outboxGeneration()) return;
            sender().*waiting = false;
        }
        sendOutboxSoon(true);
    });
    if (!timed) {
        std::lock_guard lock(sender().mutex);
        sender().*waiting = false;  // the next write, start-up or query makes a pass
    }
}

}  // namespace outbox_sending

namespace {

void scheduleRetry(const Send& send, std::int64_t status, milliseconds retryAfter) {
    milliseconds delay{};
    {
        std::lock_guard lock(sender().mutex);
        const double random = std::uniform_real_distribution<double>(0.0, 1.0)(sender().random);
        delay = outboxBackoff(++sender().failures, random, retryAfter);
        sender().retryPending = true;
    }
    if (send.kind == OutboxKind::Report && !send.ids.empty()) {
        emitEvent("report.retrying", {{"status", std::to_string(status)},
                                      {"attempts", std::to_string(send.attempts + 1)},
                                      {"delayMs", std::to_string(delay.count())}});
    }
    passAfter(delay, send.generation, &Sender::retryPending);
}

// Writes what the service answered to the store: the entries it took or refused leave, the
// failures of reports it did not take are counted. A launch holding the lease renews it in the
// same write.
void writeAnswered(std::uint64_t generation, bool holdingLease) {
    OutboxEdits edits;
    bool durable = false;
    {
        std::lock_guard lock(sender().mutex);
        edits = sender().answered;
        durable = sender().durableEdits;
    }
    if (edits.empty()) return;
    // The lease is renewed in the same write once it is half way to its renewal.
    bool renew = false;
    {
        std::lock_guard lock(sender().mutex);
        renew = holdingLease && sender().leaseRenewed &&
                steady_clock::now() - *sender().leaseRenewed > kLeaseRenewal / 2;
    }
    const auto lease = renew ? sendingLeaseValue() : std::map<std::string, std::string>{};
    const auto written = writeOutbox(generation, {}, edits, lease, 0, durable);
    tellEventsPruned(written);
    if (!written.stored) return;  // asked again by the next pass
    std::lock_guard lock(sender().mutex);
    for (const auto& id : edits.remove) sender().answered.remove.erase(id);
    for (const auto& [id, attempts] : edits.attempts) {
        const auto found = sender().answered.attempts.find(id);
        if (found != sender().answered.attempts.end() && found->second == attempts)
            sender().answered.attempts.erase(found);
    }
    if (durable && sender().answered.remove.empty()) sender().durableEdits = false;
    if (renew) sender().leaseRenewed = steady_clock::now();
}

// The oldest entries that may go: a report alone, or events within a batch's bounds.
std::vector<OutboxEntry> nextSend(std::uint64_t generation) {
    std::set<std::string> held;
    OutboxEdits answered;
    {
        std::lock_guard lock(sender().mutex);
        held = sender().held;
        answered = sender().answered;
    }
    std::vector<OutboxEntry> batch;
    std::size_t bytes = kBatchFrame;
    const auto pick = [&](const OutboxEntry& entry) {
        if (held.count(entry.id) || answered.remove.count(entry.id)) return true;
        if (entry.kind == OutboxKind::Report) {
            if (!batch.empty()) return false;
            batch.push_back(entry);
            if (const auto tried = answered.attempts.find(entry.id);
                tried != answered.attempts.end())
                batch.back().attempts = tried->second;
            return false;
        }
        if (bytes + entry.text.size() + 1 > kMaxBatchBytes) return false;
        bytes += entry.text.size() + 1;
        batch.push_back(entry);
        return batch.size() < kMaxBatchEvents;
    };
    if (!visitKnownEntries(pick)) {
        refreshOutbox(generation);  // first read of this launch
        visitKnownEntries(pick);
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

void finishReport(const Send& send, ReportVerdict verdict, bool disabled, std::int64_t status,
                  const Error::Headers& headers, const std::string& failure) {
    const int attempts = send.attempts + 1;
    switch (verdict) {
        case ReportVerdict::Delivered:
            if (eventsObserved())
                emitEvent("report.delivered", {{"attempts", std::to_string(attempts)}});
            sendOutboxSoon(true, false);
            break;
        case ReportVerdict::Drop:
            // The service will never take it, or the user no longer lets it go out.
            if (disabled) {
                emitEvent("report.dropped", {{"reason", "tracking disabled"}});
            } else {
                emitEvent("report.dropped",
                          {{"reason", "rejected"}, {"status", std::to_string(status)}});
            }
            sendOutboxSoon(true, false);
            break;
        case ReportVerdict::Retry:
            scheduleRetry(send, status, retryAfterOf(headers).value_or(milliseconds(0)));
            if (send.attempts == 0) {
                emitEvent("report.queued",
                          {{"reason", status ? "HTTP " + std::to_string(status) : failure},
                           {"queued", std::to_string(knownCount(OutboxKind::Report))}});
            }
            sendOutboxSoon(true);  // its failures are counted in the store while it waits
            break;
    }
}

void finishEvents(const Send& send, std::vector<std::string> ids, ReportVerdict verdict,
                  std::int64_t status, const Error::Headers& headers, const std::string& answer) {
    const std::string count = std::to_string(ids.size());
    switch (verdict) {
        case ReportVerdict::Delivered: {
            std::map<std::string, std::string> values{{"count", count}};
            for (const char* member : {"accepted", "duplicates"}) {
                if (auto n = countIn(answer, member); !n.empty()) values[member] = n;
            }
            emitEvent("event.delivered", std::move(values));
            sendOutboxSoon(true, false);
            break;
        }
        case ReportVerdict::Drop:
            Log::write(fillTemplate("[Plovendale] The service refused %@ events (HTTP %@).",
                                    {count, std::to_string(status)}));
            tellEventsDropped("rejected", ids.size(), std::to_string(status));
            sendOutboxSoon(true, false);
            break;
        case ReportVerdict::Retry:
            if (status == 401 || status == 404)
                Log::write(fillTemplate(
                    "[Plovendale] The service at %@ answered HTTP %@ to the events: check the app "
                    "key and the server domain. The events are kept and sent again later.",
                    {Plovendale::getDomainUrl(CoreHelper::getAppKey()), std::to_string(status)}));
            // While tracking is disabled they wait in the store; enabling it sends them.
            if (!trackingDisabled())
                scheduleRetry(send, status, retryAfterOf(headers).value_or(milliseconds(0)));
            break;
    }
}

// On the main queue: what the service answered to `send`.
void finishSend(const Send& send, std::int64_t status, const Error::Headers& headers,
                const std::string& answer, const std::string& failure) {
    const bool report = send.kind == OutboxKind::Report;
    const bool disabled = trackingDisabled();
    auto verdict = classifyReportStatus(status);
    // A report the user no longer lets go out is not kept to be tried again.
    if (report && disabled && verdict == ReportVerdict::Retry) verdict = ReportVerdict::Drop;
    std::vector<std::string> ids = send.ids;
    // A refusal that names one event refuses it alone: the rest of the batch goes again at once.
    if (!report && verdict == ReportVerdict::Drop) {
        if (const auto index = refusedEventOf(answer, ids.size())) ids = {ids[*index]};
    }
    {
        std::lock_guard lock(sender().mutex);
        // A forget came in between: these entries belong to an installation that is gone.
        if (send.generation != outboxGeneration()) return;
        sender().sending = false;
        if (verdict != ReportVerdict::Retry) {
            sender().answered.remove.insert(ids.begin(), ids.end());
            for (const auto& id : ids) sender().answered.attempts.erase(id);
            if (report && disabled) sender().durableEdits = true;
        } else if (report) {
            sender().answered.attempts[ids.front()] = send.attempts + 1;
        }
        if (verdict == ReportVerdict::Delivered) sender().failures = 0;
    }
    if (report) {
        finishReport(send, verdict, disabled, status, headers, failure);
    } else {
        finishEvents(send, std::move(ids), verdict, status, headers, answer);
    }
}

Error::Headers headersOf(const Error& error) {
    if (auto it = error.userInfo.find("headers"); it != error.userInfo.end()) {
        if (const auto* found = std::get_if<Error::Headers>(&it->second)) return *found;
    }
    return {};
}

// The request, made and started on the main queue as every request of the library; the answer
// comes back there. Answers whether one could be made.
bool startRequest(const std::shared_ptr<const Send>& send, const std::string& url, std::string text,
                  std::size_t count) {
    const bool report = send->kind == OutboxKind::Report;
    auto request = makeServiceRequest(url, toBytes(text), REQUEST_TIMEOUT / 1000.0);
    if (!request) return false;
    if (report) {
        request->setDiscardsResponseBody(true);  // the report's answer is never read
    } else {
        emitEvent("event.sent",
                  {{"count", std::to_string(count)}, {"bytes", std::to_string(text.size())}});
    }
    std::weak_ptr<STHTTPRequest> weakRequest = request;
    request->setCompletionDataBlock(
        [send, weakRequest](const STHTTPHeaders& headers, const Bytes& data) {
            auto self = weakRequest.lock();
            finishSend(*send, self ? self->responseStatus() : 0, headers, toString(data), "");
        });
    request->setErrorBlock([send, weakRequest](const Error& error) {
        auto self = weakRequest.lock();
        finishSend(*send, httpStatusOf(error), headersOf(error),
                   self ? toString(self->responseData()) : "", error.localizedDescription());
    });
    request->startAsynchronous();
    return true;
}

// Hands `batch` to the main queue, to go on the wire; `then` runs right after the request
// started, in the same task, so that nothing the answer does can come before it.
void startSend(std::shared_ptr<const Send> send, const std::string& appKey,
               const std::vector<OutboxEntry>& batch, MainQueue::Task then) {
    const bool report = send->kind == OutboxKind::Report;
    std::string text;
    if (report) {
        text = batch.front().body;
    } else {
        text = "{\"ci\":" + json(CoreHelper::getClientId()).dump() + ",\"events\":[";
        for (const auto& event : batch) {
            if (text.back() != '[') text += ',';
            text += event.text;
        }
        text += "]}";
    }
    std::string url = fillTemplate(report ? REPORT_STATE_URL : kEventsUrl,
                                   {Plovendale::getDomainUrl(appKey), appKey});
    MainQueue::shared().async([send, url = std::move(url), text = std::move(text),
                               count = batch.size(), then = std::move(then)]() mutable {
        if (!startRequest(send, url, std::move(text), count)) {
            std::lock_guard lock(sender().mutex);
            if (send->generation == outboxGeneration()) sender().sending = false;
        }
        if (then) then();
    });
}

bool idle() {
    {
        std::lock_guard lock(writer().mutex);
        const auto& w = writer();
        if (!w.pending.empty() || !w.jobs.empty() || w.writing) return false;
    }
    std::lock_guard lock(sender().mutex);
    return !sender().sending && !sender().scheduled && !sender().passing;
}

void pass(std::uint64_t generation, MainQueue::Task& then);

}  // namespace

namespace outbox_sending {

void sendOutbox(bool scheduled, std::uint64_t generation, MainQueue::Task then) {
    bool current = false;
    {
        std::lock_guard lock(sender().mutex);
        // Asked for before a forget: the flags are the next installation's now.
        current = generation == outboxGeneration();
        if (current) {
            if (scheduled) sender().scheduled = false;
            sender().passing = true;
        }
    }
    if (current) {
        pass(generation, then);
        std::lock_guard lock(sender().mutex);
        sender().passing = false;
    }
    if (then) MainQueue::shared().async(std::move(then));  // no send started to carry it
}

}  // namespace outbox_sending

namespace {

void pass(std::uint64_t generation, MainQueue::Task& then) {
    bool waiting = false;
    bool look = false;
    bool settled = false;
    bool anyAnswered = false;
    bool holding = false;
    std::size_t answered = 0;
    {
        std::lock_guard lock(sender().mutex);
        if (sender().sending) return;
        waiting = sender().retryPending;
        look = std::exchange(sender().lookElsewhere, false);
        settled = sender().traceSettled;
        answered = sender().answered.remove.size();
        anyAnswered = !sender().answered.empty();
        holding = sender().leaseRenewed.has_value();
    }
    if (waiting) {
        // Waiting out a backoff: only the failures counted meanwhile are written.
        if (anyAnswered) writeAnswered(generation, holding);
        return;
    }
    const std::string appKey = CoreHelper::getAppKey();
    if (trackingDisabled() || StringUtils::isNullOrEmpty(appKey)) {
        if (anyAnswered) writeAnswered(generation, false);
        return;
    }
    if (!settled && traceSettled()) {
        std::lock_guard lock(sender().mutex);
        sender().traceSettled = true;
        sender().held.clear();
        sender().heldOrder.clear();
    }
    auto batch = nextSend(generation);
    // Another launch may have queued entries since this one last looked.
    if (batch.empty() && look && outboxChangedElsewhere()) {
        refreshOutbox(generation);
        batch = nextSend(generation);
    }
    if (batch.empty() && !anyAnswered) return;  // nothing to do: no lease, no write
    if (!holdLease(generation)) {
        // Another launch sends the stored entries, ours among them; this one looks again soon.
        waitForLease(generation);
        return;
    }
    batch = nextSend(generation);  // taking the lease may have read newer stored entries
    // Once nothing is left to send, the answered entries leave the store (the lease renewed in the
    // same write); during a burst, in one write per kRemoveEvery.
    if (answered >= kRemoveEvery || batch.empty()) writeAnswered(generation, true);
    if (batch.empty()) return;
    auto send = std::make_shared<Send>(Send{generation, batch.front().kind, {}, 0});
    for (const auto& entry : batch) send->ids.push_back(entry.id);
    if (send->kind == OutboxKind::Report) send->attempts = batch.front().attempts;
    {
        std::lock_guard lock(sender().mutex);
        if (generation != outboxGeneration() || sender().sending) return;
        sender().sending = true;
    }
    startSend(send, appKey, batch, std::move(then));
    then = nullptr;
}

}  // namespace

void sendOutboxSoon(bool fromMainQueue, bool lookElsewhere) {
    if (stopped()) return;  // nothing is sent after shutdown; the next start-up sends it
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(sender().mutex);
        sender().lookElsewhere = sender().lookElsewhere || lookElsewhere;
        if (sender().scheduled) return;
        sender().scheduled = true;
        generation = outboxGeneration();
    }
    // From the main queue, as the host's other calls come: a pass never starts while a host's
    // callback on that thread holds the store open at start-up.
    const auto job = [generation] { outbox_sending::sendOutbox(true, generation); };
    if (fromMainQueue) {
        runOnWriter(job);
    } else {
        MainQueue::shared().async([job] { runOnWriter(job); });
    }
}

void sendOutboxNow(MainQueue::Task then) {
    outbox_sending::sendOutbox(false, outboxGeneration(), std::move(then));
}

bool outboxBusy() {
    std::lock_guard lock(sender().mutex);
    return sender().sending || sender().scheduled || sender().passing || sender().leaseWaiting;
}

bool flushOutbox(milliseconds timeout) {
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
    if (release) sendOutboxSoon(true);
    return MainQueue::shared().runUntil(idle, timeout);
}

}  // namespace plovendale::internal
