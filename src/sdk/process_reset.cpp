#include "sdk/process_reset.h"

#include "http/process_state.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/consent.h"
#include "sdk/event_outbox.h"
#include "sdk/events.h"
#include "sdk/link_signature.h"
#include "sdk/outbox.h"
#include "sdk/trace_state.h"
#include "transport/url_session.h"

namespace plovendale::internal {

void resetProcessStateForTests() {
    resetCoreHelperMemory();
    resetConsentMemory();
    resetTraceStateForTests();
    resetOutboxSender();
    forgetEvents();
    resetEventsForTests();
    resetLinkVerificationKey();
    resetUnstoredCapture();
    Plovendale::shareInstance().setPlovendaleDelegate(nullptr);

    STHTTPRequest::clearSession();
    STHTTPRequest::setGlobalCookiesStoragePolicy(CookieStorageShared);
    STHTTPRequest::setGlobalIgnoreCache(false);
    STHTTPRequest::setDefaultMaximumResponseBodySize(kDefaultMaximumResponseBodySize);
    {
        auto& http = http::processState();
        decltype(http.backgroundCompletionHandlers) released;
        std::lock_guard lock(http.mutex);
        released.swap(http.backgroundCompletionHandlers);
    }
    URLSessionTLS::clearAdditionalCA();
    URLSessionProxy::setProxiesLoopback(false);

    Platform::configure(PlatformConfiguration{});
    MainQueue::shared().setPoster(nullptr);
    MainQueue::shared().setDelayedPoster(nullptr);
}

}  // namespace plovendale::internal
