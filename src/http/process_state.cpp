#include "http/process_state.h"

namespace plovendale::http {

ProcessState& processState() {
    static ProcessState state;
    return state;
}

#ifdef PLOVENDALE_TEST_SEAMS
void resetProcessStateForTests() {
    STHTTPRequest::clearSession();
    STHTTPRequest::setGlobalCookiesStoragePolicy(CookieStorageShared);
    STHTTPRequest::setGlobalIgnoreCache(false);
    STHTTPRequest::setDefaultMaximumResponseBodySize(kDefaultMaximumResponseBodySize);
    auto& state = processState();
    decltype(state.backgroundCompletionHandlers) released;  // the host's, dropped unlocked
    std::lock_guard lock(state.mutex);
    released.swap(state.backgroundCompletionHandlers);
}
#endif

}  // namespace plovendale::http
