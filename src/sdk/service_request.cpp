#include "sdk/service_request.h"

namespace plovendale::internal {
namespace {

// The service answers with a small JSON object; a longer answer is not one, and must not cost the
// host's memory.
constexpr std::int64_t kMaxServiceAnswerBytes = 1024 * 1024;

}  // namespace

std::shared_ptr<STHTTPRequest> makeServiceRequest(const std::string& url, Bytes body,
                                                  double timeoutSeconds) {
    auto request = STHTTPRequest::requestWithURLString(url);
    if (!request) return nullptr;
    request->setHTTPMethod("POST");
    request->setRawPOSTData(std::move(body));
    request->setTimeoutSeconds(timeoutSeconds);
    request->setMaximumResponseBodySize(kMaxServiceAnswerBytes);
    request->setHeaderWithName("Content-Type", "application/json");
    return request;
}

std::int64_t httpStatusOf(const Error& error) {
    return error.domain == kSTHTTPRequestErrorDomain && error.code >= 400 ? error.code : 0;
}

}  // namespace plovendale::internal
