#include "sdk/outbox_store.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "host/clock.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/client_id.h"
#include "sdk/events.h"
#include "util/format.h"
#include "util/json_serialization.h"

namespace plovendale::internal {
using namespace report_outbox;  // NOLINT(google-build-using-namespace)

namespace {

// A launch holds its claim on a report while the report is on the wire (10 s at most); a claim
// older than this belongs to a launch that is gone, whatever its process identifier says now.
constexpr double kClaimLeaseSeconds = 60;
// Stored times outside this range are not times this library wrote.
constexpr double kLatestTime = 1e11;
constexpr int kMaxAttempts = 1000000;

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

bool processGone(const std::string& token) {
    const auto dash = token.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9) return false;
    for (std::size_t i = 0; i < dash; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
    }
    const auto pid = static_cast<pid_t>(std::stol(token.substr(0, dash)));
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

namespace report_outbox {

long long now() {
    return static_cast<long long>(Date::timeIntervalSince1970());
}

void forgetLastParsed() {
    Parsed none;
    std::lock_guard lock(lastParsed().mutex);
    std::swap(lastParsed().parsed, none);
}

bool editOutbox(const std::function<bool(std::vector<Entry>&)>& edit,
                const std::map<std::string, std::string>& alsoSet, std::size_t* count,
                bool durable) {
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

bool claimable(const Entry& entry, const std::set<std::string>& ownInFlight, long long at) {
    if (entry.claimedBy == launchToken()) return !ownInFlight.count(entry.id);
    return !claimHeldElsewhere(entry.claimedBy, entry.claimedAt, at);
}

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

}  // namespace report_outbox

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
