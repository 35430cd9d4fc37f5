#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plovendale/http/st_http_request.h"
#include "transport/url_session.h"

namespace plovendale::http {

/// What every request of the process shares. Requests are prepared on the caller's thread while
/// responses are filed on the main queue, so each piece is guarded.
struct ProcessState {
    std::atomic<bool> globalIgnoreCache{false};
    std::atomic<std::uint64_t> globalCookiesStoragePolicy{CookieStorageShared};
    std::atomic<std::int64_t> defaultMaximumResponseBodySize{kDefaultMaximumResponseBodySize};

    std::mutex mutex;
    // Dropped by deleteAllCookiesFromLocalCookieStorage and created again on the next use.
    std::shared_ptr<std::vector<HTTPCookie>> localCookies;
    std::map<std::string, URLCredential> credentials;
    /// credentials is not empty, as last written under `mutex`: every request asks, and most
    /// processes store none, so the answer for them takes no lock.
    std::atomic<bool> holdsCredentials{false};
    std::map<std::string, std::function<void()>> backgroundCompletionHandlers;

    /// The local cookie list, created when there is none. Call with `mutex` held.
    std::vector<HTTPCookie>& localCookiesLocked() {
        if (!localCookies) localCookies = std::make_shared<std::vector<HTTPCookie>>();
        return *localCookies;
    }
};

ProcessState& processState();

/// Ends every transfer of the process and joins the threads that run them; false, and nothing done,
/// on one of those threads. resumeTransfers starts them again. Main thread, with no other thread
/// starting requests meanwhile.
bool stopTransfers();
void resumeTransfers();

}  // namespace plovendale::http
