#include "sdk/outbox.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "host/clock.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/client_id.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/service_request.h"
#include "util/format.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"
#include "util/text.h"

namespace plovendale::internal {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{1000};
constexpr milliseconds kMaxBackoff{5 * 60 * 1000};
// A launch holds its claim on a report while the report is on the wire (10 s at most); a claim
// older than this belongs to a launch that is gone, whatever its process identifier says now.
constexpr double kClaimLeaseSeconds = 60;
// Stored times outside this range are not times this library wrote.
constexpr double kLatestTime = 1e11;
constexpr int kMaxAttempts = 1000000;

struct Entry {
    std::string id;  // "" in arrays written before entries had one
    std::string body;
    long long queuedAt = 0;  // whole seconds, as stored
    int attempts = 0;
    std::string claimedBy;  // the launch sending it, "" when none
    long long claimedAt = 0;
};

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

long long now() {
    return static_cast<long long>(Date::timeIntervalSince1970());
}

// Whether a time is one this library could have written (a value such as 1e300 would not fit the
// integer it becomes).
bool storableTime(double seconds) {
    return std::isfinite(seconds) && seconds >= 0 && seconds <= kLatestTime;
}
// A stored time, or nothing when it is not one this library could have written.
std::optional<long long> storedTime(const nlohmann::json& value) {
    if (!value.is_number()) return std::nullopt;
    const double seconds = value.get<double>();
    if (!storableTime(seconds)) return std::nullopt;
    return static_cast<long long>(seconds);
}

std::optional<Entry> entryOf(const nlohmann::json& item) {
    if (!item.is_object()) return std::nullopt;
    const auto body = item.find("body");
    const auto queuedAt = item.find("queuedAt");
    if (body == item.end() || !body->is_string() || queuedAt == item.end()) return std::nullopt;
    const auto queued = storedTime(*queuedAt);
    if (!queued) return std::nullopt;
    Entry entry{"", body->get<std::string>(), *queued, 0, "", 0};
    if (auto it = item.find("attempts"); it != item.end() && it->is_number_integer()) {
        entry.attempts =
            static_cast<int>(std::clamp<std::int64_t>(it->get<std::int64_t>(), 0, kMaxAttempts));
    }
    if (auto it = item.find("id"); it != item.end() && it->is_string())
        entry.id = it->get<std::string>();
    auto by = item.find("claimedBy");
    auto at = item.find("claimedAt");
    if (by != item.end() && by->is_string() && at != item.end() && storedTime(*at)) {
        entry.claimedBy = by->get<std::string>();
        entry.claimedAt = *storedTime(*at);
    }
    return entry;
}

// What one reading of the stored outbox found, besides its entries.
struct Reading {
    std::vector<Entry> entries;
    std::size_t malformed = 0;  // entries (or a whole value) not as this library writes them
    std::size_t tooOld = 0;
    std::size_t tooMany = 0;
    bool pruned() const { return malformed + tooOld + tooMany > 0; }
};

// A stored text's entries as written (before the age bound, which moves with the clock), and
// how many were not.
struct Parsed {
    std::string text;
    std::vector<Entry> entries;
    std::size_t malformed = 0;
};

// What the parser makes of `text`, given the value it parses to.
Parsed parsedFrom(const nlohmann::json& stored, const std::string& text) {
    Parsed parsed{text, {}, 0};
    if (!stored.is_array()) {
        parsed.malformed = 1;
        return parsed;
    }
    for (const auto& item : stored) {
        if (auto entry = entryOf(item)) {
            parsed.entries.push_back(std::move(*entry));
        } else {
            ++parsed.malformed;
        }
    }
    return parsed;
}

// The last text parsed or written: a query's report is written, then read by the sender's look
// and by its removal after delivery, unchanged in between, and parsing costs more than the store's
// read. What was parsed is used only for the very same text (compared whole), of which it is a
// pure function.
struct LastParsed {
    std::mutex mutex;
    Parsed parsed;
};

LastParsed& lastParsed() {
    static LastParsed* instance = new LastParsed;  // NOLINT(cppcoreguidelines-owning-memory)
    return *instance;
}

void remember(Parsed parsed) {
    std::lock_guard lock(lastParsed().mutex);
    lastParsed().parsed =
        std::move(parsed);  // moves allocate nothing: text and entries stay a pair
}

std::vector<Entry> entriesOf(const std::string& text, std::size_t* malformed) {
    auto& last = lastParsed();
    {
        std::lock_guard lock(last.mutex);
        if (last.parsed.text == text) {
            *malformed = last.parsed.malformed;
            return last.parsed.entries;
        }
    }
    Parsed parsed = parsedFrom(parseJSONText(text), text);
    *malformed = parsed.malformed;
    std::vector<Entry> entries = parsed.entries;
    remember(std::move(parsed));
    return entries;
}

void forgetLastParsed() {
    Parsed none;
    std::lock_guard lock(lastParsed().mutex);
    std::swap(lastParsed().parsed, none);
}

// Reads the stored array within its bounds: a value past the size bound or not an array is
// dropped whole, an entry not as written is dropped alone, and so are reports past the age bound.
Reading read(const std::optional<std::string>& text, long long at) {
    Reading reading;
    if (!text) return reading;
    if (text->size() > kOutboxMaxStoredBytes) {
        reading.malformed = 1;
        return reading;
    }
    const long long oldest = at - static_cast<long long>(kOutboxMaxAgeSeconds);
    for (auto& entry : entriesOf(*text, &reading.malformed)) {
        if (entry.queuedAt < oldest) {
            ++reading.tooOld;
        } else {
            reading.entries.push_back(std::move(entry));
        }
    }
    return reading;
}

// Keeps the newest reports within the count bound.
void trim(Reading& reading) {
    reading.tooMany += dropOldestBeyond(reading.entries, kOutboxMaxReports);
}

// The text as the JSON library writes the array (members in key order), by way of its tree: for
// entries with text that is not valid UTF-8, which it writes with replacement characters. Such a
// text parses to other strings than the entries', so what it parses to is not remembered.
std::string serializeThroughTree(const std::vector<Entry>& entries) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& entry : entries) {
        // Member by member: a braced list builds every pair as an array first.
        nlohmann::json item;
        item["body"] = entry.body;
        item["queuedAt"] = entry.queuedAt;
        item["attempts"] = entry.attempts;
        if (!entry.id.empty()) item["id"] = entry.id;
        if (!entry.claimedBy.empty()) {
            item["claimedBy"] = entry.claimedBy;
            item["claimedAt"] = entry.claimedAt;
        }
        list.push_back(std::move(item));
    }
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendInteger(std::string& out, long long value) {
    char digits[24];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), value);
    out.append(digits, written.ptr);
}

// One entry, written as the JSON library writes its object: members in key order, a claim and an
// id only when there is one. False when a string is not valid UTF-8.
bool appendEntry(std::string& out, const Entry& entry) {
    out += R"({"attempts":)";
    appendInteger(out, entry.attempts);
    out += R"(,"body":)";
    if (!appendJSONString(out, entry.body)) return false;
    if (!entry.claimedBy.empty()) {
        out += R"(,"claimedAt":)";
        appendInteger(out, entry.claimedAt);
        out += R"(,"claimedBy":)";
        if (!appendJSONString(out, entry.claimedBy)) return false;
    }
    if (!entry.id.empty()) {
        out += R"(,"id":)";
        if (!appendJSONString(out, entry.id)) return false;
    }
    out += R"(,"queuedAt":)";
    appendInteger(out, entry.queuedAt);
    out += '}';
    return true;
}

// Makes `entry` what entryOf makes of it once written, so that the text need not be parsed to learn
// it; false when entryOf would drop it.
bool readBack(Entry& entry) {
    if (!storableTime(static_cast<double>(entry.queuedAt))) return false;
    entry.attempts = std::clamp(entry.attempts, 0, kMaxAttempts);
    if (entry.claimedBy.empty() || !storableTime(static_cast<double>(entry.claimedAt))) {
        entry.claimedBy.clear();
        entry.claimedAt = 0;
    }
    return true;
}

// The text of `entries`, which then become what it reads back as (they are not copied for that).
std::optional<std::string> serialize(std::vector<Entry>&& entries) {
    if (entries.empty()) return std::nullopt;
    std::size_t size = 2;
    for (const auto& entry : entries)
        size += entry.body.size() + entry.id.size() + entry.claimedBy.size() + 120;
    std::string text;
    text.reserve(size);
    text += '[';
    for (const auto& entry : entries) {
        if (text.size() > 1) text += ',';
        if (!appendEntry(text, entry)) return serializeThroughTree(entries);
    }
    text += ']';
    const auto kept = std::remove_if(entries.begin(), entries.end(),
                                     [](Entry& entry) { return !readBack(entry); });
    const auto malformed = static_cast<std::size_t>(entries.end() - kept);
    entries.erase(kept, entries.end());
    remember(Parsed{text, std::move(entries), malformed});
    return text;
}

// Said once per reading, after the store's write (never under its lock).
void tellPruned(const Reading& reading) {
    if (reading.malformed) {
        Log::write(
            fillTemplate("[Plovendale] Dropped %@ stored state reports that could not be read.",
                         {std::to_string(reading.malformed)}));
        emitEvent("report.dropped",
                  {{"reason", "malformed"}, {"count", std::to_string(reading.malformed)}});
    }
    const auto dropped = reading.tooOld + reading.tooMany;
    if (dropped == 0) return;
    Log::write(fillTemplate(
        "[Plovendale] Dropped %@ undelivered state reports (older than 7 days or beyond 100).",
        {std::to_string(dropped)}));
    if (reading.tooOld)
        emitEvent("report.dropped",
                  {{"reason", "too old"}, {"count", std::to_string(reading.tooOld)}});
    if (reading.tooMany)
        emitEvent("report.dropped",
                  {{"reason", "too many"}, {"count", std::to_string(reading.tooMany)}});
}

// Reads the outbox as the store holds it now (another launch may have changed it), lets `edit`
// change the entries (answering whether it did), and stores the result with `alsoSet` in one
// write. `edit` runs under the store's lock: it only computes. Answers whether the write took;
// `count`, when given, receives how many reports are stored. A write that a crash may undo
// without harm (`durable` false, nothing in `alsoSet`) does not wait for the disk.
template <typename Edit>
bool editOutbox(Edit edit, const std::map<std::string, std::string>& alsoSet,
                std::size_t* count = nullptr, bool durable = true) {
    Reading reading;
    std::size_t left = 0;        // reports in the outbox once written
    const long long at = now();  // the clock may be the host's: never asked under the store's lock
    const auto change =
        [&](const std::optional<std::string>& current) -> std::optional<std::string> {
        reading = read(current, at);
        trim(reading);  // what is past the bound is not sent either
        const bool edited = edit(reading.entries);
        trim(reading);
        left = reading.entries.size();
        if (!edited && !reading.pruned()) return current;
        return serialize(std::move(reading.entries));
    };
    auto store = Platform::keyValueStore();
    const bool stored = durable || !alsoSet.empty() ? store->update(kOutboxKey, change, alsoSet)
                                                    : store->updateWithoutSync(kOutboxKey, change);
    if (!stored) {
        emitEvent("store.failed", {{"what", "outbox"}});
        return false;
    }
    tellPruned(reading);
    if (count) *count = left;
    return true;
}

std::vector<Entry>::iterator findEntry(std::vector<Entry>& entries, const Entry& sent) {
    return std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
        return e.id == sent.id && e.body == sent.body && e.queuedAt == sent.queuedAt;
    });
}

bool processGone(const std::string& token) {
    const auto dash = token.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9) return false;
    for (std::size_t i = 0; i < dash; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
    }
    const auto pid = static_cast<pid_t>(std::stol(token.substr(0, dash)));
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Whether this launch may send `entry`: no launch is sending it, or the one that was is gone.
bool claimable(const Entry& entry, const std::set<std::string>& ownInFlight, long long at) {
    if (entry.claimedBy == launchToken()) return !ownInFlight.count(entry.id);
    return !claimHeldElsewhere(entry.claimedBy, entry.claimedAt, at);
}

// Most passes of the sender find nothing to send (the report of the query that just ended is on
// the wire or gone): a look at the file, which takes no write lock, tells so without the store's
// write transaction. What it finds is read again inside that transaction, another launch may have
// taken it meanwhile; a look that fails leaves the decision to the transaction.
bool worthClaiming(const std::set<std::string>& ownInFlight, long long at) {
    try {
        Reading look = read(Platform::keyValueStore()->currentStringForKey(kOutboxKey), at);
        trim(look);
        return look.pruned() ||
               std::any_of(look.entries.begin(), look.entries.end(),
                           [&](const Entry& entry) { return claimable(entry, ownInFlight, at); });
    } catch (const std::exception&) {
        return true;
    }
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

// Names this launch in the claims it writes: the process, so that a claim of a process that is
// gone can be taken at once, and a random part, as process identifiers are reused.
const std::string& launchToken() {
    static const std::string token =
        std::to_string(::getpid()) + "-" + makeClientId().substr(0, 12);
    return token;
}

bool claimHeldElsewhere(const std::string& claimedBy, long long claimedAt, long long at) {
    if (claimedBy.empty() || claimedBy == launchToken()) return false;
    if (std::llabs(at - claimedAt) > static_cast<long long>(kClaimLeaseSeconds)) return false;
    return !processGone(claimedBy);
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

namespace plovendale {

std::size_t Plovendale::queuedReportCount() {
    try {
        std::size_t count = 0;
        internal::editOutbox([](auto&) { return false; }, {}, &count);
        return count;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace plovendale
