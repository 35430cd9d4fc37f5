#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/host_code.h"
#include "host/main_queue_order.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/client_id.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/data_util.h"
#include "sdk/events.h"
#include "sdk/facade_internal.h"
#include "sdk/outbox.h"
#include "sdk/service_request.h"
#include "sdk/trace_state.h"
#include "signals/report_param_data.h"
#include "util/format.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

using internal::makeServiceRequest;
using Kind = InstallTraceState::Kind;

constexpr const char* kNoAppKey = "The app key is not available.";
constexpr const char* kNoCache = "Can not extract app Data from cache.";
constexpr const char* kBadBody = "Can not extract data from http result.";
constexpr const char* kBadParams = "Failed to parse request params.";
constexpr const char* kTrackingDisabled = "Tracking is disabled.";
constexpr const char* kCannotCreateTask = "can't create task";
constexpr const char* kQueueOutOfOrder = "The host's main queue ran tasks out of order.";
constexpr const char* kDomainRefused = "The service URL given to setServerDomain was refused.";
constexpr std::int64_t kCodeNoAppKey = -10000;
constexpr std::int64_t kCodeNoCache = -10001;
constexpr std::int64_t kCodeBadBody = -10003;
constexpr std::int64_t kCodeRequestFailed = -10004;
constexpr std::int64_t kCodeBadParams = -10005;
constexpr std::int64_t kCodeTrackingDisabled = -10006;
constexpr std::int64_t kCodeQueueOutOfOrder = -10007;
constexpr std::int64_t kCodeDomainRefused = -10008;

double timeoutSecondsFor(double timeoutMs) {
    if (std::isnan(timeoutMs) || timeoutMs <= 0) return REQUEST_TIMEOUT / 1000.0;
    return std::max(MIN_REQUEST_TIMEOUT, timeoutMs) / 1000.0;
}

// How the commit of a query's outcome went: written, refused by the store, or not made at all as
// the installation was forgotten (or tracking disabled) meanwhile.
enum class Commit { Stored, Failed, Dropped };

// Stores `alsoSet` with a state report (one write, waiting for the disk) on the library's writer
// thread, then, on the main queue, sends the report and hands `then` how the write went: stored,
// then told. With `reachable` (the service answered), the reports that wait follow. Nothing is
// written once the installation `generation` belongs to is forgotten.
void commitThen(std::int64_t elapsedMs, std::int64_t code, const std::string& traceId,
                std::map<std::string, std::string> alsoSet, bool reachable,
                std::uint64_t generation, std::function<void(Commit)> then);

InstallTraceState failedState(std::int64_t code, const std::optional<std::string>& message) {
    return {Kind::Failed, std::nullopt, code, message};
}

// One query in flight: the handlers and the start time, shared by the request's callbacks.
struct Query {
    double startTime = 0;  // on the wall clock
    Plovendale::SuccessHandler success;
    Plovendale::FailHandler fail;
    // Elapsed times are measured here: a wall clock set back or forward during the query would
    // report a negative or hours-long query.
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::uint64_t generation = 0;  // of the installation the query was made for

    std::int64_t elapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - started)
            .count();
    }

    void succeedWith(const std::optional<AppData>& appData) const {
        if (success) callHostCode("[Plovendale] The success handler", [&] { success(appData); });
    }
    void failWith(std::int64_t code, const std::optional<std::string>& message) const {
        if (fail) callHostCode("[Plovendale] The fail handler", [&] { fail(code, message); });
    }
    // An answer for an installation forgotten meanwhile, or that arrives once the user disabled
    // tracking, is still handed to the host, but nothing of it is kept or reported: it belongs to
    // an identity that no longer exists, or may no longer be told.
    bool keepsAnswer() const {
        return generation == internal::installationGeneration() && !internal::trackingDisabled();
    }

    void answered(std::int64_t code, std::size_t responseBytes) const {
        if (!internal::eventsObserved()) return;
        internal::emitEvent("query.answered", {{"elapsedMs", std::to_string(elapsedMs())},
                                               {"code", std::to_string(code)},
                                               {"responseBytes", std::to_string(responseBytes)}});
    }
};

using SharedQuery = std::shared_ptr<const Query>;

// `reachable`: the service answered, so the reports that wait may follow.
void reportAndFail(const SharedQuery& query, std::int64_t code,
                   const std::optional<std::string>& message, std::size_t responseBytes,
                   bool reachable = false) {
    query->answered(code, responseBytes);
    const InstallTraceState failed = failedState(code, message);
    if (!query->keepsAnswer()) {
        if (reachable) internal::sendOutboxSoon();
        internal::traceQueryEnded(failed, false, query->generation);
        query->failWith(code, message);
        return;
    }
    // The failure for later launches goes to the store with the report: one write.
    commitThen(query->elapsedMs(), code, "",
               {{internal::kTraceFailureKey, internal::storedFailureText(failed)}}, reachable,
               query->generation, [query, failed](Commit commit) {
                   internal::traceQueryEnded(failed, commit == Commit::Failed, query->generation);
                   query->failWith(failed.code, failed.message);
               });
}

// The service answered: besides the query's own report, the reports that wait may follow (the
// report's write tells whether any do).
void handleCompletion(const SharedQuery& query, const STHTTPRequest& request, const Bytes& body) {
    const std::int64_t status = request.responseStatus();
    if (status != 200) {
        reportAndFail(query, status,
                      fillTemplate("Http statusCode error, code: %@", {std::to_string(status)}),
                      body.size(), true);
        return;
    }
    const std::optional<ResData> result = DataUtil::parseResData(body);
    if (!result) {
        // The body arrives whole in any order, but a host loop that runs tasks out of order
        // breaks what the query relies on besides; it, not the service, is then the likelier
        // cause.
        if (internal::mainQueueOrderBroken()) {
            reportAndFail(query, kCodeQueueOutOfOrder, kQueueOutOfOrder, body.size(), true);
            return;
        }
        reportAndFail(query, kCodeBadBody, kBadBody, body.size(), true);
        return;
    }
    if (result->code != 200) {
        reportAndFail(query, result->code, result->msg, body.size(), true);
        return;
    }
    query->answered(200, body.size());
    const InstallTraceState outcome = result->data
                                          ? InstallTraceState{Kind::Attributed, result->data, 0, {}}
                                          : InstallTraceState{Kind::Organic, std::nullopt, 0, {}};
    if (!query->keepsAnswer()) {
        internal::sendOutboxSoon();
        internal::traceQueryEnded(outcome, false, query->generation);
        query->succeedWith(result->data);
        return;
    }
    const std::string traceId = result->traceId.value_or("");
    std::optional<std::string> cache;
    if (result->data) cache = DataUtil::appData2Json(result->data);
    // The answer and its report reach the store in one write. The host still gets this answer
    // when the store refuses it; an installation whose answer is not on disk stays unattributed,
    // so the next launch asks the service again instead of failing from an empty cache for ever.
    auto values = CoreHelper::attributionValues(
        StringUtils::isNullOrEmpty(traceId) ? "init" : traceId, cache);
    commitThen(query->elapsedMs(), 200, traceId, values, true, query->generation,
               [query, values, outcome](Commit commit) {
                   if (commit == Commit::Stored) {
                       CoreHelper::attributionStored(values);
                   } else if (commit == Commit::Failed) {
                       Log::write(
                           "[Plovendale] The install trace could not be stored; the next query "
                           "will ask.");
                       internal::emitEvent("store.failed", {{"what", "attribution"}});
                   }
                   internal::traceQueryEnded(outcome, false, query->generation);
                   query->succeedWith(outcome.appData);
               });
}

// The answer stored for this installation may belong to another key (a key with a typo that
// the service answered organic, then fixed): the host is told which, and how to ask again.
std::string noCacheHint(const std::string& appKey) {
    const std::string answeredFor = CoreHelper::answeredAppKey();
    if (!answeredFor.empty() && answeredFor != appKey)
        return fillTemplate(
            "[Plovendale] Can not extract app Data from cache: the stored answer was for the app "
            "key \"%@\", not \"%@\"; forgetInstallation() lets the service answer again.",
            {answeredFor, appKey});
    return "[Plovendale] Can not extract app Data from cache: the service answered this "
           "installation without a link (organic); that answer is final.";
}

// A query that ends before anything is sent: the host is told, and so are observers.
void failAtOnce(const Query& query, std::int64_t code, const char* message, bool persist) {
    internal::traceQueryEnded(failedState(code, message), persist, 0);
    query.failWith(code, message);
}

}  // namespace

std::string Plovendale::getDomainUrl(const std::string& appKey) {
    const std::string domain = CoreHelper::getTargetDomain();
    if (!StringUtils::isNullOrEmpty(domain)) return domain;
    // No URL can be formed from "": what waits to be sent stays stored.
    if (internal::serverDomainRefused()) return "";
    return fillTemplate(BASE_DOMAIN_URL, {fillTemplate("clb-%@", {appKey})});
}

void Plovendale::getInstallTrace(SuccessHandler success, FailHandler fail) {
    getInstallTraceWithTimeout(REQUEST_TIMEOUT, std::move(success), std::move(fail));
}

void Plovendale::getInstallTraceWithTimeout(double timeoutMs, SuccessHandler success,
                                            FailHandler fail) {
    auto query = std::make_shared<Query>(Query{0, std::move(success), std::move(fail)});
    const auto noKey = [] {
        Log::write(std::string("[Plovendale] The app key is not available: ") +
                   internal::whyNoAppKey() + ".");
    };
    if (internal::stopped()) {  // not an outcome of this installation: nothing to record
        noKey();
        query->failWith(kCodeNoAppKey, kNoAppKey);
        return;
    }
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) {
        noKey();
        failAtOnce(*query, kCodeNoAppKey, kNoAppKey, true);
        return;
    }
    if (internal::trackingDisabled()) {
        failAtOnce(*query, kCodeTrackingDisabled, kTrackingDisabled, false);
        return;
    }
    query->startTime = Date::timeIntervalSince1970();
    query->started = std::chrono::steady_clock::now();

    if (!CoreHelper::isFirstInstall()) {
        internal::emitEvent("query.started", {{"source", "cache"}});
        if (auto cached = DataUtil::parseAppData(CoreHelper::getAppData())) {
            query->succeedWith(cached);
        } else {
            Log::write(noCacheHint(appKey));
            query->failWith(kCodeNoCache, kNoCache);
        }
        return;
    }
    if (internal::serverDomainRefused()) {
        Log::write(
            "[Plovendale] The install-trace query was not sent: setServerDomain refused the "
            "service URL, and the default service is not used in its place.");
        failAtOnce(*query, kCodeDomainRefused, kDomainRefused, false);
        return;
    }

    std::string clientId = CoreHelper::getClientId();
    if (StringUtils::isNullOrEmpty(clientId)) {
        if (!CoreHelper::saveClientId(makeClientId()))
            internal::emitEvent("store.failed", {{"what", "client id"}});
        clientId = CoreHelper::getClientId();
    }
    // Written in key order, the client identifier among the parameters, as a map orders them.
    const auto params = ReportParamData::orderedParams();
    std::vector<JSONSerialization::StringMember> members;
    members.reserve(params.size() + 1);  // the insertion below then moves, never reallocates
    members.assign(params.begin(), params.end());
    const JSONSerialization::StringMember ci{"ci", clientId};
    members.insert(std::lower_bound(members.begin(), members.end(), ci,
                                    [](const auto& a, const auto& b) { return a.first < b.first; }),
                   ci);
    std::optional<Bytes> body = JSONSerialization::dataWithStringMembers(members);
    if (!body) {
        failAtOnce(*query, kCodeBadParams, kBadParams, true);
        return;
    }

    auto request = makeServiceRequest(fillTemplate(API_REPORT, {getDomainUrl(appKey), appKey}),
                                      std::move(*body), timeoutSecondsFor(timeoutMs));
    if (!request) {
        // A key that does not form a URL: nothing can be sent, but the host is still answered.
        failAtOnce(*query, kCodeRequestFailed, kCannotCreateTask, true);
        return;
    }
    if (internal::eventsObserved()) internal::emitEvent("query.started", {{"source", "network"}});
    query->generation = internal::traceQueryStarted();
    std::weak_ptr<STHTTPRequest> weakRequest = request;
    request->setCompletionDataBlock(
        [query, weakRequest](const auto& /*headers*/, const Bytes& answer) {
            auto self = weakRequest.lock();
            if (!self) return;
            handleCompletion(query, *self, answer);
        });
    request->setErrorBlock([query, base = getDomainUrl(appKey)](const Error& error) {
        const std::string description = error.localizedDescription();
        Log::write(fillTemplate("[Plovendale] The install-trace query to %@ failed (-10004): %@",
                                {base, description}));
        reportAndFail(query, kCodeRequestFailed, description, 0);
    });
    request->startAsynchronous();
}

void internal::reportState(double startTime, std::int64_t code,
                           const std::optional<std::string>& /*message*/,
                           const std::string& traceId) {
    if (internal::trackingDisabled()) return;
    // Only the wall clock is known here; one set back since the start counts as no time at all.
    const double elapsedMs = (Date::timeIntervalSince1970() - startTime) * 1000.0;
    commitThen(static_cast<std::int64_t>(std::max(0.0, std::trunc(elapsedMs))), code, traceId, {},
               false, internal::installationGeneration(), nullptr);
}

namespace {

// The state report as it goes on the wire; nothing without an app key.
std::optional<std::string> stateReportBody(std::int64_t elapsedMs, std::int64_t code,
                                           const std::string& traceId) {
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) {
        Log::write("[Plovendale] The app key is not available.");
        return std::nullopt;
    }
    const std::string clientId = CoreHelper::getClientId();
    const std::string elapsed = std::to_string(elapsedMs);
    const std::string codeText = std::to_string(code);
    const JSONSerialization::StringMember report[] = {
        {"cd", codeText},
        {"ci", clientId},
        {"ms", (code == 200 && !StringUtils::isNullOrEmpty(traceId)) ? "1" : "0"},
        {"msg", code == 200 ? "success" : ""},
        {"t", elapsed},
    };
    std::optional<Bytes> body = JSONSerialization::dataWithStringMembers(report);
    if (!body) return std::nullopt;
    if (internal::eventsObserved())
        internal::emitEvent("report.sent", {{"code", std::to_string(code)}});
    return toString(*body);
}

void commitThen(std::int64_t elapsedMs, std::int64_t code, const std::string& traceId,
                std::map<std::string, std::string> alsoSet, bool reachable,
                std::uint64_t generation, std::function<void(Commit)> then) {
    auto body = stateReportBody(elapsedMs, code, traceId);
    // The host is never told how the report went; one that does not arrive stays in the outbox.
    auto write = [body = std::move(body), alsoSet = std::move(alsoSet), reachable, generation,
                  then = std::move(then)]() mutable {
        Commit commit = Commit::Dropped;
        try {
            if (generation == internal::installationGeneration() && !internal::trackingDisabled()) {
                const bool stored =
                    body ? internal::storeReport(std::move(*body), alsoSet)
                         : alsoSet.empty() || Platform::keyValueStore()->setStrings(alsoSet);
                commit = stored ? Commit::Stored : Commit::Failed;
            }
        } catch (const std::exception&) {
            commit = Commit::Failed;  // out of memory: the host is still told
        }
        // The report goes from the outbox, with what waits there when the service just answered:
        // on the wire before the host is told, and the host told before its answer is handled
        // (a handler that forgets or disables tracking decides what becomes of it).
        MainQueue::Task tell = [commit, then = std::move(then)] {
            if (then) then(commit);
        };
        if ((commit == Commit::Stored || reachable) && !internal::stopped()) {
            internal::sendOutboxNow(std::move(tell));
        } else {
            MainQueue::shared().async(std::move(tell));
        }
    };
    // Once shut down, the writer thread is not started again for what the last tasks leave.
    if (internal::stopped()) {
        write();
    } else {
        internal::runOnWriter(std::move(write));
    }
}

}  // namespace

}  // namespace plovendale
