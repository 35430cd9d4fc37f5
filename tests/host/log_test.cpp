#include "plovendale/platform/log.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace plovendale {
namespace {

TEST(Log, ASinkThatThrowsDoesNotUnwindIntoTheLibraryAndTheLineGoesToStderr) {
    Log::setSink([](std::string_view) { throw std::runtime_error("sink"); });
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(Log::write("kept"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kept\n");
}

}  // namespace
}  // namespace plovendale
