#include "transport/task_impl.h"

#include "transport/curl_text.h"

namespace plovendale::curl {
namespace {

// Responses larger than this are not offered for caching (the platform skips large ones too).
constexpr std::size_t kMaxCacheableBody = 1024 * 1024;

bool forbidsStoring(const HTTPURLResponse& response) {
    const auto cacheControl = response.valueForHTTPHeaderField("Cache-Control");
    return cacheControl && lowercasedASCII(*cacheControl).find("no-store") != std::string::npos;
}

// A completion handler's answer: the first one given counts; dropping the handler unanswered gives
// the fallback, so that a transfer can never wait for an answer that will not come.
template <typename Value>
class PendingAnswer {
  public:
    using Apply = void (TaskImpl::*)(std::uint64_t question, Value answer);
    PendingAnswer(std::shared_ptr<TaskImpl> task, std::uint64_t question, Apply apply,
                  Value fallback)
        : task_(std::move(task)),
          question_(question),
          apply_(apply),
          fallback_(std::move(fallback)) {}
    ~PendingAnswer() {
        if (!given_.exchange(true)) post(std::move(fallback_));
    }
    void give(Value answer) {
        if (given_.exchange(true)) return;
        if (Engine::shared().onIOThread() && holding_) {
            held_ = std::move(answer);
            return;
        }
        post(std::move(answer));
    }

    // I/O thread only. While the I/O thread itself delivers the question, an answer given there is
    // kept for the asker to apply at once instead of being queued.
    void holdAnswersGivenHere(bool hold) { holding_ = hold; }
    std::optional<Value> takeHeld() { return std::exchange(held_, std::nullopt); }

  private:
    void post(Value answer) {
        Engine::shared().perform([task = task_, question = question_, apply = apply_,
                                  answer = std::move(answer)]() mutable {
            ((*task).*apply)(question, std::move(answer));
        });
    }
    std::shared_ptr<TaskImpl> task_;
    std::uint64_t question_;
    Apply apply_;
    Value fallback_;
    std::atomic<bool> given_{false};
    bool holding_ = false;
    std::optional<Value> held_;
};

template <typename Value>
std::function<void(Value)> makeHandler(std::shared_ptr<PendingAnswer<Value>> pending) {
    return [pending = std::move(pending)](Value answer) { pending->give(std::move(answer)); };
}

}  // namespace

void TaskImpl::start(std::shared_ptr<const URLRequest> prepared) {
    Engine::shared().retain(shared_from_this());
    hop_ = original_;
    hopUpload_ = uploadFile_;
    begin(std::move(prepared));
}

void TaskImpl::begin(std::shared_ptr<const URLRequest> prepared,
                     std::optional<std::chrono::steady_clock::duration> budget) {
    if (auto error = Exchange::make(exchange_, std::move(prepared), hopUpload_, *this,
                                    &Engine::shared().easyPool())) {
        finish(*error);
        return;
    }
    if (budget) exchange_->setBudget(*budget);
    exchange_->setMaximumBodySize(session_->configuration().maximumResponseBodySize);
    // Only this thread changes current_ once the task runs, so reading it here needs no lock; most
    // exchanges send the very request resume() showed.
    if (current_ != exchange_->request()) {
        std::lock_guard lock(mutex_);
        current_ = exchange_->request();
    }
    stage_ = Stage::Exchanging;
    receivedAll_ = false;
    attached_ = Engine::shared().attach(exchange_->handle(), this, exchange_->origin());
    if (!attached_) finish(curl::urlError(URLErrorCode::kUnknown, exchange_->request()->url));
}

bool TaskImpl::onResponse(Exchange& exchange) {
    const std::shared_ptr<const HTTPURLResponse>& shared = exchange.response();
    const HTTPURLResponse& response = *shared;
    if (auto* jar = session_->cookieJar(*hop_)) {
        for (const auto& cookie :
             HTTPCookie::cookiesWithResponseHeaderFields(response.rawHeaderFields, response.url)) {
            jar->setCookie(cookie);
        }
    }
    if (auto next = curl::redirectRequest(*hop_, response)) {
        if (redirections_ >= curl::kMaxRedirections) {
            tooManyRedirections_ = true;
            return false;
        }
        stage_ = Stage::AwaitRedirect;
        exchange.setWaiting(true);
        redirectResponse_ = shared;
        auto pending = std::make_shared<PendingAnswer<std::optional<URLRequest>>>(
            shared_from_this(), ++question_, &TaskImpl::answerRedirection, next);
        session_->deliver(
            [self = shared_from_this(), response = shared, next = *next,
             handler = makeHandler(pending)](URLSessionDelegate& delegate, URLSession& session) {
                delegate.willPerformHTTPRedirection(session, *self, *response, next, handler);
            });
        return true;
    }
    if (exchange.announcesOversizedBody()) {
        exchange.abort(Exchange::Abort::OversizedBody);
        return false;
    }
    askForResponse(shared, true);
    return true;
}

void TaskImpl::askForResponse(std::shared_ptr<const HTTPURLResponse> response,
                              bool insideCallback) {
    stage_ = Stage::AwaitResponse;
    {
        std::lock_guard lock(mutex_);
        response_ = response;
    }
    // A delegate that takes every response is not waited for, so the clock does not stand for it
    // (stopping and restarting it would read the time three times for nothing).
    if (session_->allowsEveryResponse()) {
        ++question_;
        session_->deliver([self = shared_from_this(), response = std::move(response)](
                              URLSessionDelegate& delegate, URLSession& session) {
            delegate.didReceiveResponse(session, *self, *response,
                                        [](URLSessionResponseDisposition) {});
        });
        applyResponseAnswer(question_, URLSessionResponseDisposition::Allow, !insideCallback);
        return;
    }
    auto pending = std::make_shared<PendingAnswer<URLSessionResponseDisposition>>(
        shared_from_this(), ++question_, &TaskImpl::answerResponse,
        URLSessionResponseDisposition::Allow);
    if (exchange_) exchange_->setWaiting(true);
    pending->holdAnswersGivenHere(true);
    session_->deliver(
        [self = shared_from_this(), response = std::move(response), handler = makeHandler(pending)](
            URLSessionDelegate& delegate, URLSession& session) {
            delegate.didReceiveResponse(session, *self, *response, handler);
        });
    pending->holdAnswersGivenHere(false);
    // Answered during the delivery: the body need not wait for a round through the command queue.
    // Inside the callback only taking the response is applied at once; refusing it finishes the
    // task, which waits for the queue.
    if (auto answer = pending->takeHeld()) {
        if (!insideCallback || *answer == URLSessionResponseDisposition::Allow) {
            applyResponseAnswer(question_, *answer, !insideCallback);
        } else {
            Engine::shared().perform(
                [self = shared_from_this(), question = question_, disposition = *answer] {
                    self->answerResponse(question, disposition);
                });
        }
    }
}

bool TaskImpl::onBody(Exchange&, const char* data, std::size_t size) {
    if (stage_ != Stage::Body) return false;  // held back until the answer
    if (cacheable_) {
        bodyBytes_ += size;
        cacheable_ = bodyBytes_ <= kMaxCacheableBody;
    }
    // Copied as bytes, not char by char: a char range converts each element on the way.
    const auto* first = reinterpret_cast<const std::uint8_t*>(data);
    session_->deliver([self = shared_from_this(), bytes = Bytes(first, first + size)](
                          URLSessionDelegate& delegate, URLSession& session) mutable {
        delegate.didReceiveOwnedData(session, *self, bytes);
    });
    return true;
}

void TaskImpl::answerRedirection(std::uint64_t question, std::optional<URLRequest> next) {
    if (question != question_ || stage_ != Stage::AwaitRedirect) return;
    if (!next) {  // refused: the redirection is the final response, body included
        if (exchange_->announcesOversizedBody()) {
            finish(curl::urlError(URLErrorCode::kDataLengthExceedsMaximum, hop_->url));
            return;
        }
        askForResponse(redirectResponse_, false);
        return;
    }
    ++redirections_;
    const auto budget = exchange_->remainingBudget();
    dropExchange();
    // The file body goes along only while the redirection keeps the method and brings no body of
    // its own.
    if (!(hopUpload_ && next->httpMethod == hop_->httpMethod && !next->httpBody))
        hopUpload_.reset();
    hop_ = std::make_shared<const URLRequest>(std::move(*next));
    begin(
        curl::prepareRequest(hop_, curl::bodySizeOf(*hop_, hopUpload_), session_->cookieJar(*hop_)),
        budget);
}

void TaskImpl::answerResponse(std::uint64_t question, URLSessionResponseDisposition disposition) {
    applyResponseAnswer(question, disposition, true);
}

void TaskImpl::applyResponseAnswer(std::uint64_t question,
                                   URLSessionResponseDisposition disposition, bool resume) {
    if (question != question_ || stage_ != Stage::AwaitResponse) return;
    if (disposition != URLSessionResponseDisposition::Allow) {
        finish(curl::urlError(URLErrorCode::kCancelled, hop_->url));
        return;
    }
    stage_ = Stage::Body;
    const auto& response = *exchange_->response();
    cacheable_ = hop_->httpMethod == "GET" && response.statusCode >= 200 &&
                 response.statusCode < 300 && !forbidsStoring(response);
    bodyBytes_ = 0;
    if (receivedAll_) {
        completeReceived();
        return;
    }
    exchange_->setWaiting(false);
    if (resume) Engine::shared().unpause(exchange_->handle());
}

void TaskImpl::exchangeDone(CURL*, CURLcode code) {
    Engine::shared().detach(exchange_->handle());
    attached_ = false;
    if (code == CURLE_OK) exchange_->allowHandleReuse();
    if (tooManyRedirections_) {
        finish(curl::urlError(URLErrorCode::kHTTPTooManyRedirects, hop_->url));
        return;
    }
    if (auto error = exchange_->outcome(code)) {
        finish(error);
        return;
    }
    switch (stage_) {
        case Stage::AwaitRedirect:
        case Stage::AwaitResponse:
            receivedAll_ = true;
            return;
        case Stage::Body:
            completeReceived();
            return;
        default:
            finish(curl::urlError(URLErrorCode::kBadServerResponse, hop_->url));
            return;
    }
}

void TaskImpl::completeReceived() {
    if (cacheable_) {
        // Asked in event order (before the completion that finish() delivers); nothing waits for
        // the answer, since there is no cache for it to fill.
        session_->deliver(
            [self = shared_from_this(), proposed = CachedURLResponse{*exchange_->response()}](
                URLSessionDelegate& delegate, URLSession& session) {
                delegate.willCacheResponse(session, *self, proposed,
                                           [](std::optional<CachedURLResponse>) {});
            });
    }
    finish(std::nullopt);
}

void TaskImpl::finish(std::optional<Error> error) {
    if (stage_ == Stage::Done) return;
    auto self = shared_from_this();  // the engine may hold the last reference
    stage_ = Stage::Done;
    ++question_;  // answers still on their way no longer apply
    dropExchange();
    state_ = TaskState::Completed;
    session_->deliver([self, error](URLSessionDelegate& delegate, URLSession& session) {
        delegate.didCompleteWithError(session, *self, error);
    });
    session_->taskFinished();
    Engine::shared().release(this);
}

void TaskImpl::dropExchange() {
    if (!exchange_) return;
    if (attached_) Engine::shared().detach(exchange_->handle());
    attached_ = false;
    exchange_.reset();
}

}  // namespace plovendale::curl
