#include <gtest/gtest.h>

#include <memory>

#include "http/process_state.h"
#include "plovendale/platform/main_queue.h"
#include "sdk/sdk_state.h"
#include "signals/signals_state.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale::test {

void resetProcessState() {
    internal::resetSdkStateForTests();
    internal::resetSignalsStateForTests();
    http::resetProcessStateForTests();
    URLSessionTLS::clearAdditionalCA();
    URLSessionProxy::setProxiesLoopback(false);
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
