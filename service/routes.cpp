// The endpoints of the service. Every handler validates the app key of the path first; keys are
// not registered in advance, any well-formed key has its own (possibly empty) set of links.

#include <charconv>
#include <limits>
#include <nlohmann/json.hpp>

#include "common/wake_up_link.h"
#include "identifiers.h"
#include "json_body.h"
#include "landing.h"
#include "request_log.h"
#include "route_helpers.h"
#include "service.h"

namespace plovendale::attribution_service {
namespace {

using nlohmann::json;

constexpr const char* kNoLink = "no link for this trace id";
constexpr const char* kNoTraceId = "the request carries no trace id";

}  // namespace

std::optional<std::string> appKeyOf(const httplib::Request& req, httplib::Response& res) {
    std::string key = req.matches.size() > 1 ? req.matches[1].str() : std::string();
    if (isValidAppKey(key)) return key;
    replyError(res, 404, "unknown app key");
    return std::nullopt;
}

std::optional<json> objectBodyOf(const httplib::Request& req, httplib::Response& res) {
    std::string error;
    auto body = parseObjectBody(req.body, error);
    if (!body) replyError(res, 400, error);
    return body;
}

std::optional<Page> pageOf(const httplib::Request& req, httplib::Response& res) {
    Page page;
    const auto number = [&](const char* name, long long min, long long max,
                            long long& out) -> bool {
        if (!req.has_param(name)) return true;
        const std::string text = req.get_param_value(name);
        long long value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min ||
            value > max) {
            replyError(res, 400,
                       std::string(name) + " must be a whole number from " + std::to_string(min) +
                           " to " + std::to_string(max));
            return false;
        }
        out = value;
        return true;
    };
    long long limit = page.limit;
    if (!number("limit", 1, kMaxPageSize, limit) ||
        !number("after", 0, std::numeric_limits<long long>::max(), page.after))
        return std::nullopt;
    page.limit = static_cast<int>(limit);
    return page;
}

void replyPage(httplib::Response& res, const json& list, const Page& page, long long lastCursor) {
    // A full page may have more behind it; the cursor of its last row asks for them.
    if (static_cast<int>(list.size()) == page.limit)
        res.set_header("Next-Cursor", std::to_string(lastCursor));
    replyJson(res, 200, list);
}

void replyUnavailable(httplib::Response& res, const std::string& message) {
    replyError(res, 503, message);
    res.set_header("Retry-After", "1");
}

void Service::handleReport(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    const auto body = objectBodyOf(req, res);
    if (!body) return;
    if (!waitReportDelay()) {
        replyError(res, 503, "service is stopping");
        return;
    }
    // The bundle marker's identifier ("ti") is the more deliberate signal; the pasteboard's
    // ("clip") is the fallback when the marker names no link we know. Without a marker the
    // client sends the pasteboard's identifier as both, and that is a pasteboard match.
    const std::string ti = stringMember(*body, "ti").value_or("");
    const std::string clip = stringMember(*body, "clip").value_or("");
    std::optional<Link> link;
    std::string match;
    // A link that could not be looked up is no missing link: answered organic, the install
    // would be credited to none for good.
    bool unreadable = false;
    const auto lookUp = [&](const std::string& traceId) {
        Lookup<Link> found = store_.findLink(*key, traceId);
        unreadable = unreadable || found.failed;
        link = std::move(found.found);
        return link.has_value();
    };
    if (!ti.empty() && ti != clip && lookUp(ti)) {
        match = "bundle";
    } else if (!unreadable && !clip.empty() && lookUp(clip)) {
        match = "pasteboard";
    }
    if (unreadable) {
        writeLogLine("error: could not look up a link: " + store_.lastError());
        replyUnavailable(res, "could not read the links");
        return;
    }
    InstallRequest record{0,
                          stringMember(*body, "ci").value_or(""),
                          jsonText(*body),
                          link ? link->traceId : "",
                          link ? 200 : settings_.unmatchedStatus,
                          {},
                          match};
    // An install credited but not recorded would be missing from every summary, and the client
    // would never ask again: refuse, and it asks again later.
    if (!recordInstall(req, *key, *body, record)) {
        writeLogLine("error: could not record an install request: " + store_.lastError());
        replyUnavailable(res, "could not store the install request");
        return;
    }
    // The record says what the client is answered: a client credited before gets that credit.
    if (record.traceId != (link ? link->traceId : std::string())) {
        link.reset();
        if (!record.traceId.empty() && !lookUp(record.traceId) && unreadable) {
            // Recorded: asked again, the client is answered from its credit.
            writeLogLine("error: could not look up a link: " + store_.lastError());
            replyUnavailable(res, "could not read the links");
            return;
        }
    }
    // An install no link accounts for is organic, and that is a final answer: the client stops
    // asking. A service that may still learn of its link later answers another status instead.
    json answer = {{"status", 200}};
    if (link) {
        answer["data"] = {{"params_data", link->params},
                          {"channel", link->channel},
                          {"trace_id", link->traceId},
                          {"match", record.match}};
    } else if (record.answeredStatus != 200) {
        answer = {{"status", record.answeredStatus},
                  {"error", ti.empty() && clip.empty() ? kNoTraceId : kNoLink}};
    }
    replyJson(res, 200, answer);
}

void Service::handleState(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    if (settings_.stateStatus < 200 || settings_.stateStatus >= 300) {
        replyError(res, settings_.stateStatus, "state reports are refused for testing");
        if (settings_.stateStatus == 503 || settings_.stateStatus == 429)
            res.set_header("Retry-After", "1");
        return;
    }
    const auto body = objectBodyOf(req, res);
    if (!body) return;
    StateReport report;
    const std::pair<const char*, std::string*> members[] = {{"ci", &report.ci},
                                                            {"t", &report.t},
                                                            {"ms", &report.ms},
                                                            {"cd", &report.cd},
                                                            {"msg", &report.msg}};
    for (const auto& [name, target] : members) {
        auto value = stringMember(*body, name);
        if (!value) {
            replyError(res, 400, std::string("member \"") + name + "\" must be a string");
            return;
        }
        *target = std::move(*value);
    }
    if (!store_.addStateReport(*key, report)) {
        writeLogLine("error: could not record a state report: " + store_.lastError());
        replyUnavailable(res, "could not store the report");
        return;
    }
    replyJson(res, settings_.stateStatus, json{{"status", 200}});
}

void Service::handleRegister(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    const auto body = objectBodyOf(req, res);
    if (!body) return;
    std::string fields[3];  // params, channel, trace_id
    const char* names[3] = {"params", "channel", "trace_id"};
    for (int i = 0; i < 3; ++i) {
        if (!body->contains(names[i])) continue;
        auto value = stringMember(*body, names[i]);
        if (!value) {
            replyError(res, 400, std::string("member \"") + names[i] + "\" must be a string");
            return;
        }
        fields[i] = std::move(*value);
    }
    const auto& [params, channel, wantedTraceId] = fields;
    LinkLanding landing;
    bool hasLanding = false;
    if (const auto error = readLanding(*body, landing, hasLanding)) {
        replyError(res, 400, *error);
        return;
    }
    const LinkLanding* page = hasLanding ? &landing : nullptr;
    std::optional<std::string> traceId;
    if (wantedTraceId.empty()) {
        traceId = registerNewLink(store_, *key, params, channel, page);
    } else if (!isValidTraceId(wantedTraceId)) {
        replyError(res, 400, "trace_id must be 12 to 64 letters and digits");
        return;
    } else {
        switch (store_.addLink(*key, wantedTraceId, params, channel, page)) {
            case RegisterOutcome::Registered:
                traceId = wantedTraceId;
                break;
            case RegisterOutcome::TraceIdTaken:
                replyError(res, 409, "trace id already registered");
                return;
            case RegisterOutcome::Failed:
                break;
        }
    }
    if (!traceId) {
        writeLogLine("error: could not register a link: " + store_.lastError());
        replyUnavailable(res, "could not store the link");
        return;
    }
    // The wake-up link for an installed app, signed when the service has a key.
    std::optional<long long> expires;
    if (settings_.linkLifetime.count() > 0) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        expires =
            std::chrono::duration_cast<std::chrono::seconds>(now + settings_.linkLifetime).count();
    }
    const std::string link =
        links::makeWakeUpLink(*key, params, channel, std::nullopt,
                              settings_.linkSigner ? &*settings_.linkSigner : nullptr, expires);
    replyJson(res, 200,
              json{{"status", 200},
                   {"trace_id", *traceId},
                   {"link", link},
                   {"landing_url", landingUrl(*key, *traceId)}});
}

void Service::handleListLinks(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    const auto page = key ? pageOf(req, res) : std::nullopt;
    if (!page) return;
    json list = json::array();
    long long cursor = 0;
    const auto rows = store_.links(*key, *page);
    if (!rows) {
        writeLogLine("error: could not read the links: " + store_.lastError());
        replyUnavailable(res, "could not read the links");
        return;
    }
    for (const Link& link : *rows) {
        cursor = link.rowId;
        list.push_back({{"trace_id", link.traceId},
                        {"params", link.params},
                        {"channel", link.channel},
                        {"created_at", link.createdAt}});
    }
    replyPage(res, list, *page, cursor);
}

void Service::handleListStates(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    const auto page = key ? pageOf(req, res) : std::nullopt;
    if (!page) return;
    json list = json::array();
    long long cursor = 0;
    const auto rows = store_.stateReports(*key, *page);
    if (!rows) {
        writeLogLine("error: could not read the state reports: " + store_.lastError());
        replyUnavailable(res, "could not read the state reports");
        return;
    }
    for (const StateReport& report : *rows) {
        cursor = report.rowId;
        list.push_back({{"ci", report.ci},
                        {"t", report.t},
                        {"ms", report.ms},
                        {"cd", report.cd},
                        {"msg", report.msg},
                        {"received_at", report.receivedAt}});
    }
    replyPage(res, list, *page, cursor);
}

void Service::handleListInstalls(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    const auto page = key ? pageOf(req, res) : std::nullopt;
    if (!page) return;
    json list = json::array();
    long long cursor = 0;
    const auto rows = store_.installRequests(*key, *page);
    if (!rows) {
        writeLogLine("error: could not read the install requests: " + store_.lastError());
        replyUnavailable(res, "could not read the install requests");
        return;
    }
    for (const InstallRequest& request : *rows) {
        cursor = request.rowId;
        // Stored from a checked body, so it parses again; a row edited into something else is
        // shown as text.
        std::string ignored;
        auto params = parseObjectBody(request.paramsJson, ignored);
        list.push_back({{"params", params ? std::move(*params) : json(request.paramsJson)},
                        {"trace_id", request.traceId},
                        {"status", request.answeredStatus},
                        {"match", request.match},
                        {"received_at", request.receivedAt}});
    }
    replyPage(res, list, *page, cursor);
}

}  // namespace plovendale::attribution_service
