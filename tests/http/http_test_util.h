#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "plovendale/http/st_http_request.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale::test {

/// Resets the HTTP client's process-wide settings and stores around each test.
class HTTPClientTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        STHTTPRequest::clearSession();
        STHTTPRequest::setGlobalCookiesStoragePolicy(CookieStorageShared);
        STHTTPRequest::setGlobalIgnoreCache(false);
        STHTTPRequest::setDefaultMaximumResponseBodySize(kDefaultMaximumResponseBodySize);
    }
};

/// Drains the main queue until the condition holds, also when what it waits for happens on another
/// thread without posting to the queue (a request let go by its session); bounded by the timeout.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (runMainQueueUntil(condition, std::chrono::milliseconds(20))) return true;
    }
    return condition();
}

inline std::string text(const std::optional<Bytes>& bytes) {
    return bytes ? toString(*bytes) : "<none>";
}

}  // namespace plovendale::test
