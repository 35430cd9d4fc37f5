#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>

#include "host/clock.h"
#include "plovendale/platform/log.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/outbox.h"
#include "util/identifiers.h"
#include "util/text.h"

namespace plovendale {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxNameLength = 64;
constexpr std::size_t kMaxParams = 50;
constexpr std::size_t kMaxParamKeyBytes = 64;
constexpr std::size_t kMaxParamValueBytes = 1024;
constexpr std::size_t kMaxAmountDigits = 15;
constexpr std::size_t kMaxAmountDecimals = 6;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Names and ids stand in the service's records and reports as they are: a small alphabet that
// needs no escaping anywhere.
bool isToken(std::string_view text) {
    return !text.empty() && text.size() <= kMaxNameLength &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
                      c == '.' || c == '-';
           });
}

std::size_t digitsFrom(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && isDigit(text[end])) ++end;
    return end - at;
}

// Money stays decimal text from the host to the service: a binary floating value would turn
// "0.1" into something else.
bool isAmount(std::string_view text) {
    std::size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
    const std::size_t whole = digitsFrom(text, at);
    if (whole == 0 || whole > kMaxAmountDigits) return false;
    at += whole;
    if (at == text.size()) return true;
    if (text[at] != '.') return false;
    const std::size_t fraction = digitsFrom(text, at + 1);
    return fraction > 0 && fraction <= kMaxAmountDecimals && at + 1 + fraction == text.size();
}

bool isCurrency(std::string_view text) {
    return text.size() == 3 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// What is wrong with the arguments, or nothing.
const char* problemOf(const std::string& name, const std::map<std::string, std::string>& params,
                      const std::optional<Revenue>& revenue,
                      const std::optional<std::string>& eventId) {
    if (!isToken(name)) return "the name must be 1 to 64 letters, digits, \"_\", \".\" or \"-\"";
    if (params.size() > kMaxParams) return "there are more than 50 params";
    for (const auto& [key, value] : params) {
        if (key.empty() || key.size() > kMaxParamKeyBytes)
            return "a param key must be 1 to 64 bytes";
        if (value.size() > kMaxParamValueBytes) return "a param value is longer than 1024 bytes";
        if (!isValidUTF8(key) || !isValidUTF8(value)) return "a param is not valid UTF-8";
    }
    if (revenue && !isAmount(revenue->amount))
        return "the revenue amount must be decimal text such as \"9.99\"";
    if (revenue && !isCurrency(revenue->currency))
        return "the revenue currency must be three capital letters (ISO 4217)";
    if (eventId && !isToken(*eventId))
        return "the event id must be 1 to 64 letters, digits, \"_\", \".\" or \"-\"";
    return nullptr;
}

bool refused(const std::string& why) {
    Log::write("[Plovendale] trackEvent failed, " + why + ".");
    return false;
}

}  // namespace

bool Plovendale::trackEvent(const std::string& name,
                            const std::map<std::string, std::string>& params,
                            const std::optional<Revenue>& revenue,
                            const std::optional<std::string>& eventId) {
    try {
        if (const char* problem = problemOf(name, params, revenue, eventId))
            return refused(problem);
        if (internal::trackingDisabled()) return refused("tracking is disabled");
        if (internal::startState() != internal::StartState::Started)
            return refused(std::string("the app key is not available: ") + internal::whyNoAppKey());
        const std::string id = eventId ? *eventId : lowercasedASCII(UUID::UUIDString());
        json event = {{"id", id},
                      {"name", name},
                      {"ts", static_cast<long long>(Date::timeIntervalSince1970() * 1000)},
                      {"params", params}};
        if (revenue)
            event["revenue"] = {{"amount", revenue->amount}, {"currency", revenue->currency}};
        std::string text = event.dump(-1, ' ', false, json::error_handler_t::replace);
        if (text.size() > internal::kMaxEventBytes)
            return refused("the event is larger than 4 KiB as JSON");
        internal::queueEvent({id, event["ts"].get<long long>(), std::move(text)});
        return true;
    } catch (const std::exception& e) {
        return refused(std::string("the library could not keep it (") + e.what() + ")");
    }
}

FlushResult Plovendale::flush(double timeoutMs) {
    try {
        const double bounded = timeoutMs > 0 ? std::min(timeoutMs, 3600.0 * 1000) : 0.0;
        if (!internal::flushOutbox(std::chrono::milliseconds(static_cast<long long>(bounded))))
            return FlushResult::TimedOut;
        return internal::queuedEventCount() == 0 ? FlushResult::Delivered
                                                 : FlushResult::StoredNotSent;
    } catch (const std::exception&) {
        return FlushResult::TimedOut;
    }
}

std::size_t Plovendale::queuedEventCount() {
    try {
        return internal::queuedEventCount();
    } catch (const std::exception&) {
        return 0;
    }
}

std::size_t Plovendale::queuedReportCount() {
    try {
        return internal::queuedReportCount();
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace plovendale
