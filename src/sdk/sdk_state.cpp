#include "sdk/sdk_state.h"

#include "sdk/core_helper.h"
#include "sdk/event_outbox.h"
#include "sdk/outbox.h"
#include "sdk/start_up.h"

namespace plovendale::internal {

SdkState& sdkState() {
    static SdkState instance;
    return instance;
}

#ifdef PLOVENDALE_TEST_SEAMS
void resetSdkStateForTests() {
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
    resetOutboxSender();
    forgetEvents();
    Plovendale::shareInstance().setPlovendaleDelegate(nullptr);
}
#endif

}  // namespace plovendale::internal
