#include "sdk/outbox.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "host/identifiers.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/service_request.h"
#include "util/format.h"
#include "util/string_utils.h"
#include "util/text.h"

namespace plovendale::internal {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{1000};
constexpr milliseconds kMaxBackoff{5 * 60 * 1000};

struct Entry {
    std::string body;
    long long queuedAt = 0;  // whole seconds, as stored
    int attempts = 0;
};

struct Sender {
    std::mutex mutex;
    bool sending = false;       // a report is on the wire
    bool scheduled = false;     // sendQueuedReports is posted
    bool retryPending = false;  // waiting out a backoff
    int failures = 0;           // in a row, in this process
    std::uint64_t generation = 1;
    std::mt19937 random{std::random_device{}()};
};

Sender& sender() {
    static Sender instance;
    return instance;
}

std::vector<Entry> load() {
    std::vector<Entry> entries;
    const auto text = Platform::keyValueStore()->stringForKey(kOutboxKey);
    if (!text) return entries;
    const auto stored = nlohmann::json::parse(*text, nullptr, false);
    if (!stored.is_array()) return entries;
    for (const auto& item : stored) {
        // An entry that is not as written is skipped; the rest still go out.
        if (!item.is_object() || !item.contains("body") || !item["body"].is_string()) continue;
        Entry entry{item["body"].get<std::string>(), 0, 0};
        if (item.contains("queuedAt") && item["queuedAt"].is_number())
            entry.queuedAt = static_cast<long long>(item["queuedAt"].get<double>());
        if (item.contains("attempts") && item["attempts"].is_number_integer())
            entry.attempts = item["attempts"].get<int>();
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool save(const std::vector<Entry>& entries) {
    auto store = Platform::keyValueStore();
    bool stored = false;
    if (entries.empty()) {
        stored = store->removeObjectForKey(kOutboxKey);
    } else {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& entry : entries) {
            list.push_back(
                {{"body", entry.body}, {"queuedAt", entry.queuedAt}, {"attempts", entry.attempts}});
        }
        stored = store->setString(
            list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), kOutboxKey);
    }
    if (!stored) emitEvent("store.failed", {{"what", "outbox"}});
    return stored;
}

// Drops reports older than the age bound, then the oldest beyond the count bound.
bool prune(std::vector<Entry>& entries) {
    const double oldest = Date::timeIntervalSince1970() - kOutboxMaxAgeSeconds;
    const auto before = entries.size();
    std::erase_if(entries, [oldest](const Entry& entry) {
        return static_cast<double>(entry.queuedAt) < oldest;
    });
    const auto tooOld = before - entries.size();
    const auto tooMany =
        entries.size() > kOutboxMaxReports ? entries.size() - kOutboxMaxReports : 0;
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(tooMany));
    if (tooOld + tooMany == 0) return false;
    Log::write(fillTemplate(
        "[Plovendale] Dropped %@ undelivered state reports (older than 7 days or beyond 100).",
        {std::to_string(tooOld + tooMany)}));
    if (tooOld)
        emitEvent("report.dropped", {{"reason", "too old"}, {"count", std::to_string(tooOld)}});
    if (tooMany)
        emitEvent("report.dropped", {{"reason", "too many"}, {"count", std::to_string(tooMany)}});
    return true;
}

bool sameEntry(const Entry& a, const Entry& b) {
    return a.body == b.body && a.queuedAt == b.queuedAt;
}

// Applies `change` to the stored copy of `sent` (another launch or a forget may have changed the
// outbox meanwhile), and stores the result.
template <typename Change>
void updateEntry(const Entry& sent, Change change) {
    auto entries = load();
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const Entry& e) { return sameEntry(e, sent); });
    if (it == entries.end()) return;
    change(entries, it);
    save(entries);
}

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

void scheduleRetry(std::uint64_t generation, std::int64_t status, int attempts,
                   milliseconds retryAfter) {
    milliseconds delay{};
    {
        std::lock_guard lock(sender().mutex);
        const double random = std::uniform_real_distribution<double>(0.0, 1.0)(sender().random);
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

void finishSend(std::uint64_t generation, const Entry& sent, std::int64_t status,
                const Error::Headers& headers) {
    {
        std::lock_guard lock(sender().mutex);
        if (generation != sender().generation) return;
        sender().sending = false;
    }
    const int attempts = sent.attempts + 1;
    if (status >= 200 && status < 300) {
        updateEntry(sent, [](auto& entries, auto it) { entries.erase(it); });
        {
            std::lock_guard lock(sender().mutex);
            sender().failures = 0;
        }
        emitEvent("report.delivered", {{"attempts", std::to_string(attempts)}});
        sendQueuedReportsSoon();
    } else if (status >= 400 && status < 500 && status != 408 && status != 429) {
        // The service will never take this report.
        updateEntry(sent, [](auto& entries, auto it) { entries.erase(it); });
        emitEvent("report.dropped", {{"reason", "rejected"}, {"status", std::to_string(status)}});
        sendQueuedReportsSoon();
    } else {
        updateEntry(sent, [attempts](auto&, auto it) { it->attempts = attempts; });
        scheduleRetry(generation, status, attempts,
                      retryAfterOf(headers).value_or(milliseconds(0)));
    }
}

}  // namespace

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

void queueReport(const std::string& body, const std::string& why) {
    if (trackingDisabled()) {
        emitEvent("report.dropped", {{"reason", "tracking disabled"}});
        return;
    }
    auto entries = load();
    entries.push_back(Entry{body, static_cast<long long>(Date::timeIntervalSince1970()), 1});
    prune(entries);
    if (save(entries)) {
        emitEvent("report.queued", {{"reason", why}, {"queued", std::to_string(entries.size())}});
    }
}

void sendQueuedReports() {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(sender().mutex);
        sender().scheduled = false;
        if (sender().sending || sender().retryPending) return;
        generation = sender().generation;
    }
    if (trackingDisabled()) return;
    auto entries = load();
    if (prune(entries)) save(entries);
    const std::string appKey = CoreHelper::getAppKey();
    if (entries.empty() || StringUtils::isNullOrEmpty(appKey)) return;
    const Entry sent = entries.front();
    auto request = makeServiceRequest(
        fillTemplate(REPORT_STATE_URL, {Plovendale::getDomainUrl(appKey), appKey}),
        toBytes(sent.body), REQUEST_TIMEOUT / 1000.0);
    if (!request) return;
    {
        std::lock_guard lock(sender().mutex);
        if (generation != sender().generation || sender().sending) return;
        sender().sending = true;
    }
    request->setDiscardsResponseBody(true);
    std::weak_ptr<STHTTPRequest> weakRequest = request;
    request->setCompletionDataBlock(
        [generation, sent, weakRequest](const STHTTPHeaders& headers, const Bytes&) {
            auto self = weakRequest.lock();
            finishSend(generation, sent, self ? self->responseStatus() : 0, headers);
        });
    request->setErrorBlock([generation, sent](const Error& error) {
        Error::Headers headers;
        if (auto it = error.userInfo.find("headers"); it != error.userInfo.end()) {
            if (const auto* found = std::get_if<Error::Headers>(&it->second)) headers = *found;
        }
        finishSend(generation, sent, httpStatusOf(error), headers);
    });
    request->startAsynchronous();
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
    return sender().sending || sender().scheduled;
}

void resetOutboxSender() {
    std::lock_guard lock(sender().mutex);
    ++sender().generation;
    sender().sending = sender().scheduled = sender().retryPending = false;
    sender().failures = 0;
}

}  // namespace plovendale::internal

namespace plovendale {

std::size_t Plovendale::queuedReportCount() {
    try {
        return internal::load().size();
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace plovendale
