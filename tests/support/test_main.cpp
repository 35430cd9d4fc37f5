#include <gtest/gtest.h>

#include <memory>

#include "sdk/process_reset.h"

namespace {

// The library keeps process-wide state, as it does inside a host; every test starts as if it had
// a process of its own, so that a binary passes whole, shuffled and repeated.
class FreshProcessState : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        plovendale::internal::resetProcessStateForTests();
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The listener list takes ownership.
    ::testing::UnitTest::GetInstance()->listeners().Append(
        std::make_unique<FreshProcessState>().release());
    return RUN_ALL_TESTS();
}
