#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "store.h"

namespace plovendale::attribution_service {

/// Inspection lists answer at most this many rows a request, whatever `?limit=` asks.
inline constexpr int kMaxPageSize = 1000;

/// The app key of the path, or nothing after answering 404.
std::optional<std::string> appKeyOf(const httplib::Request& req, httplib::Response& res);
/// The body as a JSON object, or nothing after answering 400.
std::optional<nlohmann::json> objectBodyOf(const httplib::Request& req, httplib::Response& res);
/// `?limit=` (1 to kMaxPageSize, default 100) and `?after=<cursor>`, or nothing after answering
/// 400.
std::optional<Page> pageOf(const httplib::Request& req, httplib::Response& res);
/// Answers the list, with the header Next-Cursor when the page is full.
void replyPage(httplib::Response& res, const nlohmann::json& list, const Page& page,
               long long lastCursor);
/// 503 with Retry-After: what was sent was not stored, and the client should send it again.
void replyUnavailable(httplib::Response& res, const std::string& message);

/// The JSON form of an event, as the inspection list and the console show it.
nlohmann::json eventJson(const Event& event);
/// The summary answer: {"status":200,"app_key","channels":[{"channel","installs","events",
/// "revenue":{"EUR":"19.98"}}],"organic":{...},"unknown":{"events","revenue"}}.
nlohmann::json summaryJson(const std::string& appKey, const Summary& summary);

/// Adds the console's link views of key ("": none) to answer: "funnels", per link its clicks,
/// installs by match method, events and revenue; "clicks", the newest clicks. False when the
/// database could not be read.
bool addLinkViews(Store& store, const std::string& key, int rows, nlohmann::json& answer);

/// The JSON form of a click, as the inspection list and the console show it.
nlohmann::json clickJson(const Click& click);

/// The console: one self-contained HTML page that polls /api/console.
const std::string& consolePage();

}  // namespace plovendale::attribution_service
