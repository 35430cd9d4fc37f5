#include "plovendale/sdk/plovendale.h"

#include <algorithm>
#include <cctype>

#include "host/platform_services.h"
#include "http/process_state.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/app_key.h"
#include "sdk/client_id.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "sdk/start_up.h"
#include "sdk/trace_state.h"
#include "signals/pasteboard_helper.h"
#include "signals/report_param_data.h"
#include "util/format.h"
#include "util/identifiers.h"
#include "util/string_utils.h"
#include "util/text.h"
#include "util/url_components.h"

namespace plovendale {

const char* const BASE_DOMAIN_URL = "https://%@." PLOVENDALE_BASE_DOMAIN;

namespace {

constexpr const char* kKeyNotAvailable = "[Plovendale] The app key is not available.";

const char* reasonOf(UIPasteboardHelper::Capture capture) {
    switch (capture) {
        case UIPasteboardHelper::Capture::Empty:
            return "empty";
        case UIPasteboardHelper::Capture::NoMarker:
            return "no marker";
        case UIPasteboardHelper::Capture::StoreFailed:
            return "store failed";
        case UIPasteboardHelper::Capture::Captured:
            break;
    }
    return "";
}

void capturePasteboard() {
    const auto capture = UIPasteboardHelper::capture(CoreHelper::getAppKey());
    if (capture == UIPasteboardHelper::Capture::Captured) {
        internal::emitEvent("pasteboard.captured");
        return;
    }
    if (capture == UIPasteboardHelper::Capture::StoreFailed)
        internal::emitEvent("store.failed", {{"what", "paste key"}});
    internal::emitEvent("pasteboard.ignored", {{"reason", reasonOf(capture)}});
}

bool refusedAppKey(const std::string& appKey, const char* call) {
    if (StringUtils::isNullOrEmpty(appKey)) {
        Log::write(kKeyNotAvailable);
        return true;
    }
    if (isValidAppKey(appKey)) return false;
    Log::write(fillTemplate("[Plovendale] %@ failed, the app key may hold only %@.",
                            {call, APP_KEY_RULE}));
    return true;
}

// Why `domain` cannot be the service base URL, or nothing when it can.
const char* domainProblem(std::string_view domain) {
    const auto url = ParsedURL::parseRequestURL(domain);
    if (!url) return "it is not an absolute URL";
    if (url->scheme != "http" && url->scheme != "https") return "its scheme is not http or https";
    if (url->query || url->fragment || domain.find_first_of("?#") != std::string_view::npos)
        return "it has a query or a fragment";
    // The library adds "/api/..." itself: a base of "http://host/api" would ask "/api/api/...",
    // which the service answers 404, far from the cause.
    if (!url->path.empty() && url->path != "/")
        return "it has a path (give the scheme, host and port only; the library adds /api/...)";
    return nullptr;
}

void logVersionLine(const char* verb) {
    Log::write(fillTemplate("[Plovendale] PlovendaleSDK version: %@, " + std::string(verb) + " ...",
                            {SDK_VERSION}));
}

// Start-up's work on stored values. It runs on start-up's worker when the store is not open yet,
// first before any other use of the store (which waits for it): the client identifier exists, the
// pasteboard is read and the first-launch line written before any query or isFirstOpen answers.
void commonInit() {
    // With tracking disabled nothing new about this installation is kept or read: no client
    // identifier (the first query after enabling makes one), no pasteboard.
    const bool disabled = internal::trackingDisabled();
    if (!disabled && StringUtils::isNullOrEmpty(CoreHelper::getClientId())) {
        if (!CoreHelper::saveClientId(makeClientId()))
            internal::emitEvent("store.failed", {{"what", "client id"}});
    }
    if (CoreHelper::isFirstInstall()) {
        Log::write(
            fillTemplate("[Plovendale] PlovendaleSDK %@ successfully initialized.", {SDK_VERSION}));
        if (disabled) {
            internal::emitEvent("pasteboard.ignored", {{"reason", "tracking disabled"}});
        } else {
            capturePasteboard();
        }
    }
}

void startUp() {
    internal::runStartUpSteps(commonInit);
    // Posted from here, so that a host that drains its main queue after start-up finds them there
    // (they wait for start-up's work, and do nothing while tracking is disabled); and posted, so
    // that a service base URL the host sets right after start-up is the one used.
    internal::sendOutboxSoon();
}

// A start-up while the library runs with one key may not switch it to another: the state stored
// for one key would answer for the other. The same key again is a no-op start-up.
bool switchesKey(const std::string& appKey, const char* call) {
    if (internal::startState() != internal::StartState::Started) return false;
    const std::string running = CoreHelper::getAppKey();
    if (running.empty() || running == appKey) return false;
    Log::write(
        fillTemplate("[Plovendale] %@ failed, the library already runs with another app key; "
                     "call shutdown first to start with a new one.",
                     {call}));
    return true;
}

bool startedWith(const std::string& appKey, const char* call) {
    if (refusedAppKey(appKey, call)) {
        if (internal::startState() != internal::StartState::Started)
            internal::setStartState(internal::StartState::KeyRefused);
        return false;
    }
    if (switchesKey(appKey, call)) return false;
    http::resumeTransfers();
    CoreHelper::setAppKey(appKey);
    internal::setStartState(internal::StartState::Started);
    startUp();
    return true;
}

bool innerStart() {
    return startedWith(CoreHelper::getAppKey(), "start");
}

bool innerStartWith(const std::string& appKey) {
    return startedWith(appKey, "startWith");
}

}  // namespace

std::string makeClientId() {
    const std::string uuid = UUID::UUIDString();
    char id[32];
    std::size_t length = 0;
    for (const char c : uuid) {
        if (c == '-' || length == sizeof id) continue;
        id[length++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return std::string(id, length);
}

Plovendale& Plovendale::shareInstance() {
    static Plovendale instance;
    return instance;
}

std::shared_ptr<PlovendaleDelegate> Plovendale::plovendaleDelegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void Plovendale::setPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::string Plovendale::sdkVersion() {
    return SDK_VERSION;
}

bool Plovendale::initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate) {
    logVersionLine("init");
    shareInstance().setPlovendaleDelegate(delegate);
    return innerStart();
}

bool Plovendale::initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate,
                                  const std::string& appKey) {
    logVersionLine("init");
    shareInstance().setPlovendaleDelegate(delegate);
    return innerStartWith(appKey);
}

bool Plovendale::start() {
    logVersionLine("start");
    return innerStart();
}

bool Plovendale::startWith(const std::string& appKey) {
    logVersionLine("startWith");
    return innerStartWith(appKey);
}

void Plovendale::registerPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate) {
    shareInstance().setPlovendaleDelegate(delegate);
}

bool Plovendale::setServerDomain(const std::string& domain) {
    if (StringUtils::isNullOrEmpty(domain)) {
        Log::write("[Plovendale] setServerDomain failed, domain cannot be empty.");
        return false;
    }
    // Service URLs are the domain followed by "/api/...": a trailing "/" would double it.
    std::string_view base = domain;
    while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
    if (const char* problem = domainProblem(base)) {
        const bool noneInForce = StringUtils::isNullOrEmpty(CoreHelper::getTargetDomain());
        Log::write(fillTemplate("[Plovendale] setServerDomain failed, %@: %@%@",
                                {problem, domain,
                                 noneInForce ? std::string("; nothing is sent until a service "
                                                           "URL is set.")
                                             : std::string()}));
        if (noneInForce) internal::setServerDomainRefused(true);
        return false;
    }
    CoreHelper::setTargetDomain(std::string(base));
    internal::setServerDomainRefused(false);
    return true;
}

bool Plovendale::isFirstOpen() {
    return CoreHelper::isFirstInstall();
}

bool Plovendale::isDeliveringReports() {
    return internal::outboxBusy();
}

std::map<std::string, std::string> Plovendale::installParameters() {
    return ReportParamData::getParams();
}

bool Plovendale::shutdown(std::chrono::milliseconds timeout) {
    using Kind = InstallTraceState::Kind;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const bool answered =
        MainQueue::shared().runUntil([] { return installTraceState().kind != Kind::InFlight; },
                                     std::max(timeout, std::chrono::milliseconds(0)));
    if (!http::stopTransfers()) {
        Log::write("[Plovendale] shutdown refused: it was called on one of the library's threads.");
        return false;
    }
    // Events handed in are stored before the store is let go, in what is left of the timeout but
    // at least 100 ms (what the writer needs for the last events of a burst).
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const bool written = internal::stopOutboxWriter(std::max(left, std::chrono::milliseconds(100)));
    if (!written) Log::write("[Plovendale] shutdown: some events could not be stored in time.");
    internal::setStartState(internal::StartState::Stopped);
    internal::finishStartUp();
    // What the stopped transfers left for the main queue runs here, on the host's main thread,
    // rather than being held until the process exits; a query it would still start goes nowhere.
    MainQueue::shared().drain();
    internal::abandonQueriesInFlight();
    CoreHelper::setAppKey("");
    shareInstance().setPlovendaleDelegate(nullptr);
    internal::setEventObserver(nullptr);
    internal::releasePlatformServices();
    if (!answered)
        Log::write("[Plovendale] shutdown: the install-trace query on the wire was dropped.");
    return answered && written;
}

void Plovendale::setEventObserver(EventObserver observer) {
    internal::setEventObserver(std::move(observer));
}

}  // namespace plovendale
