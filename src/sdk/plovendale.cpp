#include "plovendale/sdk/plovendale.h"

#include <algorithm>
#include <cctype>

#include "host/identifiers.h"
#include "plovendale/platform/log.h"
#include "sdk/client_id.h"
#include "sdk/consent.h"
#include "sdk/core_helper.h"
#include "sdk/events.h"
#include "sdk/outbox.h"
#include "signals/pasteboard_helper.h"
#include "util/format.h"
#include "util/string_utils.h"
#include "util/text.h"

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
    const auto capture = UIPasteboardHelper::capture();
    if (capture == UIPasteboardHelper::Capture::Captured) {
        internal::emitEvent("pasteboard.captured");
        return;
    }
    if (capture == UIPasteboardHelper::Capture::StoreFailed)
        internal::emitEvent("store.failed", {{"what", "paste key"}});
    internal::emitEvent("pasteboard.ignored", {{"reason", reasonOf(capture)}});
}

void logVersionLine(const char* verb) {
    Log::write(fillTemplate("[Plovendale] PlovendaleSDK version: %@, " + std::string(verb) + " ...",
                            {SDK_VERSION}));
}

}  // namespace

std::string makeClientId() {
    std::string id = lowercasedASCII(UUID::UUIDString());
    std::erase(id, '-');
    return id;
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

void Plovendale::initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate) {
    logVersionLine("init");
    shareInstance().setPlovendaleDelegate(delegate);
    innerStart();
}

void Plovendale::initWithDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate,
                                  const std::string& appKey) {
    logVersionLine("init");
    shareInstance().setPlovendaleDelegate(delegate);
    innerStartWith(appKey);
}

void Plovendale::start() {
    logVersionLine("start");
    innerStart();
}

void Plovendale::startWith(const std::string& appKey) {
    logVersionLine("startWith");
    innerStartWith(appKey);
}

void Plovendale::registerPlovendaleDelegate(const std::shared_ptr<PlovendaleDelegate>& delegate) {
    shareInstance().setPlovendaleDelegate(delegate);
}

void Plovendale::setServerDomain(const std::string& domain) {
    if (StringUtils::isNullOrEmpty(domain)) {
        Log::write("[Plovendale] setServerDomain failed, domain cannot be empty.");
        return;
    }
    CoreHelper::setTargetDomain(domain);
}

bool Plovendale::isFirstOpen() {
    return CoreHelper::isFirstInstall();
}

void Plovendale::innerStart() {
    const std::string appKey = CoreHelper::getAppKey();
    if (StringUtils::isNullOrEmpty(appKey)) {
        Log::write(kKeyNotAvailable);
        return;
    }
    commonInit(appKey);
}

void Plovendale::innerStartWith(const std::string& appKey) {
    if (StringUtils::isNullOrEmpty(appKey)) {
        Log::write(kKeyNotAvailable);
        return;
    }
    CoreHelper::setAppKey(appKey);
    commonInit(appKey);
}

void Plovendale::commonInit(const std::string& /*appKey*/) {
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
    // Posted, so that a service base URL the host sets right after start-up is the one used.
    if (!disabled) internal::sendQueuedReportsSoon();
}

void Plovendale::setEventObserver(EventObserver observer) {
    internal::setEventObserver(std::move(observer));
}

}  // namespace plovendale
