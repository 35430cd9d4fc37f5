#pragma once

#include <memory>
#include <string>

#include "plovendale/http/st_http_request.h"

namespace plovendale::internal {

/// A JSON POST to the attribution service; nothing when the URL text does not form a URL.
std::shared_ptr<STHTTPRequest> makeServiceRequest(const std::string& url, Bytes body,
                                                  double timeoutSeconds);

/// The HTTP status behind a request's error: its response status for an HTTP error, 0 when no
/// answer came (transport failure, timeout).
std::int64_t httpStatusOf(const Error& error);

}  // namespace plovendale::internal
