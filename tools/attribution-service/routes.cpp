// The endpoints of the service. Every handler validates the app key of the path first; keys are
// not registered in advance, any well-formed key has its own (possibly empty) set of links.

#include <nlohmann/json.hpp>

#include "attribution-service/identifiers.h"
#include "attribution-service/json_body.h"
#include "attribution-service/request_log.h"
#include "attribution-service/service.h"
#include "common/wake_up_link.h"

namespace plovendale::attribution_service {
namespace {

using nlohmann::json;

constexpr const char* kNoLink = "no link for this trace id";
constexpr const char* kNoTraceId = "the request carries no trace id";

/// The app key of the path, or nothing after answering 404.
std::optional<std::string> appKeyOf(const httplib::Request& req, httplib::Response& res) {
    std::string key = req.matches.size() > 1 ? req.matches[1].str() : std::string();
    if (isValidAppKey(key)) return key;
    replyError(res, 404, "unknown app key");
    return std::nullopt;
}

/// The body as a JSON object, or nothing after answering 400.
std::optional<json> objectBodyOf(const httplib::Request& req, httplib::Response& res) {
    std::string error;
    auto body = parseObjectBody(req.body, error);
    if (!body) replyError(res, 400, error);
    return body;
}

}  // namespace

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
    // ("clip") is the fallback when the marker names no link we know.
    const std::string ti = stringMember(*body, "ti").value_or("");
    const std::string clip = stringMember(*body, "clip").value_or("");
    std::optional<Link> link;
    for (const std::string* candidate : {&ti, &clip}) {
        if (!candidate->empty() && (link = store_.findLink(*key, *candidate))) break;
    }
    json answer;
    if (link) {
        answer = {{"status", 200},
                  {"data",
                   {{"params_data", link->params},
                    {"channel", link->channel},
                    {"trace_id", link->traceId}}}};
    } else {
        answer = {{"status", 404}, {"error", ti.empty() && clip.empty() ? kNoTraceId : kNoLink}};
    }
    InstallRequest record{
        jsonText(*body), link ? link->traceId : "", answer["status"].get<int>(), {}};
    // The answer matters more to the device than our inspection record: answer even if the
    // record could not be written, but say so in the log.
    if (!store_.addInstallRequest(*key, record)) {
        writeLogLine("error: could not record an install request: " + store_.lastError());
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
        replyError(res, 500, "could not store the report");
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
    std::optional<std::string> traceId;
    if (wantedTraceId.empty()) {
        traceId = registerNewLink(store_, *key, params, channel);
    } else if (!isValidTraceId(wantedTraceId)) {
        replyError(res, 400, "trace_id must be 12 to 64 letters and digits");
        return;
    } else {
        switch (store_.addLink(*key, wantedTraceId, params, channel)) {
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
        replyError(res, 500, "could not store the link");
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
    replyJson(res, 200, json{{"status", 200}, {"trace_id", *traceId}, {"link", link}});
}

void Service::handleListLinks(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    json list = json::array();
    for (const Link& link : store_.links(*key)) {
        list.push_back({{"trace_id", link.traceId},
                        {"params", link.params},
                        {"channel", link.channel},
                        {"created_at", link.createdAt}});
    }
    replyJson(res, 200, list);
}

void Service::handleListStates(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    json list = json::array();
    for (const StateReport& report : store_.stateReports(*key)) {
        list.push_back({{"ci", report.ci},
                        {"t", report.t},
                        {"ms", report.ms},
                        {"cd", report.cd},
                        {"msg", report.msg},
                        {"received_at", report.receivedAt}});
    }
    replyJson(res, 200, list);
}

void Service::handleListInstalls(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    if (!key) return;
    json list = json::array();
    for (const InstallRequest& request : store_.installRequests(*key)) {
        // Stored from a checked body, so it parses again; a row edited into something else is
        // shown as text.
        std::string ignored;
        auto params = parseObjectBody(request.paramsJson, ignored);
        list.push_back({{"params", params ? std::move(*params) : json(request.paramsJson)},
                        {"trace_id", request.traceId},
                        {"status", request.answeredStatus},
                        {"received_at", request.receivedAt}});
    }
    replyJson(res, 200, list);
}

}  // namespace plovendale::attribution_service
