// Events the client reports (its outbox sends them in batches) and the per-channel summary they
// add up to.

#include <algorithm>
#include <nlohmann/json.hpp>

#include "json_body.h"
#include "money.h"
#include "request_log.h"
#include "route_helpers.h"
#include "service.h"

namespace plovendale::attribution_service {
namespace {

using nlohmann::json;

/// The client's outbox sends at most this many events a batch.
constexpr std::size_t kMaxEventsPerBatch = 100;
constexpr std::size_t kMaxEventTextLength = 64;

bool isEventText(const json& value) {
    if (!value.is_string()) return false;
    const auto& text = value.get_ref<const std::string&>();
    return !text.empty() && text.size() <= kMaxEventTextLength &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '.' || c == '-';
           });
}

/// The event at `index` of the batch, or nothing with the reason in error.
std::optional<Event> eventOf(const json& item, std::size_t index, std::string& error) {
    const auto fail = [&](const std::string& why) -> std::optional<Event> {
        error = "event " + std::to_string(index) + ": " + why;
        return std::nullopt;
    };
    if (!item.is_object()) return fail("must be an object");
    Event event;
    for (const char* member : {"id", "name"}) {
        if (!isEventText(item.value(member, json())))
            return fail(std::string(1, '"').append(member).append(
                "\" must be 1 to 64 of A-Z a-z 0-9 _ . -"));
    }
    event.id = item["id"].get<std::string>();
    event.name = item["name"].get<std::string>();
    const json ts = item.value("ts", json());
    if (!ts.is_number_integer() || ts.get<long long>() < 0)
        return fail("\"ts\" must be a whole number of ms since 1970");
    event.ts = ts.get<long long>();
    const json params = item.value("params", json::object());
    if (!params.is_object() ||
        !std::all_of(params.begin(), params.end(), [](const json& v) { return v.is_string(); })) {
        return fail("\"params\" must be an object of strings");
    }
    event.paramsJson = jsonText(params);
    if (!item.contains("revenue")) return event;
    const json& revenue = item["revenue"];
    const auto amount = stringMember(revenue, "amount");
    const auto currency = stringMember(revenue, "currency");
    if (!amount || !parseAmount(*amount))
        return fail("revenue \"amount\" must be decimal text like \"9.99\"");
    if (!currency || !isCurrencyCode(*currency))
        return fail("revenue \"currency\" must be 3 upper-case letters");
    event.amount = *amount;
    event.currency = *currency;
    return event;
}

json totalsJson(const Totals& totals) {
    json revenue = json::object();
    for (const auto& [currency, amount] : totals.revenue) revenue[currency] = formatAmount(amount);
    return {{"installs", totals.installs}, {"events", totals.events}, {"revenue", revenue}};
}

}  // namespace

void Service::handleEvents(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    const auto body = key ? objectBodyOf(req, res) : std::nullopt;
    if (!body) return;
    const auto ci = stringMember(*body, "ci");
    const json items = body->value("events", json());
    if (!ci || !items.is_array() || items.size() > kMaxEventsPerBatch) {
        replyError(res, 400, "body must be {\"ci\":<string>,\"events\":[at most 100 events]}");
        return;
    }
    std::vector<Event> events;
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string error;
        auto event = eventOf(items[i], i, error);
        if (!event) {
            // Naming the event lets the client drop it alone and send the rest again.
            replyJson(res, 400,
                      json{{"status", 400}, {"error", error}, {"event", static_cast<int>(i)}});
            return;
        }
        event->ci = *ci;
        events.push_back(std::move(*event));
    }
    const auto outcome = store_.addEvents(*key, events);
    if (!outcome) {
        writeLogLine("error: could not record events: " + store_.lastError());
        replyUnavailable(res, "could not store the events");
        return;
    }
    replyJson(
        res, 200,
        json{
            {"status", 200}, {"accepted", outcome->accepted}, {"duplicates", outcome->duplicates}});
}

void Service::handleListEvents(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    const auto page = key ? pageOf(req, res) : std::nullopt;
    if (!page) return;
    json list = json::array();
    long long cursor = 0;
    const auto rows = store_.events(*key, *page);
    if (!rows) {
        writeLogLine("error: could not read the events: " + store_.lastError());
        replyUnavailable(res, "could not read the events");
        return;
    }
    for (const Event& event : *rows) {
        cursor = event.rowId;
        list.push_back(eventJson(event));
    }
    replyPage(res, list, *page, cursor);
}

void Service::handleSummary(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    const auto summary = store_.summary(*key);
    if (!summary) {
        writeLogLine("error: could not read the summary: " + store_.lastError());
        replyUnavailable(res, "could not read the summary");
        return;
    }
    replyJson(res, 200, summaryJson(*key, *summary));
}

json eventJson(const Event& event) {
    std::string ignored;
    json item = {{"id", event.id},
                 {"name", event.name},
                 {"ts", event.ts},
                 {"params", parseObjectBody(event.paramsJson, ignored).value_or(json::object())},
                 {"ci", event.ci},
                 {"received_at", event.receivedAt}};
    if (!event.currency.empty())
        item["revenue"] = {{"amount", event.amount}, {"currency", event.currency}};
    return item;
}

json summaryJson(const std::string& appKey, const Summary& summary) {
    json channels = json::array();
    for (const auto& [channel, totals] : summary.channels) {
        json entry = totalsJson(totals);
        entry["channel"] = channel;
        channels.push_back(std::move(entry));
    }
    json unknown = totalsJson(summary.unknown);
    unknown.erase("installs");
    return {{"status", 200},
            {"app_key", appKey},
            {"channels", channels},
            {"organic", totalsJson(summary.organic)},
            {"unknown", unknown}};
}

}  // namespace plovendale::attribution_service
