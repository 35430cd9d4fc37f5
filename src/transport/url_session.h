#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "plovendale/platform/bytes.h"
#include "plovendale/platform/error.h"
#include "plovendale/platform/url_request.h"
#include "transport/http_cookie_storage.h"

namespace plovendale {

/// The URL session service of a desktop host, over libcurl. One I/O thread runs every transfer of
/// the process. A delegate that only hands its events on (handsEventsOn) is called on the I/O
/// thread itself; every other delegate's events go through one shared delivery thread (each
/// session's events one at a time and in order). Delegates must not block for long: a slow one
/// delays the events of the other sessions, or, on the I/O thread, the transfers.
///
/// The outcome path of a request, and where each part runs:
///
///     host thread    STHTTPRequest::startAsynchronous: prepares the URLRequest (the one place
///        |           that decides its header fields), makes a session and a task, resumes it
///        v
///     I/O thread     curl::Engine: one multi handle; the task's exchanges, redirections, timeouts.
///        |    \      STHTTPRequest's delegate is called here: it takes each response at once and
///        |     \     posts the events' work for the main queue, a pass's work in one step
///        |      v
///        |    delivery thread   the calls of every other delegate, in event order
///        v
///     main queue     the host drains it: the request's fields and blocks, and with them the host's
///                    handlers
///
/// No handler of the host runs on the I/O or the delivery thread; a host's main-queue poster is
/// called there, and only hands the work on.
///
/// Transport failures complete the task with an Error in kNSURLErrorDomain:
///   -999 "cancelled" (cancel(), or a response answered with Cancel)
///   -1000 "bad URL", -1002 "unsupported URL" (only http and https are spoken)
///   -1001 "The request timed out." (see URLRequest::timeoutInterval: the whole exchange's bound)
///   -1003 "A server with the specified hostname could not be found."
///   -1004 "Could not connect to the server."
///   -1005 "The network connection was lost." (also a body cut short or malformed on the wire)
///   -1007 "too many HTTP redirects" (more than 16)
///   -1011 "bad server response" (unparsable status line or oversized header block)
///   -1016 "cannot decode raw data"
///   -1103 "resource exceeds maximum size" (see maximumResponseBodySize)
///   -1200 "An SSL error has occurred and a secure connection to the server cannot be made."
///   -1202 "The certificate for this server is invalid."
///   -3000 "cannot open file" (the file of an upload task is missing or unreadable)
/// HTTP statuses are never errors: 4xx and 5xx complete normally with their response.
///
/// At most six transfers to one origin (scheme, host, port) run at a time; further ones wait for a
/// slot, and their timeout starts only when they run.

/// The response body size a session accepts unless configured otherwise.
inline constexpr std::int64_t kDefaultMaximumResponseBodySize = 10 * 1024 * 1024;

struct URLSessionConfiguration {
    /// A desktop host offers no background transfers (and has no cellular radio or app-group
    /// container to configure): callers that would ask for one take the ephemeral kind.
    enum class Kind { Default, Ephemeral };
    static URLSessionConfiguration defaultSessionConfiguration();
    static URLSessionConfiguration ephemeralSessionConfiguration();
    Kind kind = Kind::Default;
    std::string identifier;  ///< given by the caller; names the session to background handlers
    /// Bytes of response body (after content decoding) a task accepts. A longer body fails the task
    /// with -1103 as soon as it is known: at once when Content-Length announces it, otherwise
    /// before the byte over the limit is delivered. So the data a task ever delivers stays within
    /// it.
    std::int64_t maximumResponseBodySize = kDefaultMaximumResponseBodySize;
};

enum class URLSessionResponseDisposition { Cancel = 0, Allow = 1 };

/// What the cache question proposes to store. The service keeps no cache on a desktop host, so
/// the body, which nothing would read, is not copied into it.
struct CachedURLResponse {
    HTTPURLResponse response;
};

class URLSession;

/// All members are callable from any thread. Requests and responses are handed out shared and are
/// never changed once handed out.
class URLSessionTask {
  public:
    virtual ~URLSessionTask() = default;
    /// Starts a suspended task; does nothing otherwise.
    virtual void resume() = 0;
    /// The task then completes with NSURLErrorDomain -999 "cancelled" (also one never resumed);
    /// nothing happens to a completed task.
    virtual void cancel() = 0;
    /// The request as sent, with the fields the service added (Host and libcurl's default
    /// "Accept: */*" are not listed; Cookie, Content-Length, Content-Type and the caller's fields
    /// are). Complete as soon as resume() returns; after a followed redirection, the redirected
    /// request. Before resume(): the request as given.
    virtual std::shared_ptr<const URLRequest> currentRequest() const = 0;
    /// The final response once it has arrived (the one didReceiveResponse is given), else null.
    virtual std::shared_ptr<const HTTPURLResponse> response() const = 0;
};

/// Events of one session are delivered one at a time and in order, on the session's own serial
/// delegate queue (never on the caller's stack inside resume()). The three events with a completion
/// handler may be answered later from any thread; the transfer waits for the answer (data that
/// arrives meanwhile is held back and delivered after the answer). Only the first call of a
/// completion handler counts; a handler destroyed without being called gives the default answer.
class URLSessionDelegate {
  public:
    virtual ~URLSessionDelegate() = default;
    /// True for a delegate whose methods only hand the event on (post it to another queue) and
    /// return at once, never blocking. Its events are then delivered on the I/O thread itself,
    /// which saves a thread hop per event. A completion handler called inside such a method is
    /// applied after the method has returned.
    /// Asked once, when the session is made. Default: false (the delegate thread).
    virtual bool handsEventsOn() const { return false; }
    /// True for a delegate that answers every didReceiveResponse with Allow before the call
    /// returns. The task then takes each response without waiting for the answer, and the handler
    /// the delegate is given does nothing. Asked once, when the session is made. Default: false.
    virtual bool allowsEveryResponse() const { return false; }
    /// False for a delegate that has no use for following the sending of a small body (one under
    /// 64 KiB, handed to the transfer whole): its didSendBodyData then comes once, when the
    /// response arrives, rather than as the body goes out, which spares the transfer a dozen
    /// progress calls. Larger bodies are followed either way. Asked once, when the session is made.
    /// Default: true.
    virtual bool followsSmallBodySending() const { return true; }
    /// Default: Allow.
    virtual void didReceiveResponse(
        URLSession&, URLSessionTask&, const HTTPURLResponse&,
        std::function<void(URLSessionResponseDisposition)> completionHandler) {
        completionHandler(URLSessionResponseDisposition::Allow);
    }
    virtual void didReceiveData(URLSession&, URLSessionTask&, const Bytes& /*data*/) {}
    /// The same event, with bytes the delegate may keep (move from) rather than copy. The service
    /// calls this one. Default: didReceiveData.
    virtual void didReceiveOwnedData(URLSession& session, URLSessionTask& task, Bytes& data) {
        didReceiveData(session, task, data);
    }
    virtual void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t /*bytesSent*/,
                                 std::int64_t /*totalBytesSent*/,
                                 std::int64_t /*totalBytesExpectedToSend*/) {}
    /// newRequest: the request the service proposes for the Location; answering nothing refuses the
    /// redirection and the 3xx response becomes the final response (its body is delivered as data).
    /// Default: follow.
    virtual void willPerformHTTPRedirection(
        URLSession&, URLSessionTask&, const HTTPURLResponse&, const URLRequest& newRequest,
        std::function<void(std::optional<URLRequest>)> completionHandler) {
        completionHandler(newRequest);
    }
    /// Asked when a cacheable response (2xx GET, body up to 1 MiB, no "no-store") has arrived, just
    /// before the task completes. The service keeps no cache on a desktop host: the task does not
    /// wait for the answer, and the answer changes nothing. Default: store as proposed.
    virtual void willCacheResponse(
        URLSession&, URLSessionTask&, const CachedURLResponse& proposedResponse,
        std::function<void(std::optional<CachedURLResponse>)> completionHandler) {
        completionHandler(proposedResponse);
    }
    virtual void didCompleteWithError(URLSession&, URLSessionTask&,
                                      const std::optional<Error>& /*error*/) {}
    virtual void didBecomeInvalidWithError(URLSession&, const std::optional<Error>& /*error*/) {}
    virtual void didFinishEventsForBackgroundURLSession(URLSession&) {}
};

/// For delegates that hand their events to the host's main queue (see handsEventsOn): queues the
/// work there. What one pass of the I/O thread hands on reaches the main queue together, so the
/// main thread is woken once for it rather than per event. Any thread; each thread's order is kept.
void postDelegateWorkToMainQueue(std::function<void()> work);

/// All members are callable from any thread.
class URLSession {
  public:
    /// The session holds its delegate strongly until it has been invalidated and has delivered
    /// didBecomeInvalidWithError; the service keeps the session alive while it has running tasks.
    /// A null delegate is allowed (events are then dropped, questions get their default answers).
    /// Cookies: a Default session uses HTTPCookieStorage::shared(); an Ephemeral one keeps a
    /// private in-memory store of its own (nothing of the shared store is sent, nothing is stored
    /// there).
    static std::shared_ptr<URLSession> sessionWithConfiguration(
        const URLSessionConfiguration&, std::shared_ptr<URLSessionDelegate> delegate);
    virtual ~URLSession() = default;
    /// A suspended task, or nullptr when none can be made (empty URL, text that is not an absolute
    /// URL — no scheme, spaces, control or non-ASCII bytes —, invalidated session).
    virtual std::shared_ptr<URLSessionTask> dataTaskWithRequest(URLRequest request) = 0;
    /// As a data task, with the content of the file as the body (read when the transfer starts).
    virtual std::shared_ptr<URLSessionTask> uploadTaskWithRequest(URLRequest request,
                                                                  const std::string& filePath) = 0;
    /// Running tasks finish; then didBecomeInvalidWithError(nothing) is delivered and the delegate
    /// is released. No new task can be made, and tasks not resumed by then no longer start.
    virtual void finishTasksAndInvalidate() = 0;
    virtual const URLSessionConfiguration& configuration() const = 0;
    /// Sessions of the process not yet invalidated (tools wait for this to reach 0 before exiting).
    static std::size_t liveSessionCount();
    /// Stops the service: its threads are joined and every transfer is released (running tasks end
    /// without further events, and a session told to finish its tasks lets its delegate go);
    /// tasks made later do not start until resumeService. False, and
    /// nothing done, on one of the service's own threads. No other thread may use the service
    /// while either call runs.
    static bool stopService();
    static void resumeService();
};

/// Synchronous loading on the calling thread (its own libcurl handle; no session, no delegate).
/// Redirections are followed (at most 16), cookies go to and come from HTTPCookieStorage::shared()
/// when the request handles them, errors are those of the session service. Blocks the caller for
/// the whole transfer.
class URLConnection {
  public:
    /// The body (possibly empty) of the final response, whatever its status; nothing on a transport
    /// error. The slots, when given, receive the final response (nothing on a transport error) and
    /// the transport error (nothing on success).
    /// A body over maximumBodySize fails with -1103 (see URLSessionConfiguration).
    static std::optional<Bytes> sendSynchronousRequest(
        const URLRequest&, std::optional<HTTPURLResponse>* response, std::optional<Error>* error,
        std::int64_t maximumBodySize = kDefaultMaximumResponseBodySize);
};

/// Process-wide TLS trust. Peer and host name are always verified. By default the system's CA store
/// is used; a host may add one extra CA (a private service needs its own), which is trusted in
/// addition to the system's. Call before the first transfer or between transfers; thread-safe.
class URLSessionTLS {
  public:
    /// False when the file can't be read or holds no PEM certificate (the trust is then unchanged).
    static bool setAdditionalCAFile(const std::string& path);
    static void clearAdditionalCA();
};

}  // namespace plovendale
