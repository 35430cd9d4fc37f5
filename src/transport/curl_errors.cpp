// The URL loading system's error codes for what libcurl reports, and their descriptions.

#include <string>

#include "transport/curl_exchange.h"
#include "transport/url_session.h"

namespace plovendale::curl {
namespace {

std::string describe(std::int64_t code) {
    switch (code) {
        case URLErrorCode::kCancelled:
            return "cancelled";
        case URLErrorCode::kBadURL:
            return "bad URL";
        case URLErrorCode::kTimedOut:
            return "The request timed out.";
        case URLErrorCode::kUnsupportedURL:
            return "unsupported URL";
        case URLErrorCode::kCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrorCode::kCannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrorCode::kNetworkConnectionLost:
            return "The network connection was lost.";
        case URLErrorCode::kHTTPTooManyRedirects:
            return "too many HTTP redirects";
        case URLErrorCode::kBadServerResponse:
            return "bad server response";
        case URLErrorCode::kCannotDecodeContentData:
            return "cannot decode raw data";
        case URLErrorCode::kDataLengthExceedsMaximum:
            return "resource exceeds maximum size";
        case URLErrorCode::kSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case URLErrorCode::kServerCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case URLErrorCode::kCannotOpenFile:
            return "cannot open file";
        default:
            return "unknown error";
    }
}

}  // namespace

std::int64_t codeFor(CURLcode code, bool responseSeen) {
    switch (code) {
        case CURLE_URL_MALFORMAT:
            return URLErrorCode::kBadURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return URLErrorCode::kCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return URLErrorCode::kCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT:
            return URLErrorCode::kTimedOut;
        case CURLE_PEER_FAILED_VERIFICATION:
            return URLErrorCode::kServerCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_CLIENTCERT:
        case CURLE_USE_SSL_FAILED:
            return URLErrorCode::kSecureConnectionFailed;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_SEND_FAIL_REWIND:
        case CURLE_HTTP2_STREAM:
            return URLErrorCode::kNetworkConnectionLost;
        // The scheme is checked before the transfer, so this is libcurl refusing an HTTP/0.9 reply,
        // that is a reply without a status line.
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_RANGE_ERROR:
            return URLErrorCode::kBadServerResponse;
        case CURLE_BAD_CONTENT_ENCODING:
            return URLErrorCode::kCannotDecodeContentData;
        case CURLE_READ_ERROR:
            return URLErrorCode::kCannotOpenFile;
        // libcurl answers an oversized header line with "out of memory".
        case CURLE_OUT_OF_MEMORY:
            return responseSeen ? URLErrorCode::kUnknown : URLErrorCode::kBadServerResponse;
        default:
            return URLErrorCode::kUnknown;
    }
}

Error urlError(std::int64_t code, const std::string& failingURL) {
    Error error = Error::make(kNSURLErrorDomain, code, describe(code));
    if (!failingURL.empty()) error.userInfo["NSErrorFailingURLStringKey"] = failingURL;
    return error;
}

}  // namespace plovendale::curl
