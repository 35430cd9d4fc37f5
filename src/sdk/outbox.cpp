#include "sdk/outbox.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "host/clock.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/client_id.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/outbox_store.h"
#include "sdk/service_request.h"
#include "util/format.h"
#include "util/string_utils.h"
#include "util/text.h"

namespace plovendale::internal {
using namespace report_outbox;  // NOLINT(google-build-using-namespace)

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{1000};
constexpr milliseconds kMaxBackoff{5 * 60 * 1000};

struct Sender {
    std::mutex mutex;
    bool sending = false;       // a queued report is on the wire
    bool scheduled = false;     // sendQueuedReports is posted
    bool retryPending = false;  // waiting out a backoff
    int failures = 0;           // in a row, in this process
    std::uint64_t generation = 1;
    std::set<std::string> inFlight;  // ids of this launch's reports on the wire
    // Seeded at the first retry: a launch whose reports go out at once never pays for it.
    std::optional<std::mt19937> random;
};

// Never destroyed, like what the parser remembers: the answer's commit may be running on the
// event writer's thread while statics are torn down at exit.
Sender& sender() {
    static Sender* instance = new Sender;  // NOLINT(cppcoreguidelines-owning-memory)
    return *instance;
}

void scheduleRetry(std::uint64_t generation, std::int64_t status, int attempts,
                   milliseconds retryAfter) {
    milliseconds delay{};
    {
        std::lock_guard lock(sender().mutex);
        auto& generator = sender().random;
        if (!generator) generator.emplace(std::random_device{}());
        const double random = std::uniform_real_distribution<double>(0.0, 1.0)(*generator);
        delay = outboxBackoff(++sender().failures, random, retryAfter);
        sender().retryPending = true;
    }
    emitEvent("report.retrying", {{"status", std::to_string(status)},
                                  {"attempts", std::to_string(attempts)},
                                  {"delayMs", std::to_string(delay.count())}});
    const bool timed = MainQueue::shared().asyncAfter(delay, [generation] {
        {
            std::lock_guard lock(sender().mutex);
            if (generation != sender().generation) return;
            sender().retryPending = false;
        }
        sendQueuedReports();
    });
    if (!timed) {
        std::lock_guard lock(sender().mutex);
        sender().retryPending = false;  // the next start-up or answered query sends it
    }
}

// One report on the wire: which entry, whether the outbox holds it, and who sent it (the query
// that wrote it, or the sender of queued reports).
struct Send {
    Entry entry;
    bool stored = false;
    bool queued = false;
    std::uint64_t generation = 0;
};

void keepForLater(const Send& send, int attempts, const std::string& why) {
    std::size_t queued = 0;
    bool kept = false;
    if (send.stored) {
        kept = editOutbox(
            [&](std::vector<Entry>& entries) {
                auto it = findEntry(entries, send.entry);
                if (it == entries.end()) return false;  // forgotten, or pruned meanwhile
                it->attempts = attempts;
                it->claimedBy.clear();
                it->claimedAt = 0;
                return true;
            },
            {}, &queued);
    } else {
        Entry entry = send.entry;
        entry.attempts = attempts;
        entry.claimedBy.clear();
        entry.claimedAt = 0;
        kept = editOutbox(
            [&](std::vector<Entry>& entries) {
                entries.push_back(entry);
                return true;
            },
            {}, &queued);
    }
    if (kept && !send.queued)
        emitEvent("report.queued", {{"reason", why}, {"queued", std::to_string(queued)}});
}

// A removal after the service answered need not survive a crash: the report is then sent once
// more, and the service keeps one of each. One for a user who disabled tracking must: the report
// must not go out again once tracking is enabled. Answers whether the removal took the entry out
// and its transaction left the outbox empty: a pass of the sender would then find nothing.
bool removeEntry(const Send& send, bool durable) {
    if (!send.stored) return false;
    bool found = false;
    std::size_t left = 0;
    const bool removed = editOutbox(
        [&](std::vector<Entry>& entries) {
            auto it = findEntry(entries, send.entry);
            if (it == entries.end()) return false;
            entries.erase(it);
            found = true;
            return true;
        },
        {}, &left, durable);
    return removed && found && left == 0;
}

void finishSend(const Send& send, std::int64_t status, const Error::Headers& headers,
                const std::string& failure) {
    {
        std::lock_guard lock(sender().mutex);
        // A forget came in between: this report belongs to an identity that no longer exists.
        if (send.generation != sender().generation) return;
        sender().inFlight.erase(send.entry.id);
        if (send.queued) sender().sending = false;
    }
    const int attempts = send.entry.attempts + 1;
    auto verdict = classifyReportStatus(status);
    const bool disabled = trackingDisabled();
    switch (disabled && verdict == ReportVerdict::Retry ? ReportVerdict::Drop : verdict) {
        case ReportVerdict::Delivered: {
            // Another launch may queue a report after this removal; it sends that one itself.
            const bool emptied = removeEntry(send, false);
            {
                std::lock_guard lock(sender().mutex);
                sender().failures = 0;
            }
            if (eventsObserved())
                emitEvent("report.delivered", {{"attempts", std::to_string(attempts)}});
            if (!emptied) sendQueuedReportsSoon();
            break;
        }
        case ReportVerdict::Drop: {
            // The service will never take it, or the user no longer lets it go out.
            const bool emptied = removeEntry(send, disabled);
            if (disabled) {
                emitEvent("report.dropped", {{"reason", "tracking disabled"}});
            } else {
                emitEvent("report.dropped",
                          {{"reason", "rejected"}, {"status", std::to_string(status)}});
                if (!emptied) sendQueuedReportsSoon();
            }
            break;
        }
        case ReportVerdict::Retry:
            keepForLater(send, attempts, status ? "HTTP " + std::to_string(status) : failure);
            if (send.queued) {
                scheduleRetry(send.generation, status, attempts,
                              retryAfterOf(headers).value_or(milliseconds(0)));
            }
            break;
    }
}

// The one place a report goes on the wire, `send` shared by the request's two blocks (one of them
// runs). False when no request could be made.
bool startSend(std::shared_ptr<const Send> sent) {
    const Send& send = *sent;
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) return false;
    auto request = makeServiceRequest(
        fillTemplate(REPORT_STATE_URL, {Plovendale::getDomainUrl(appKey), appKey}),
        toBytes(send.entry.body), REQUEST_TIMEOUT / 1000.0);
    if (!request) return false;
    request->setDiscardsResponseBody(true);  // the report's answer is never read
    std::weak_ptr<STHTTPRequest> weakRequest = request;
    request->setCompletionDataBlock(
        [sent, weakRequest](const STHTTPHeaders& headers, const Bytes&) {
            auto self = weakRequest.lock();
            finishSend(*sent, self ? self->responseStatus() : 0, headers, "");
        });
    request->setErrorBlock([sent](const Error& error) {
        Error::Headers headers;
        if (auto it = error.userInfo.find("headers"); it != error.userInfo.end()) {
            if (const auto* found = std::get_if<Error::Headers>(&it->second)) headers = *found;
        }
        finishSend(*sent, httpStatusOf(error), headers, error.localizedDescription());
    });
    request->startAsynchronous();
    return true;
}

}  // namespace

std::optional<milliseconds> retryAfterOf(const Error::Headers& headers) {
    for (const auto& [name, value] : headers) {
        if (!equalsIgnoringASCIICase(name, "retry-after")) continue;
        if (!value.empty() && std::all_of(value.begin(), value.end(),
                                          [](unsigned char c) { return std::isdigit(c); })) {
            const long long seconds = value.size() > 7 ? 9999999 : std::stoll(value);
            return milliseconds(seconds * 1000);
        }
        std::tm date{};
        const char* end = strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date);
        if (!end || *end != '\0') return std::nullopt;
        const double seconds = static_cast<double>(timegm(&date)) - Date::timeIntervalSince1970();
        return milliseconds(static_cast<long long>(std::clamp(seconds, 0.0, 9999999.0) * 1000));
    }
    return std::nullopt;
}

ReportVerdict classifyReportStatus(std::int64_t status) {
    if (status >= 200 && status < 300) return ReportVerdict::Delivered;
    // 401 and 404 say the key or the server domain is wrong, not the data: it waits for the fix.
    if (status == 401 || status == 404) return ReportVerdict::Retry;
    if (status >= 400 && status < 500 && status != 408 && status != 429) return ReportVerdict::Drop;
    return ReportVerdict::Retry;
}

milliseconds outboxBackoff(int failures, double random, milliseconds retryAfter) {
    milliseconds backoff = kFirstBackoff;
    for (int i = 1; i < failures && backoff < kMaxBackoff; ++i) backoff *= 2;
    backoff = std::min(backoff, kMaxBackoff);
    // Half fixed, half random: clients that failed together do not come back together.
    const auto jittered =
        backoff / 2 +
        milliseconds(static_cast<long long>(static_cast<double>(backoff.count()) / 2 * random));
    return std::clamp(std::max(jittered, retryAfter), milliseconds(0), MainQueue::kMaxDelay);
}

// A report written to the outbox (or refused by the store), not yet on the wire.
struct StoredReport {
    std::shared_ptr<Send> send;
    std::size_t queued = 0;  // reports in the outbox once it was written
};

std::shared_ptr<StoredReport> storeReport(std::string body,
                                          const std::map<std::string, std::string>& alsoSet) {
    const long long at = now();
    auto report = std::make_shared<StoredReport>();
    report->send = std::make_shared<Send>(
        Send{Entry{makeClientId(), std::move(body), at, 0, launchToken(), at}, false, false, 0});
    auto& send = report->send;
    {
        std::lock_guard lock(sender().mutex);
        send->generation = sender().generation;
        sender().inFlight.insert(send->entry.id);
    }
    // Written claimed, so that another launch on the same store leaves it to this one.
    send->stored = editOutbox(
        [&send](std::vector<Entry>& entries) {
            entries.push_back(send->entry);
            return true;
        },
        alsoSet, &report->queued);
    return report;
}

bool reportStored(const StoredReport& report) {
    return report.send->stored;
}

void sendStoredReport(const std::shared_ptr<StoredReport>& report, bool thenQueued) {
    const auto& send = report->send;
    if (!startSend(send)) {
        std::lock_guard lock(sender().mutex);
        sender().inFlight.erase(send->entry.id);
    }
    // A write that found no report but its own leaves the sender nothing to do; one queued by
    // another launch after it is sent by that launch.
    if (thenQueued && (!send->stored || report->queued > 1)) sendQueuedReportsSoon();
}

void sendQueuedReports() {
    std::set<std::string> ownInFlight;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(sender().mutex);
        sender().scheduled = false;
        if (sender().sending || sender().retryPending) return;
        generation = sender().generation;
        ownInFlight = sender().inFlight;
    }
    if (trackingDisabled() || StringUtils::isNullOrEmpty(CoreHelper::getAppKey())) return;
    const long long at = now();
    if (!worthClaiming(ownInFlight, at)) return;
    std::optional<Entry> claimed;
    editOutbox(
        [&](std::vector<Entry>& entries) {
            for (auto& entry : entries) {
                if (!claimable(entry, ownInFlight, at)) continue;
                if (entry.id.empty()) entry.id = makeClientId();
                entry.claimedBy = launchToken();
                entry.claimedAt = at;
                claimed = entry;
                return true;
            }
            return false;
        },
        {});
    if (!claimed) return;
    {
        std::lock_guard lock(sender().mutex);
        if (generation != sender().generation || sender().sending) return;
        sender().sending = true;
        sender().inFlight.insert(claimed->id);
    }
    if (!startSend(std::make_shared<const Send>(Send{*claimed, true, true, generation}))) {
        std::lock_guard lock(sender().mutex);
        sender().sending = false;
        sender().inFlight.erase(claimed->id);
    }
}

void sendQueuedReportsSoon() {
    {
        std::lock_guard lock(sender().mutex);
        sender().scheduled = true;
    }
    MainQueue::shared().async([] { sendQueuedReports(); });
}

bool outboxBusy() {
    std::lock_guard lock(sender().mutex);
    return sender().sending || sender().scheduled || !sender().inFlight.empty();
}

void resetOutboxSender() {
    forgetLastParsed();  // reports of a forgotten installation are not kept, not even in memory
    std::lock_guard lock(sender().mutex);
    ++sender().generation;
    sender().sending = sender().scheduled = sender().retryPending = false;
    sender().failures = 0;
    sender().inFlight.clear();
}

}  // namespace plovendale::internal
