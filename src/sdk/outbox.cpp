#include "sdk/outbox.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <deque>
#include <nlohmann/json.hpp>

#include "host/clock.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "sdk/client_id.h"
#include "sdk/events.h"
#include "sdk/outbox_store.h"
#include "sdk/outbox_writer.h"
#include "util/format.h"
#include "util/json_serialization.h"
#include "util/text.h"

namespace plovendale::internal {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{1000};
constexpr milliseconds kMaxBackoff{5 * 60 * 1000};
}  // namespace

std::string jsonString(const std::string& text) {
    std::string out;
    if (appendJSONString(out, text)) return out;
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

OutboxEntry reportEntry(std::string id, long long ts, std::string body, int attempts) {
    // The members in the order the JSON library writes an object's: a stored entry read back
    // makes the same text. Built member by member: a tree of them costs the install trace a
    // tenth of raw libcurl's two requests (bench/install_trace_bench).
    std::string text = "{\"attempts\":" + std::to_string(attempts) +
                       ",\"body\":" + jsonString(body) + ",\"id\":" + jsonString(id) +
                       ",\"kind\":\"report\",\"ts\":" + std::to_string(ts) + "}";
    return OutboxEntry{std::move(id),   ts,      std::move(text), OutboxKind::Report,
                       std::move(body), attempts};
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

bool storeReport(std::string body, const std::map<std::string, std::string>& alsoSet) {
    const auto ts = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    OutboxEntry entry = reportEntry(makeClientId(), ts, std::move(body), 0);
    if (entry.text.size() > kMaxEntryBytes) {
        // Never made by this library: a report holds a few short fields.
        Log::write("[Plovendale] A state report too large to keep was dropped.");
        entry = {};
    }
    std::vector<OutboxEntry> group;
    if (!entry.id.empty()) group.push_back(std::move(entry));
    const auto written = writeOutbox(outboxGeneration(), std::move(group), {}, alsoSet);
    tellEventsPruned(written);
    return written.stored;
}

// Said once per write or read, after the store's writes (never under its lock).
void tellEventsPruned(const OutboxWrite& dropped) {
    const auto events = dropped.malformed + dropped.tooOld + dropped.tooMany;
    if (events > 0) {
        Log::write(fillTemplate(
            "[Plovendale] Dropped %@ undelivered events (unreadable, older than 30 days or beyond "
            "10000).",
            {std::to_string(events)}));
    }
    if (dropped.malformed) tellEventsDropped("malformed", dropped.malformed);
    if (dropped.tooOld) tellEventsDropped("too old", dropped.tooOld);
    if (dropped.tooMany) tellEventsDropped("too many", dropped.tooMany);
    const auto tellReports = [](const char* reason, std::size_t count) {
        if (count)
            emitEvent("report.dropped", {{"reason", reason}, {"count", std::to_string(count)}});
    };
    if (dropped.reportsMalformed) {
        Log::write(
            fillTemplate("[Plovendale] Dropped %@ stored state reports that could not be read.",
                         {std::to_string(dropped.reportsMalformed)}));
        tellReports("malformed", dropped.reportsMalformed);
    }
    if (dropped.reportsTooOld + dropped.reportsTooMany > 0) {
        Log::write(fillTemplate(
            "[Plovendale] Dropped %@ undelivered state reports (older than 7 days or beyond 100).",
            {std::to_string(dropped.reportsTooOld + dropped.reportsTooMany)}));
    }
    tellReports("too old", dropped.reportsTooOld);
    tellReports("too many", dropped.reportsTooMany);
}

void tellEventsDropped(const char* reason, std::size_t count, const std::string& status) {
    std::map<std::string, std::string> values{{"reason", reason}, {"count", std::to_string(count)}};
    if (!status.empty()) values["status"] = status;
    emitEvent("event.dropped", std::move(values));
}

std::size_t queuedReportCount() {
    // Read again each time: another launch sharing the store may have queued or sent some.
    refreshOutbox(outboxGeneration());
    return knownCount(OutboxKind::Report);
}

void forgetOutbox() {
    std::deque<OutboxEntry> dropped;
    {
        // Under the writer's lock: a group it takes is either dropped here or written under the
        // generation it was taken in, never under the new one.
        auto& w = outbox_sending::writer();
        std::lock_guard lock(w.mutex);
        advanceOutboxGeneration();
        dropped.swap(w.pending);
        w.droppedUnwritten = 0;
    }
    auto& s = outbox_sending::sender();
    std::lock_guard lock(s.mutex);
    s.sending = s.scheduled = s.retryPending = s.traceSettled = s.durableEdits = false;
    s.passing = s.leaseWaiting = false;
    s.leaseWaits = 0;
    s.failures = 0;
    s.held.clear();
    s.heldOrder.clear();
    s.answered = {};
    s.leaseRenewed.reset();
}

}  // namespace plovendale::internal
