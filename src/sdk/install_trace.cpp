#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/host_code.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/identifiers.h"
#include "plovendale/platform/json_serialization.h"
#include "plovendale/platform/log.h"
#include "plovendale/sdk/core_helper.h"
#include "plovendale/sdk/data_util.h"
#include "plovendale/sdk/plovendale.h"
#include "plovendale/signals/report_param_data.h"
#include "plovendale/util/string_utils.h"
#include "sdk/client_id.h"
#include "util/format.h"

namespace plovendale {
namespace {

constexpr const char* kNoAppKey = "The app key is not available.";
constexpr const char* kNoCache = "Can not extract app Data from cache.";
constexpr const char* kBadBody = "Can not extract data from http result.";
constexpr const char* kBadParams = "Failed to parse request params.";
constexpr const char* kCannotCreateTask = "can't create task";
constexpr std::int64_t kCodeNoAppKey = -10000;
constexpr std::int64_t kCodeNoCache = -10001;
constexpr std::int64_t kCodeBadBody = -10003;
constexpr std::int64_t kCodeRequestFailed = -10004;
constexpr std::int64_t kCodeBadParams = -10005;
// The service answers with a small JSON object; a longer answer is not one, and must not cost the
// host's memory.
constexpr std::int64_t kMaxServiceAnswerBytes = 1024 * 1024;

double timeoutSecondsFor(double timeoutMs) {
    if (std::isnan(timeoutMs) || timeoutMs <= 0) return REQUEST_TIMEOUT / 1000.0;
    return std::max(MIN_REQUEST_TIMEOUT, timeoutMs) / 1000.0;
}

// Builds a JSON POST to the service; nothing when the URL text does not form a URL.
std::shared_ptr<STHTTPRequest> makeServiceRequest(const std::string& url, Bytes body, double timeoutSeconds) {
    auto request = STHTTPRequest::requestWithURLString(url);
    if (!request) return nullptr;
    request->setHTTPMethod("POST");
    request->setRawPOSTData(std::move(body));
    request->setTimeoutSeconds(timeoutSeconds);
    request->setMaximumResponseBodySize(kMaxServiceAnswerBytes);
    request->setHeaderWithName("Content-Type", "application/json");
    return request;
}

// One query in flight: the handlers and the start time, shared by the request's callbacks.
struct Query {
    double startTime = 0;
    Plovendale::SuccessHandler success;
    Plovendale::FailHandler fail;

    void succeedWith(const std::optional<AppData>& appData) const {
        if (success) callHostCode("[Plovendale] The success handler", [&] { success(appData); });
    }
    void failWith(std::int64_t code, const std::optional<std::string>& message) const {
        if (fail) callHostCode("[Plovendale] The fail handler", [&] { fail(code, message); });
    }
    void reportAndFail(std::int64_t code, const std::optional<std::string>& message) const {
        Plovendale::reportState(startTime, code, message, "");
        failWith(code, message);
    }
};

void handleCompletion(const Query& query, const STHTTPRequest& request, const Bytes& body) {
    const std::int64_t status = request.responseStatus();
    if (status != 200) {
        query.reportAndFail(status, fillTemplate("Http statusCode error, code: %@", {std::to_string(status)}));
        return;
    }
    const std::optional<ResData> result = DataUtil::parseResData(body);
    if (!result) {
        query.reportAndFail(kCodeBadBody, kBadBody);
        return;
    }
    if (result->code != 200) {
        query.reportAndFail(result->code, result->msg);
        return;
    }
    const std::string traceId = result->traceId.value_or("");
    Plovendale::reportState(query.startTime, 200, result->msg, traceId);
    std::optional<std::string> cache;
    if (result->data) cache = DataUtil::appData2Json(result->data);
    // The host still gets this answer; an installation whose answer is not on disk stays
    // unattributed, so the next launch asks the service again instead of failing from an empty
    // cache for ever.
    if (!CoreHelper::saveAttribution(StringUtils::isNullOrEmpty(traceId) ? "init" : traceId,
                                     cache)) {
        Log::write("[Plovendale] The install trace could not be stored; the next query will ask.");
    }
    query.succeedWith(result->data);
}

}  // namespace

std::string Plovendale::getDomainUrl(const std::string& appKey) {
    const std::string domain = CoreHelper::getTargetDomain();
    if (!StringUtils::isNullOrEmpty(domain)) return domain;
    return fillTemplate(BASE_DOMAIN_URL, {fillTemplate("clb-%@", {appKey})});
}

void Plovendale::getInstallTrace(SuccessHandler success, FailHandler fail) {
    getInstallTraceWithTimeout(REQUEST_TIMEOUT, std::move(success), std::move(fail));
}

void Plovendale::getInstallTraceWithTimeout(double timeoutMs, SuccessHandler success, FailHandler fail) {
    auto query = std::make_shared<Query>(Query{0, std::move(success), std::move(fail)});
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) {
        query->failWith(kCodeNoAppKey, kNoAppKey);
        return;
    }
    query->startTime = Date::timeIntervalSince1970();

    if (!CoreHelper::isFirstInstall()) {
        if (auto cached = DataUtil::parseAppData(CoreHelper::getAppData())) {
            query->succeedWith(cached);
        } else {
            query->failWith(kCodeNoCache, kNoCache);
        }
        return;
    }

    std::string clientId = CoreHelper::getClientId();
    if (StringUtils::isNullOrEmpty(clientId)) {
        CoreHelper::saveClientId(makeClientId());
        clientId = CoreHelper::getClientId();
    }
    nlohmann::json params = nlohmann::json::object();
    for (const auto& [key, value] : ReportParamData::getParams()) params[key] = value;
    params["ci"] = clientId;
    std::optional<Bytes> body = JSONSerialization::dataWithJSONObject(params, 0);
    if (!body) {
        query->failWith(kCodeBadParams, kBadParams);
        return;
    }

    auto request = makeServiceRequest(fillTemplate(API_REPORT, {getDomainUrl(appKey), appKey}),
                                      std::move(*body), timeoutSecondsFor(timeoutMs));
    if (!request) {
        // A key that does not form a URL: nothing can be sent, but the host is still answered.
        query->failWith(kCodeRequestFailed, kCannotCreateTask);
        return;
    }
    std::weak_ptr<STHTTPRequest> weakRequest = request;
    request->setCompletionDataBlock([query, weakRequest](const auto& /*headers*/, const Bytes& body) {
        auto self = weakRequest.lock();
        if (!self) return;
        handleCompletion(*query, *self, body);
    });
    request->setErrorBlock([query](const Error& error) {
        query->reportAndFail(kCodeRequestFailed, error.localizedDescription());
    });
    request->startAsynchronous();
}

void Plovendale::reportState(double startTime, std::int64_t code, const std::optional<std::string>& /*message*/,
                             const std::string& traceId) {
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) {
        Log::write("[Plovendale] The app key is not available.");
        return;
    }
    nlohmann::json report = nlohmann::json::object();
    report["ci"] = CoreHelper::getClientId();
    const double elapsedMs = (Date::timeIntervalSince1970() - startTime) * 1000.0;
    report["t"] = std::to_string(static_cast<long long>(std::trunc(elapsedMs)));
    report["ms"] = (code == 200 && !StringUtils::isNullOrEmpty(traceId)) ? "1" : "0";
    report["cd"] = std::to_string(code);
    report["msg"] = code == 200 ? "success" : "";
    std::optional<Bytes> body = JSONSerialization::dataWithJSONObject(report, 0);
    if (!body) return;
    auto request = makeServiceRequest(fillTemplate(REPORT_STATE_URL, {getDomainUrl(appKey), appKey}),
                                      std::move(*body), REQUEST_TIMEOUT / 1000.0);
    if (!request) return;
    request->setDiscardsResponseBody(true);  // the report's answer is never read
    request->setCompletionDataBlock([](const auto&, const Bytes&) {});
    request->setErrorBlock([](const Error&) {});
    request->startAsynchronous();
}

}  // namespace plovendale
