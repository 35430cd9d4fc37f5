#include "http/session_delegate.h"

#include <cstddef>
#include <iterator>
#include <mutex>
#include <utility>

#include "host/host_code.h"
#include "http/process_state.h"
#include "http/st_http_request_impl.h"
#include "plovendale/platform/main_queue.h"

namespace plovendale {

STHTTPRequestSessionDelegate::STHTTPRequestSessionDelegate(std::shared_ptr<STHTTPRequest> request,
                                                           bool discardBody)
    : request_(request), weakRequest_(request), discardBody_(discardBody) {}

STHTTPRequestSessionDelegate::~STHTTPRequestSessionDelegate() {
    // The session lets go of its delegate on the URL service's thread. The request may be the
    // last owner of the host's callbacks and of what they captured; they were called on the main
    // queue and are released there too.
    if (!request_) return;
    try {
        postDelegateWorkToMainQueue([request = std::move(request_)] {});
    } catch (...) {
        // Out of memory: released here, which is still better than never.
    }
}

void STHTTPRequestSessionDelegate::didReceiveResponse(
    URLSession&, URLSessionTask& task, const HTTPURLResponse& response,
    std::function<void(URLSessionResponseDisposition)> completionHandler) {
    // The task's own response is the one given here; it is shared rather than copied.
    auto shared = task.response();
    if (shared.get() != &response) shared = std::make_shared<const HTTPURLResponse>(response);
    // The request as sent is shared too: its URL is read on the main queue, not copied here.
    Answer answer{weakRequest_, body_};
    answer.response = std::move(shared);
    answer.sent = task.currentRequest();
    postDelegateWorkToMainQueue(std::move(answer));
    // Every response is taken, so the body need not wait for the main queue: the response's work
    // is queued there ahead of the data's anyway.
    completionHandler(URLSessionResponseDisposition::Allow);
}

void STHTTPRequestSessionDelegate::add(PendingBody& body, Bytes& chunk) {
    std::lock_guard lock(body.mutex);
    if (!body.oldest && body.taken == body.chunks.size()) {
        body.chunks.clear();
        body.taken = 0;
        body.oldest = std::move(chunk);
        return;
    }
    body.chunks.push_back(std::move(chunk));
}

std::optional<Bytes> STHTTPRequestSessionDelegate::takeOldest(PendingBody& body) {
    std::lock_guard lock(body.mutex);
    if (body.oldest) return std::exchange(body.oldest, std::nullopt);
    if (body.taken == body.chunks.size()) return std::nullopt;
    return std::move(body.chunks[body.taken++]);
}

STHTTPRequestSessionDelegate::Waiting STHTTPRequestSessionDelegate::takeAll(PendingBody& body) {
    std::lock_guard lock(body.mutex);
    // The chunks are handed over whole, their storage with them: nothing more is added after the
    // completion.
    body.chunks.erase(body.chunks.begin(),
                      body.chunks.begin() + static_cast<std::ptrdiff_t>(body.taken));
    body.taken = 0;
    return {std::exchange(body.oldest, std::nullopt), std::exchange(body.chunks, {})};
}

void STHTTPRequestSessionDelegate::receive(STHTTPRequest& target, Bytes& chunk) {
    auto& impl = *target.impl_;
    const bool shown = impl.hasDownloadProgressBlock.load(std::memory_order_acquire);
    if (impl.responseData.empty() && !shown) {
        // Most answers come in one piece: it becomes the body itself rather than a copy. A
        // progress block gets each piece on its own, so its pieces are copied as before.
        impl.responseData = std::move(chunk);
        return;
    }
    target.handleData(chunk);
}

void STHTTPRequestSessionDelegate::Answer::operator()() {
    static const std::string kNoURL;
    auto target = request.lock();
    if (target && response) target->handleResponse(response, sent ? sent->url : kNoURL);
    if (completes) {
        if (!target) return;
        auto waiting = takeAll(*body);
        if (waiting.oldest) receive(*target, *waiting.oldest);
        for (auto& chunk : waiting.rest) receive(*target, chunk);
        target->handleCompletion(session, finalResponse, error);
        return;
    }
    for (std::size_t i = 0; i < chunks; ++i) {
        // Taken even when the request is gone, so that the bytes are let go.
        auto chunk = takeOldest(*body);
        if (target && chunk) receive(*target, *chunk);
    }
}

void STHTTPRequestSessionDelegate::didReceiveData(URLSession& session, URLSessionTask& task,
                                                  const Bytes& data) {
    Bytes copy = discardBody_ ? Bytes() : data;
    didReceiveOwnedData(session, task, copy);
}

void STHTTPRequestSessionDelegate::didReceiveOwnedData(URLSession&, URLSessionTask&, Bytes& data) {
    if (discardBody_) return;
    add(*body_, data);
    Answer answer{weakRequest_, body_};
    answer.chunks = 1;
    postDelegateWorkToMainQueue(std::move(answer));
}

bool STHTTPRequestSessionDelegate::followsSmallBodySending() const {
    return request_ && request_->hasUploadProgressBlock();
}

void STHTTPRequestSessionDelegate::didSendBodyData(URLSession&, URLSessionTask&,
                                                   std::int64_t bytesSent,
                                                   std::int64_t totalBytesSent,
                                                   std::int64_t totalBytesExpectedToSend) {
    // Without a progress block there is nothing to tell the main queue. The request is held here
    // until the completion, which comes after the last of these events.
    if (!request_ || !request_->hasUploadProgressBlock()) return;
    postDelegateWorkToMainQueue(
        [weak = weakRequest_, bytesSent, totalBytesSent, totalBytesExpectedToSend] {
            auto request = weak.lock();
            if (!request) return;
            if (auto block = request->uploadProgressBlock()) {
                callHostCode("STHTTPRequest uploadProgressBlock",
                             [&] { block(bytesSent, totalBytesSent, totalBytesExpectedToSend); });
            }
        });
}

void STHTTPRequestSessionDelegate::willPerformHTTPRedirection(
    URLSession&, URLSessionTask&, const HTTPURLResponse&, const URLRequest& newRequest,
    std::function<void(std::optional<URLRequest>)> completionHandler) {
    postDelegateWorkToMainQueue(
        [weak = weakRequest_, newRequest, handler = std::move(completionHandler)] {
            auto request = weak.lock();
            if (request && request->preventRedirections()) {
                handler(std::nullopt);
            } else {
                handler(newRequest);
            }
        });
}

void STHTTPRequestSessionDelegate::willCacheResponse(
    URLSession&, URLSessionTask&, const CachedURLResponse& proposedResponse,
    std::function<void(std::optional<CachedURLResponse>)> completionHandler) {
    postDelegateWorkToMainQueue(
        [weak = weakRequest_, proposedResponse, handler = std::move(completionHandler)] {
            auto request = weak.lock();
            if (!request) return;
            if (STHTTPRequest::globalIgnoreCache() || request->ignoreCache()) {
                handler(std::nullopt);
            } else {
                handler(proposedResponse);
            }
        });
}

void STHTTPRequestSessionDelegate::didCompleteWithError(URLSession&, URLSessionTask& task,
                                                        const std::optional<Error>& error) {
    // The request's one task is over: the work that delivers the outcome takes over holding the
    // request, and lets it go on the main queue when done (one task fewer there).
    Answer answer{weakRequest_, body_};
    answer.completes = true;
    answer.held = std::move(request_);
    answer.session = session_.lock();
    answer.finalResponse = task.response();
    answer.error = error;
    postDelegateWorkToMainQueue(std::move(answer));
}

void STHTTPRequestSessionDelegate::didBecomeInvalidWithError(URLSession&,
                                                             const std::optional<Error>& error) {
    if (!error) return;
    postDelegateWorkToMainQueue([weak = weakRequest_, error = *error] {
        if (auto request = weak.lock()) request->reportError(error);
    });
}

void STHTTPRequestSessionDelegate::didFinishEventsForBackgroundURLSession(URLSession& session) {
    postDelegateWorkToMainQueue([identifier = session.configuration().identifier] {
        auto& state = http::processState();
        std::function<void()> handler;
        {
            std::lock_guard lock(state.mutex);
            auto it = state.backgroundCompletionHandlers.find(identifier);
            if (it == state.backgroundCompletionHandlers.end()) return;
            handler = it->second;
        }
        callHostCode("STHTTPRequest background completion handler", handler);
        decltype(state.backgroundCompletionHandlers)::node_type released;
        std::lock_guard lock(state.mutex);
        released = state.backgroundCompletionHandlers.extract(identifier);  // freed unlocked
    });
}

}  // namespace plovendale
