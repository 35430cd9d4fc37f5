#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "plovendale/http/st_http_request.h"
#include "transport/url_session.h"

namespace plovendale {

/// The delegate of a request's session. The session holds it, and through it the request, until
/// the session has been invalidated; that keeps a request nobody else holds alive until its outcome
/// has been delivered. Every event is posted to the main queue, where the work holds the request
/// only weakly. The delegate hands its request to the main queue when it goes, so that the request
/// (and the host's callbacks in it) is always released there.
///
/// Body bytes wait in a queue of their own rather than in the answers: each answer takes the
/// oldest bytes waiting, as many chunks as it brought, and the completion takes whatever is left
/// before it finishes. The request thus gets its whole body, in order, even from a host loop that
/// runs the tasks out of the order they were posted in.
class STHTTPRequestSessionDelegate final : public URLSessionDelegate {
  public:
    /// discardBody: body data is dropped here, before it is copied for the main queue.
    STHTTPRequestSessionDelegate(std::shared_ptr<STHTTPRequest> request, bool discardBody);
    ~STHTTPRequestSessionDelegate() override;
    STHTTPRequestSessionDelegate(const STHTTPRequestSessionDelegate&) = delete;
    STHTTPRequestSessionDelegate& operator=(const STHTTPRequestSessionDelegate&) = delete;
    void setSession(const std::shared_ptr<URLSession>& session) { session_ = session; }

    /// Every event is only posted to the main queue, so it needs no thread of its own.
    bool handsEventsOn() const override { return true; }
    /// Every response is taken (see didReceiveResponse).
    bool allowsEveryResponse() const override { return true; }
    /// Only an upload progress block shows the sending (see didSendBodyData).
    bool followsSmallBodySending() const override;

    void didReceiveResponse(
        URLSession&, URLSessionTask& task, const HTTPURLResponse& response,
        std::function<void(URLSessionResponseDisposition)> completionHandler) override;
    void didReceiveData(URLSession&, URLSessionTask&, const Bytes& data) override;
    void didReceiveOwnedData(URLSession&, URLSessionTask&, Bytes& data) override;
    void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t bytesSent,
                         std::int64_t totalBytesSent,
                         std::int64_t totalBytesExpectedToSend) override;
    void willPerformHTTPRedirection(
        URLSession&, URLSessionTask&, const HTTPURLResponse& response, const URLRequest& newRequest,
        std::function<void(std::optional<URLRequest>)> completionHandler) override;
    void willCacheResponse(
        URLSession&, URLSessionTask&, const CachedURLResponse& proposedResponse,
        std::function<void(std::optional<CachedURLResponse>)> completionHandler) override;
    void didCompleteWithError(URLSession&, URLSessionTask& task,
                              const std::optional<Error>& error) override;
    void didBecomeInvalidWithError(URLSession&, const std::optional<Error>& error) override;
    void didFinishEventsForBackgroundURLSession(URLSession& session) override;

  private:
    // Body bytes on their way to the main queue, oldest first. Any thread.
    struct PendingBody {
        std::mutex mutex;
        /// When set, the oldest chunk waiting, ahead of every one in `chunks`: most answers come
        /// in one piece, which then takes no list.
        std::optional<Bytes> oldest;
        std::vector<Bytes> chunks;  ///< those before `taken` are gone (moved out)
        std::size_t taken = 0;
    };
    struct Waiting {
        std::optional<Bytes> oldest;
        std::vector<Bytes> rest;
    };
    static void add(PendingBody& body, Bytes& chunk);
    static std::optional<Bytes> takeOldest(PendingBody& body);
    static Waiting takeAll(PendingBody& body);
    /// Adds a received piece to the request's body, taking the piece's storage when it can.
    static void receive(STHTTPRequest& target, Bytes& chunk);

    // One event for the main queue: a response, body chunks or the completion.
    struct Answer {
        std::weak_ptr<STHTTPRequest> request;
        std::shared_ptr<PendingBody> body;
        std::shared_ptr<const HTTPURLResponse> response;
        std::shared_ptr<const URLRequest> sent;  ///< the request the response answers
        std::size_t chunks = 0;
        bool completes = false;
        // The completion's: the request is held until the answer is done, and released with it
        // on the main queue.
        std::shared_ptr<STHTTPRequest> held;
        std::shared_ptr<URLSession> session;
        std::shared_ptr<const HTTPURLResponse> finalResponse;
        std::optional<Error> error;
        void operator()();
    };

    std::shared_ptr<STHTTPRequest> request_;
    std::weak_ptr<STHTTPRequest> weakRequest_;
    std::weak_ptr<URLSession> session_;
    const bool discardBody_;
    const std::shared_ptr<PendingBody> body_ = std::make_shared<PendingBody>();
};

}  // namespace plovendale
