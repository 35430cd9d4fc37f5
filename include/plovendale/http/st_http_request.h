#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plovendale/export.h"
#include "plovendale/http/st_http_upload.h"
#include "plovendale/http/st_http_value.h"
#include "plovendale/http/string_encoding.h"
#include "plovendale/http/url_credential.h"
#include "plovendale/platform/bytes.h"
#include "plovendale/platform/error.h"
#include "plovendale/platform/http_cookie.h"
#include "plovendale/platform/url_request.h"

namespace plovendale {

// The URL-loading layer the request runs on; a host never needs its definitions.
class URLSession;
class URLSessionTask;
struct URLSessionConfiguration;

/// Where a request's cookies come from and go to. Values other than the four named ones may be
/// stored; they resolve to "no cookies at all".
enum STHTTPRequestCookieStoragePolicy : std::uint64_t {
    CookieStorageShared = 0,  ///< the process's shared cookie store (HTTPCookieStorage::shared())
    CookieStorageLocal = 1,   ///< the HTTP client's process-wide list, matched by exact host
    CookieStorageEphemeral = 2,              ///< the request's own ephemeralRequestCookies
    CookieStorageUnset = ~std::uint64_t{0},  ///< per request only: follow the process-wide policy
};

inline constexpr int kSTHTTPRequestDefaultTimeout = 30;
/// Code of the error that cancel() reports (domain "STHTTPRequest").
inline constexpr int kSTHTTPRequestCancellationError = 1;
/// Domain of the errors the request makes itself.
inline constexpr const char* kSTHTTPRequestErrorDomain = "STHTTPRequest";

/// Header fields of a response or of a request, by name.
using STHTTPHeaders = std::map<std::string, std::string>;

using STHTTPRequestUploadProgressBlock = std::function<void(
    std::int64_t bytesSent, std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend)>;
using STHTTPRequestDownloadProgressBlock = std::function<void(
    const Bytes& data, std::int64_t totalBytesReceived, std::int64_t totalBytesExpectedToReceive)>;
/// The body decoded to text, or nothing when it is not valid in its encoding.
using STHTTPRequestCompletionBlock =
    std::function<void(const STHTTPHeaders& headers, const std::optional<std::string>& body)>;
using STHTTPRequestCompletionDataBlock =
    std::function<void(const STHTTPHeaders& headers, const Bytes& data)>;
using STHTTPRequestErrorBlock = std::function<void(const Error& error)>;

/// One HTTP exchange, from its configuration to its outcome.
///
/// Threads: configure and start a request on one thread; every callback then runs on the main queue
/// (MainQueue), except the error calls made inside startAsynchronous() and cancel(), which run on
/// the caller's thread before they return. The five callbacks may be replaced from any thread;
/// every other property is a plain field: after startAsynchronous() has returned, read it on the
/// main queue only. A started request stays alive until its outcome has been delivered, even when
/// nobody holds it.
class PLOVENDALE_API STHTTPRequest : public std::enable_shared_from_this<STHTTPRequest> {
    struct PrivateToken {
        explicit PrivateToken() = default;
    };

  public:
    // ---- Construction -------------------------------------------------------------------------

    /// A request for an absolute URL, or nullptr when there is none or the text is not a URL.
    static std::shared_ptr<STHTTPRequest> requestWithURL(const std::optional<std::string>& url);
    /// A request for the URL that the text holds, or nullptr when the text is not a URL.
    static std::shared_ptr<STHTTPRequest> requestWithURLString(const std::string& text);

    STHTTPRequest(PrivateToken, std::string url);
    ~STHTTPRequest();
    STHTTPRequest(const STHTTPRequest&) = delete;
    STHTTPRequest& operator=(const STHTTPRequest&) = delete;

    // ---- Class-level settings (process-wide) --------------------------------------------------

    static void setGlobalIgnoreCache(bool ignore);
    static bool globalIgnoreCache();
    static void setGlobalCookiesStoragePolicy(STHTTPRequestCookieStoragePolicy policy);
    static STHTTPRequestCookieStoragePolicy globalCookiesStoragePolicy();
    /// Empties the shared cookie store, then the local cookie list, then the credential table.
    static void clearSession();
    /// The maximumResponseBodySize of requests made from now on (at first 10 MiB).
    static void setDefaultMaximumResponseBodySize(std::int64_t bytes);
    static std::int64_t defaultMaximumResponseBodySize();

    // ---- Response ---------------------------------------------------------------------------

    std::int64_t responseStatus() const;
    const Bytes& responseData() const;
    const std::optional<std::string>& responseStringEncodingName() const;
    const std::optional<STHTTPHeaders>& responseHeaders() const;
    std::int64_t responseExpectedContentLength() const;
    /// The body decoded with responseStringEncodingName (or forcedResponseEncoding); decoded on the
    /// first read that succeeds and kept from then on.
    std::optional<std::string> responseString();
    /// Decodes bytes with this request's rules: forcedResponseEncoding when set, else the IANA
    /// character-set name (UTF-8 when absent or unknown). Invalid bytes give nothing.
    std::optional<std::string> stringWithData(const Bytes& data,
                                              const std::optional<std::string>& encodingName) const;

    // ---- Request configuration ------------------------------------------------------------------

    /// The target, as absolute URL text, before query parameters and credentials are added.
    const std::string& url() const;
    void setUrl(std::string url);
    const std::optional<Error>& error() const;
    const std::vector<STHTTPRequestFileUpload>& filesToUpload() const;
    void setFilesToUpload(std::vector<STHTTPRequestFileUpload> files);
    const std::vector<STHTTPRequestDataUpload>& dataToUpload() const;
    void setDataToUpload(std::vector<STHTTPRequestDataUpload> data);
    /// The wire request as the task sends it, recorded at start (shared with the task, not
    /// copied); null before.
    const std::shared_ptr<const URLRequest>& request() const;
    /// The file URL ("file://" and the path) of a background upload's temporary body file.
    const std::optional<std::string>& HTTPBodyFileURL() const;
    const std::vector<HTTPCookie>& ephemeralRequestCookies() const;
    void setEphemeralRequestCookies(std::vector<HTTPCookie> cookies);

    const std::string& HTTPMethod() const;
    void setHTTPMethod(std::string method);
    /// The caller's header fields (names compared exactly); after a start, every field of the
    /// request as sent.
    const STHTTPHeaders& requestHeaders() const;
    void setRequestHeaders(STHTTPHeaders headers);
    const std::optional<STHTTPDictionary>& POSTDictionary() const;
    void setPOSTDictionary(std::optional<STHTTPDictionary> fields);
    const std::optional<STHTTPDictionary>& GETDictionary() const;
    void setGETDictionary(std::optional<STHTTPDictionary> parameters);
    const std::optional<Bytes>& rawPOSTData() const;
    void setRawPOSTData(std::optional<Bytes> data);
    NSStringEncoding POSTDataEncoding() const;
    void setPOSTDataEncoding(NSStringEncoding encoding);
    /// Seconds the whole exchange may take (time waiting for a free connection or for the main
    /// queue aside) before it fails with NSURLErrorDomain -1001; 0 leaves the service's default.
    double timeoutSeconds() const;
    void setTimeoutSeconds(double seconds);
    /// Bytes of response body the request accepts. A longer body (or a longer announced one) fails
    /// it with NSURLErrorDomain -1103 "resource exceeds maximum size", and what it had received is
    /// released. Data events waiting for the main queue count too: they never hold more.
    std::int64_t maximumResponseBodySize() const;
    void setMaximumResponseBodySize(std::int64_t bytes);
    /// When true, the body is dropped as it arrives: responseData stays empty, the completion
    /// callbacks receive an empty body and downloadProgressBlock is not called. For requests whose
    /// answer only matters by its status.
    bool discardsResponseBody() const;
    void setDiscardsResponseBody(bool discards);
    bool addCredentialsToURL() const;
    void setAddCredentialsToURL(bool add);
    bool encodePOSTDictionary() const;
    void setEncodePOSTDictionary(bool encode);
    bool encodeGETDictionary() const;
    void setEncodeGETDictionary(bool encode);
    bool preventRedirections() const;
    void setPreventRedirections(bool prevent);
    bool useUploadTaskInBackground() const;
    void setUseUploadTaskInBackground(bool use);
    STHTTPRequestCookieStoragePolicy cookieStoragePolicyForInstance() const;
    void setCookieStoragePolicyForInstance(STHTTPRequestCookieStoragePolicy policy);
    const std::optional<std::string>& sharedContainerIdentifier() const;
    void setSharedContainerIdentifier(std::optional<std::string> identifier);
    NSStringEncoding forcedResponseEncoding() const;
    void setForcedResponseEncoding(NSStringEncoding encoding);
    bool ignoreCache() const;
    void setIgnoreCache(bool ignore);

    // ---- Callbacks (any thread) ---------------------------------------------------------------

    STHTTPRequestUploadProgressBlock uploadProgressBlock() const;
    /// A body under 64 KiB is followed as it goes out when the block is set before the request
    /// starts; set later, the block hears of such a body once, when the response arrives.
    void setUploadProgressBlock(STHTTPRequestUploadProgressBlock block);
    STHTTPRequestDownloadProgressBlock downloadProgressBlock() const;
    void setDownloadProgressBlock(STHTTPRequestDownloadProgressBlock block);
    STHTTPRequestCompletionBlock completionBlock() const;
    void setCompletionBlock(STHTTPRequestCompletionBlock block);
    STHTTPRequestErrorBlock errorBlock() const;
    void setErrorBlock(STHTTPRequestErrorBlock block);
    STHTTPRequestCompletionDataBlock completionDataBlock() const;
    void setCompletionDataBlock(STHTTPRequestCompletionDataBlock block);

    // ---- Header fields and uploads --------------------------------------------------------------

    /// Stores the value under exactly that name, replacing an earlier one.
    void setHeaderWithName(const std::string& name, const std::string& value);
    void removeHeaderWithName(const std::string& name);
    /// A file part with MIME type "application/octet-stream".
    void addFileToUpload(const std::string& path, const std::string& parameterName);
    /// A data part without MIME type and file name (sent as "application/octet-stream").
    void addDataToUpload(const Bytes& data, const std::string& parameterName);
    void addDataToUpload(const Bytes& data, const std::string& parameterName,
                         const std::optional<std::string>& mimeType,
                         const std::optional<std::string>& fileName);

    // ---- Preparation
    // ------------------------------------------------------------------------------

    /// The wire request, or nothing when credentials were to be put into the URL and cannot be.
    /// Changes HTTPMethod (a GET with a body becomes POST), POSTDictionary (escaped when
    /// encodePOSTDictionary) and requestHeaders (Content-Type of a form body). Called by the
    /// starts.
    std::optional<URLRequest> prepareURLRequest();

    /// The URL text followed by the query parameters, parsed again; nothing when it no longer
    /// parses.
    static std::optional<std::string> appendURL(
        const std::string& url, const std::optional<STHTTPDictionary>& GETParameters,
        bool doApplyURLEncoding);
    /// The URL with "user:password@" after its "//" (both percent-escaped); nothing without a
    /// credential, for a URL without "//" after the scheme, or when the result is not a URL.
    static std::optional<std::string> urlByAddingCredentials(
        const std::optional<URLCredential>& credential, const std::string& url);
    /// The entries in ascending key order (byte order of the UTF-8 keys).
    static std::vector<std::pair<std::string, STHTTPValue>> dictionariesSortedByKey(
        const std::optional<STHTTPDictionary>& dictionary);
    /// The bytes of one multipart part (leading delimiter, disposition, content type, data).
    static Bytes multipartContentWithBoundary(const std::string& boundary, const Bytes& data,
                                              const std::optional<std::string>& fileName,
                                              const std::string& parameterName,
                                              const std::optional<std::string>& mimeType);

    // ---- Execution
    // --------------------------------------------------------------------------------

    /// Starts the request in a URL session of its own and returns at once.
    void startAsynchronous();
    /// Performs the request on the calling thread and returns the decoded body (or nothing). The
    /// slot, when given, receives the transport error, or the status error for a status of 400 or
    /// more. No callback is called.
    std::optional<std::string> startSynchronousWithError(std::optional<Error>* error = nullptr);
    /// Cancels the running task and reports the cancellation through errorBlock at once; the
    /// service's own cancellation error follows later on the main queue.
    void cancel();
    /// Keeps the handler that the host received for a background session (an empty one removes it).
    /// It is called once, on the main queue, when that session has finished its events.
    static void setBackgroundCompletionHandler(std::function<void()> handler,
                                               const std::string& identifier);

    // ---- Errors ---------------------------------------------------------------------------------

    /// The status error for a responseStatus of 400 or more (decodes and keeps responseString).
    std::optional<Error> errorDescribingRequestNonfulfillment();
    /// "HTTP Status <status>", followed by ": <text>" for a status with a known text.
    static std::string descriptionForHTTPStatus(std::uint64_t status);

    // ---- Cookies and credentials
    // ------------------------------------------------------------------

    /// The instance's policy, or the process-wide one when the instance's is CookieStorageUnset.
    STHTTPRequestCookieStoragePolicy cookieStoragePolicy() const;
    /// A snapshot of the process-wide list used under CookieStorageLocal, in the order added.
    static std::vector<HTTPCookie> localCookiesStorage();
    /// The cookies this request sends under its policy.
    std::vector<HTTPCookie> requestCookies() const;
    /// Files one cookie under the request's policy; nothing for an absent cookie.
    void addCookie(const std::optional<HTTPCookie>& cookie);
    void addCookieWithName(const std::string& name, const std::string& value,
                           const std::optional<std::string>& url);
    void addCookieWithName(const std::string& name, const std::string& value);
    /// A cookie for the URL's host, path "/", version 0, expiring in 30 days; nothing without a
    /// URL that has a host.
    static std::optional<HTTPCookie> createCookieWithName(const std::string& name,
                                                          const std::string& value,
                                                          const std::optional<std::string>& url);
    static void addCookieToSharedCookiesStorage(const std::optional<HTTPCookie>& cookie);
    static void addCookieToSharedCookiesStorageWithName(const std::string& name,
                                                        const std::string& value,
                                                        const std::optional<std::string>& url);
    static std::vector<HTTPCookie> sessionCookiesInSharedCookiesStorage();
    std::vector<HTTPCookie> sessionCookies() const;
    void deleteSessionCookies();
    static void deleteAllCookiesFromSharedCookieStorage();
    static void deleteAllCookiesFromLocalCookieStorage();
    void deleteAllCookies();

    /// A snapshot of the process-wide credential table (host to credential).
    static std::map<std::string, URLCredential> sharedCredentialsStorage();
    static std::optional<URLCredential> sessionAuthenticationCredentialsForURL(
        const std::string& url);
    static void deleteAllCredentials();
    /// Stores the credential for the host of url (nothing happens for a URL without a host).
    void setCredentialForCurrentHost(const URLCredential& credential);
    std::optional<URLCredential> credentialForCurrentHost() const;
    void setUsername(const std::string& user, const std::string& password);
    std::optional<std::string> username() const;
    std::optional<std::string> password() const;

    // ---- Diagnostics ----------------------------------------------------------------------------

    /// A curl command line that repeats the request.
    std::string curlDescription() const;
    /// A short summary: method and URL, headers, form fields, uploads.
    std::string debugDescription() const;

  private:
    friend class STHTTPRequestSessionDelegate;
    friend struct STHTTPRequestAccess;  // the library's own code, not a host's

    /// Whether a progress block is set, without copying it (and what it captured) on the caller's
    /// thread.
    bool hasUploadProgressBlock() const;
    URLSessionConfiguration makeConfiguration() const;
    std::shared_ptr<URLSessionTask> makeTask(URLSession& session,
                                             std::optional<URLRequest> request);
    void logDiagnostics() const;
    void reportError(const Error& error) const;
    void takeResponseFields(const std::shared_ptr<const HTTPURLResponse>& response);
    void removeBodyFile();

    // Event handling on the main queue (see the session delegate).
    void handleResponse(const std::shared_ptr<const HTTPURLResponse>& response,
                        const std::string& requestURL);
    void handleData(const Bytes& data);
    void handleCompletion(const std::shared_ptr<URLSession>& session,
                          const std::shared_ptr<const HTTPURLResponse>& response,
                          const std::optional<Error>& error);

    // Every field lives behind this pointer, so that the object's layout does not change when
    // one does.
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Whether the error says that authentication failed: "STHTTPRequest" 401, or the URL-loading
/// domain's -1012 (authentication cancelled) and -1013 (authentication required).
PLOVENDALE_API bool st_isAuthenticationError(const Error& error);
/// Whether the error is the one cancel() reports ("STHTTPRequest" 1). The URL-loading service's own
/// cancellation error is not.
PLOVENDALE_API bool st_isCancellationError(const Error& error);
/// The text with the parameters in ascending key order ("?" first, "&" after a "?"), escaped
/// when doApplyURLEncoding is true. They go before a fragment ("a?x=1#frag"); a "?" inside the
/// fragment does not count.
PLOVENDALE_API std::string st_stringByAppendingGETParameters(
    const std::string& text, const std::optional<STHTTPDictionary>& parameters,
    bool doApplyURLEncoding);
/// Every UTF-8 byte but the RFC 3986 unreserved characters as "%XX" (upper-case hexadecimal). The
/// encoding does not change the result.
PLOVENDALE_API std::string st_stringByAddingRFC3986PercentEscapesUsingEncoding(
    const std::string& text, NSStringEncoding encoding);

}  // namespace plovendale
