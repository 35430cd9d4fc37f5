#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plovendale/http/st_http_request.h"

namespace plovendale {

/// Everything a request holds, each member initialised as a new request has it. Kept out of the
/// public header so that the object's layout, and with it the library's ABI, does not change when a
/// field does.
struct STHTTPRequest::Impl {
    std::int64_t responseStatus = 0;
    std::shared_ptr<URLSessionTask> task;
    Bytes responseData;
    std::optional<std::string> responseStringEncodingName;
    mutable std::optional<STHTTPHeaders> responseHeaders;  ///< read through settledResponseHeaders
    std::shared_ptr<const HTTPURLResponse> takenResponse;  ///< the response fields came from
    /// responseHeaders are still those of takenResponse (no setter has replaced them).
    bool responseHeadersTaken = false;
    /// responseHeaders are takenResponse's, copied when first read: most requests never read them
    /// (the callbacks get the response's own), and the copy would cost every answer.
    mutable bool responseHeadersPending = false;
    std::string url;
    std::optional<Error> error;
    std::vector<STHTTPRequestFileUpload> filesToUpload;
    std::vector<STHTTPRequestDataUpload> dataToUpload;
    std::shared_ptr<const URLRequest> request;
    std::optional<std::string> HTTPBodyFileURL;
    std::vector<HTTPCookie> ephemeralRequestCookies;

    mutable std::mutex blocksMutex;
    // Whether the progress blocks are set, for the threads that only ask that (once per event)
    // without the lock. Written under blocksMutex.
    std::atomic<bool> hasUploadProgressBlock{false};
    std::atomic<bool> hasDownloadProgressBlock{false};
    STHTTPRequestUploadProgressBlock uploadProgressBlock;
    STHTTPRequestDownloadProgressBlock downloadProgressBlock;
    STHTTPRequestCompletionBlock completionBlock;
    STHTTPRequestErrorBlock errorBlock;
    STHTTPRequestCompletionDataBlock completionDataBlock;

    std::string HTTPMethod = "GET";
    STHTTPHeaders requestHeaders;
    std::optional<STHTTPDictionary> POSTDictionary;
    std::optional<STHTTPDictionary> GETDictionary;
    std::optional<Bytes> rawPOSTData;
    NSStringEncoding POSTDataEncoding = NSUTF8StringEncoding;
    double timeoutSeconds = kSTHTTPRequestDefaultTimeout;
    std::int64_t maximumResponseBodySize = 0;
    bool discardsResponseBody = false;
    bool addCredentialsToURL = false;
    bool encodePOSTDictionary = true;
    bool encodeGETDictionary = true;
    bool preventRedirections = false;
    bool useUploadTaskInBackground = false;
    STHTTPRequestCookieStoragePolicy cookieStoragePolicyForInstance = CookieStorageUnset;
    std::optional<std::string> sharedContainerIdentifier;
    NSStringEncoding forcedResponseEncoding = 0;
    std::optional<std::string> responseString;
    std::int64_t responseExpectedContentLength = 0;
    bool ignoreCache = false;

    // The session of the latest start; events of a session are handled against this request.
    std::shared_ptr<URLSession> session;

    const std::optional<STHTTPHeaders>& settledResponseHeaders() const {
        if (responseHeadersPending) {
            responseHeaders = takenResponse->allHeaderFields;
            responseHeadersPending = false;
        }
        return responseHeaders;
    }

    /// A copy of a callback, taken under the lock so that another thread may replace it meanwhile.
    template <typename Block>
    Block readBlock(const Block& block) const {
        std::lock_guard lock(blocksMutex);
        return block;
    }
};

/// The request's fields, for code that builds a response or an outcome without a transfer (the
/// tests). A host has no way to these: what it reads comes from an exchange.
struct STHTTPRequestAccess {
    static STHTTPRequest::Impl& fields(STHTTPRequest& request) { return *request.impl_; }
};

}  // namespace plovendale
