#include <gtest/gtest.h>

#include <memory>

#include "http/process_state.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/outbox.h"
#include "sdk/sdk_state.h"
#include "sdk/start_up.h"
#include "signals/signals_state.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale::test {

namespace {

// These resets live here, not in the library: what a host installs has no way back to a new
// process's state. Main thread, nothing in flight; the host's callables they drop are released
// after every mutex is let go.
void resetSdkState() {
    using namespace internal;
    finishStartUp();
    auto& s = sdkState();
    std::map<std::uint64_t, Plovendale::InstallTraceObserver> traceObservers;
    std::shared_ptr<const Plovendale::EventObserver> eventObserver;
    std::shared_ptr<evp_pkey_st> key;
    {
        std::scoped_lock lock(s.core.mutex, s.consent.mutex, s.trace.mutex, s.verification.mutex,
                              s.events.mutex);
        s.core.appKey.clear();
        s.core.targetDomain.clear();
        s.core.clientId.clear();
        s.core.clientIdStored = false;
        s.consent.disabled.reset();
        s.trace.inFlight = 0;
        s.trace.outcome.reset();
        ++s.trace.generation;
        traceObservers.swap(s.trace.observers);
        s.verification.required = false;
        key.swap(s.verification.key);
        eventObserver.swap(s.events.callback);
    }
    setStartState(StartState::NotStarted);
    setServerDomainRefused(false);
    forgetOutbox();
    Plovendale::shareInstance().setPlovendaleDelegate(nullptr);
}

void resetSignalsState() {
    auto& capture = internal::signalsState().unstoredCapture;
    std::lock_guard lock(capture.mutex);
    capture.trace.clear();
}

// Settings and stores: cookies, credentials, background handlers.
void resetHTTPState() {
    STHTTPRequest::clearSession();
    STHTTPRequest::setGlobalCookiesStoragePolicy(CookieStorageShared);
    STHTTPRequest::setGlobalIgnoreCache(false);
    STHTTPRequest::setDefaultMaximumResponseBodySize(kDefaultMaximumResponseBodySize);
    auto& state = http::processState();
    decltype(state.backgroundCompletionHandlers) released;
    std::lock_guard lock(state.mutex);
    released.swap(state.backgroundCompletionHandlers);
}

}  // namespace

void resetProcessState() {
    resetSdkState();
    resetSignalsState();
    resetHTTPState();
    URLSessionTLS::clearAdditionalCA();
    Platform::configure(PlatformConfiguration{});
    MainQueue::shared().setPoster(nullptr);
    MainQueue::shared().setDelayedPoster(nullptr);
}

}  // namespace plovendale::test

namespace {

// The library keeps process-wide state, as it does inside a host; every test starts as if it had
// a process of its own, so that a binary passes whole, shuffled and repeated.
class FreshProcessState : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { plovendale::test::resetProcessState(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The listener list takes ownership.
    ::testing::UnitTest::GetInstance()->listeners().Append(
        std::make_unique<FreshProcessState>().release());
    return RUN_ALL_TESTS();
}
