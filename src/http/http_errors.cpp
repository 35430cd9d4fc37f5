#include "http/st_http_request_impl.h"
#include "plovendale/http/st_http_request.h"

namespace plovendale {
namespace {

const char* statusText(std::uint64_t status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 411:
            return "Length Required";
        case 412:
            return "Precondition Failed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 416:
            return "Requested Range Not Satisfiable";
        case 417:
            return "Expectation Failed";
        case 422:
            return "Unprocessable Entity";
        case 423:
            return "Locked";
        case 424:
            return "Failed Dependency";
        case 425:
            return "Unassigned";
        case 426:
            return "Upgrade Required";
        case 427:
            return "Unassigned";
        case 428:
            return "Precondition Required";
        case 429:
            return "Too Many Requests";
        case 430:
            return "Unassigned";
        case 431:
            return "Request Header Fields Too Large";
        case 432:
            return "Unassigned";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        case 505:
            return "HTTP Version Not Supported";
        case 506:
            return "Variant Also Negotiates";
        case 507:
            return "Insufficient Storage";
        case 508:
            return "Loop Detected";
        case 509:
            return "Unassigned";
        case 510:
            return "Not Extended";
        case 511:
            return "Network Authentication Required";
        default:
            return nullptr;
    }
}

}  // namespace

std::string STHTTPRequest::descriptionForHTTPStatus(std::uint64_t status) {
    std::string text = "HTTP Status " + std::to_string(status);
    if (const char* suffix = statusText(status)) {
        text += ": ";
        text += suffix;
    }
    return text;
}

std::optional<Error> STHTTPRequest::errorDescribingRequestNonfulfillment() {
    if (impl_->responseStatus < 400) return std::nullopt;
    Error error =
        Error::make(kSTHTTPRequestErrorDomain, impl_->responseStatus,
                    descriptionForHTTPStatus(static_cast<std::uint64_t>(impl_->responseStatus)));
    if (const auto& headers = responseHeaders()) error.userInfo["headers"] = *headers;
    // A body that cannot be decoded is left out.
    if (auto body = responseString()) error.userInfo["body"] = *body;
    return error;
}

bool st_isAuthenticationError(const Error& error) {
    if (error.domain == kSTHTTPRequestErrorDomain) return error.code == 401;
    if (error.domain == kNSURLErrorDomain) {
        return error.code == URLErrorCode::kUserCancelledAuthentication ||
               error.code == URLErrorCode::kUserAuthenticationRequired;
    }
    return false;
}

bool st_isCancellationError(const Error& error) {
    return error.domain == kSTHTTPRequestErrorDomain &&
           error.code == kSTHTTPRequestCancellationError;
}

}  // namespace plovendale
