#include "transport/url_session.h"

#include <atomic>
#include <mutex>

#include "transport/curl_engine.h"
#include "transport/curl_exchange.h"
#include "transport/curl_text.h"
#include "transport/http_cookie_storage.h"

namespace plovendale {
namespace {

using curl::Engine;
using curl::Exchange;

// Responses larger than this are not offered for caching (the platform skips large ones too).
constexpr std::size_t kMaxCacheableBody = 1024 * 1024;

std::atomic<std::size_t>& liveSessions() {
    static std::atomic<std::size_t> count{0};
    return count;
}

bool forbidsStoring(const HTTPURLResponse& response) {
    const auto cacheControl = response.valueForHTTPHeaderField("Cache-Control");
    return cacheControl && lowercasedASCII(*cacheControl).find("no-store") != std::string::npos;
}

class SessionImpl;

enum class TaskState { Suspended, Running, Completed };

// Where a running task stands on the I/O thread.
enum class Stage { Idle, Exchanging, AwaitRedirect, AwaitResponse, Body, Done };

class TaskImpl;

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

class SessionImpl final : public URLSession, public std::enable_shared_from_this<SessionImpl> {
  public:
    SessionImpl(const URLSessionConfiguration& configuration,
                std::shared_ptr<URLSessionDelegate> delegate)
        : configuration_(configuration),
          handsEventsOn_(delegate && delegate->handsEventsOn()),
          delegate_(std::move(delegate)) {
        if (configuration_.kind == URLSessionConfiguration::Kind::Ephemeral) {
            privateCookies_ = std::make_unique<HTTPCookieStorage>();
        }
        ++liveSessions();
    }
    ~SessionImpl() override { leaveLiveCount(); }

    std::shared_ptr<URLSessionTask> dataTaskWithRequest(URLRequest request) override {
        return makeTask(std::move(request), std::nullopt);
    }
    std::shared_ptr<URLSessionTask> uploadTaskWithRequest(URLRequest request,
                                                          const std::string& filePath) override {
        return makeTask(std::move(request), filePath);
    }
    void finishTasksAndInvalidate() override {
        std::lock_guard lock(mutex_);
        if (invalidating_) return;
        invalidating_ = true;
        if (running_ == 0) deliverInvalidation();
    }
    const URLSessionConfiguration& configuration() const override { return configuration_; }

    /// The cookie store for a request, or nothing when the request leaves cookies alone.
    HTTPCookieStorage* cookieJar(const URLRequest& request) const {
        if (!request.httpShouldHandleCookies) return nullptr;
        return privateCookies_ ? privateCookies_.get() : &HTTPCookieStorage::shared();
    }

    /// Counts a task as running; false once the session is being invalidated.
    bool taskStarting() {
        std::lock_guard lock(mutex_);
        if (invalidating_) return false;
        ++running_;
        return true;
    }
    void taskFinished() {
        std::lock_guard lock(mutex_);
        if (--running_ == 0 && invalidating_) deliverInvalidation();
    }

    /// Queues an event for the delegate (dropped once the delegate is released). A delegate that
    /// only hands its events on gets them on the I/O thread, in the order they arise there: at
    /// once when this runs on the I/O thread (never with mutex_ held), else as the I/O thread's
    /// next command.
    /// event: called as event(URLSessionDelegate&, URLSession&).
    template <typename Event>
    void deliver(Event event) {
        if (!handsEventsOn_) {
            Engine::shared().deliver(
                [self = shared_from_this(), event = std::move(event)] { self->deliverNow(event); });
        } else if (Engine::shared().onIOThread()) {
            deliverNow(event);
        } else {
            Engine::shared().perform(
                [self = shared_from_this(), event = std::move(event)] { self->deliverNow(event); });
        }
    }

  private:
    std::shared_ptr<URLSessionTask> makeTask(URLRequest request,
                                             std::optional<std::string> uploadFile);

    template <typename Event>
    void deliverNow(const Event& event) {
        std::shared_ptr<URLSessionDelegate> delegate;
        {
            std::lock_guard lock(mutex_);
            delegate = delegate_;
        }
        if (delegate) curl::runDelegateEvent([&] { event(*delegate, *this); });
    }

    // Called with mutex_ held: queued in every case.
    void deliverInvalidation() {
        auto invalidation = [self = shared_from_this()] {
            std::shared_ptr<URLSessionDelegate> delegate;
            {
                std::lock_guard lock(self->mutex_);
                delegate = std::move(self->delegate_);
            }
            if (delegate) {
                curl::runDelegateEvent(
                    [&] { delegate->didBecomeInvalidWithError(*self, std::nullopt); });
            }
            delegate.reset();
            self->leaveLiveCount();
        };
        if (handsEventsOn_) {
            Engine::shared().perform(std::move(invalidation));
        } else {
            Engine::shared().deliver(std::move(invalidation));
        }
    }
    void leaveLiveCount() {
        if (!leftLiveCount_.exchange(true)) --liveSessions();
    }

    const URLSessionConfiguration configuration_;
    const bool handsEventsOn_;  ///< the delegate's events are delivered on the I/O thread
    std::unique_ptr<HTTPCookieStorage> privateCookies_;
    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    bool invalidating_ = false;
    int running_ = 0;
    std::atomic<std::uint64_t> nextTaskIdentifier_{0};
    std::atomic<bool> leftLiveCount_{false};

    friend class TaskImpl;
};

class TaskImpl final : public URLSessionTask,
                       public curl::Driven,
                       public curl::ExchangeObserver,
                       public std::enable_shared_from_this<TaskImpl> {
  public:
    TaskImpl(std::shared_ptr<SessionImpl> session, std::uint64_t identifier, URLRequest request,
             std::optional<std::string> uploadFile)
        : session_(std::move(session)),
          identifier_(identifier),
          original_(std::make_shared<const URLRequest>(std::move(request))),
          uploadFile_(std::move(uploadFile)),
          current_(original_) {}

    std::uint64_t taskIdentifier() const override { return identifier_; }

    void resume() override {
        auto expected = TaskState::Suspended;
        if (!state_.compare_exchange_strong(expected, TaskState::Running)) return;
        if (!session_->taskStarting()) {
            state_ = TaskState::Completed;
            return;
        }
        // Prepared here, so that currentRequest() shows the wire fields as soon as resume()
        // returns.
        auto prepared = curl::prepareRequest(original_, curl::bodySizeOf(*original_, uploadFile_),
                                             session_->cookieJar(*original_));
        {
            std::lock_guard lock(mutex_);
            current_ = prepared;
        }
        Engine::shared().perform(
            [self = shared_from_this(), prepared = std::move(prepared)] { self->start(prepared); });
    }

    void cancel() override {
        auto expected = TaskState::Suspended;
        if (state_.compare_exchange_strong(expected, TaskState::Completed)) {
            const auto error = curl::urlError(URLErrorCode::kCancelled, original_->url);
            session_->deliver([self = shared_from_this(), error](URLSessionDelegate& delegate,
                                                                 URLSession& session) {
                delegate.didCompleteWithError(session, *self, error);
            });
            return;
        }
        if (state_ == TaskState::Running) {
            Engine::shared().perform([self = shared_from_this()] {
                self->finish(curl::urlError(URLErrorCode::kCancelled, self->hop_->url));
            });
        }
    }

    std::shared_ptr<const URLRequest> currentRequest() const override {
        std::lock_guard lock(mutex_);
        return current_;
    }
    std::shared_ptr<const URLRequest> originalRequest() const override { return original_; }
    std::shared_ptr<const HTTPURLResponse> response() const override {
        std::lock_guard lock(mutex_);
        return response_;
    }

    // Answers, applied on the I/O thread.
    void answerRedirection(std::uint64_t question, std::optional<URLRequest> next);
    void answerResponse(std::uint64_t question, URLSessionResponseDisposition disposition);

    // curl::Driven
    void exchangeStarted(CURL*) override {
        if (exchange_) exchange_->start();
    }
    void exchangeDone(CURL* handle, CURLcode code) override;
    std::optional<std::chrono::steady_clock::time_point> deadline(CURL*) const override {
        return exchange_ ? exchange_->deadline() : std::nullopt;
    }
    void deadlinePassed(CURL*) override {
        finish(curl::urlError(URLErrorCode::kTimedOut, hop_->url));
    }

    // curl::ExchangeObserver (inside libcurl callbacks: never finish() here)
    bool onResponse(Exchange& exchange) override;
    bool onBody(Exchange& exchange, const char* data, std::size_t size) override;
    void onBodySent(Exchange&, std::int64_t step, std::int64_t total,
                    std::int64_t expected) override {
        session_->deliver([self = shared_from_this(), step, total, expected](
                              URLSessionDelegate& delegate, URLSession& session) {
            delegate.didSendBodyData(session, *self, step, total, expected);
        });
    }

  private:
    void start(std::shared_ptr<const URLRequest> prepared);
    /// One exchange of the task; after a redirection it gets what is left of the task's time.
    void begin(std::shared_ptr<const URLRequest> prepared,
               std::optional<std::chrono::steady_clock::duration> budget = std::nullopt);
    /// insideCallback: called from libcurl's header callback, where the transfer is not paused
    /// and must not be resumed or finished.
    void askForResponse(std::shared_ptr<const HTTPURLResponse> response, bool insideCallback);
    void applyResponseAnswer(std::uint64_t question, URLSessionResponseDisposition disposition,
                             bool resume);
    void completeReceived();
    void finish(std::optional<Error> error);
    void dropExchange();

    const std::shared_ptr<SessionImpl> session_;
    const std::uint64_t identifier_;
    const std::shared_ptr<const URLRequest> original_;
    const std::optional<std::string> uploadFile_;
    std::atomic<TaskState> state_{TaskState::Suspended};

    mutable std::mutex mutex_;
    std::shared_ptr<const URLRequest> current_;
    std::shared_ptr<const HTTPURLResponse> response_;

    // I/O thread only.
    std::shared_ptr<const URLRequest> hop_;  // this hop as the caller (or the redirection) made it
    std::optional<std::string> hopUpload_;
    std::unique_ptr<Exchange> exchange_;
    bool attached_ = false;
    Stage stage_ = Stage::Idle;
    std::uint64_t question_ = 0;
    int redirections_ = 0;
    bool tooManyRedirections_ = false;
    bool receivedAll_ = false;  // the exchange finished while an answer was awaited
    std::shared_ptr<const HTTPURLResponse> redirectResponse_;
    bool cacheable_ = false;
    std::size_t bodyBytes_ = 0;  // of the final response, while it is cacheable
};

std::shared_ptr<URLSessionTask> SessionImpl::makeTask(URLRequest request,
                                                      std::optional<std::string> uploadFile) {
    if (!curl::looksLikeAbsoluteURL(request.url)) return nullptr;
    {
        std::lock_guard lock(mutex_);
        if (invalidating_) return nullptr;
    }
    return std::make_shared<TaskImpl>(shared_from_this(), ++nextTaskIdentifier_, std::move(request),
                                      std::move(uploadFile));
}

void TaskImpl::start(std::shared_ptr<const URLRequest> prepared) {
    Engine::shared().retain(shared_from_this());
    hop_ = original_;
    hopUpload_ = uploadFile_;
    begin(std::move(prepared));
}

void TaskImpl::begin(std::shared_ptr<const URLRequest> prepared,
                     std::optional<std::chrono::steady_clock::duration> budget) {
    auto made =
        Exchange::make(std::move(prepared), hopUpload_, *this, &Engine::shared().easyPool());
    if (auto* error = std::get_if<Error>(&made)) {
        finish(*error);
        return;
    }
    exchange_ = std::move(std::get<std::unique_ptr<Exchange>>(made));
    if (budget) exchange_->setBudget(*budget);
    exchange_->setMaximumBodySize(session_->configuration().maximumResponseBodySize);
    {
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
    if (exchange_) exchange_->setWaiting(true);
    {
        std::lock_guard lock(mutex_);
        response_ = response;
    }
    auto pending = std::make_shared<PendingAnswer<URLSessionResponseDisposition>>(
        shared_from_this(), ++question_, &TaskImpl::answerResponse,
        URLSessionResponseDisposition::Allow);
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
    session_->deliver([self = shared_from_this(), bytes = Bytes(data, data + size)](
                          URLSessionDelegate& delegate, URLSession& session) {
        delegate.didReceiveData(session, *self, bytes);
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

}  // namespace

void postDelegateWorkToMainQueue(std::function<void()> work) {
    Engine::shared().postToMainQueue(std::move(work));
}

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
    return {};
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
    URLSessionConfiguration configuration;
    configuration.kind = Kind::Ephemeral;
    return configuration;
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(
    const URLSessionConfiguration& configuration, std::shared_ptr<URLSessionDelegate> delegate) {
    (void)Engine::shared();
    return std::make_shared<SessionImpl>(configuration, std::move(delegate));
}

std::size_t URLSession::liveSessionCount() {
    return liveSessions().load();
}

bool URLSession::stopService() {
    return curl::Engine::stopIfStarted();
}

void URLSession::resumeService() {
    curl::Engine::restartIfStopped();
}

namespace {
std::atomic<bool>& loopbackThroughProxy() {
    static std::atomic<bool> proxies{false};
    return proxies;
}
}  // namespace

void URLSessionProxy::setProxiesLoopback(bool proxies) {
    loopbackThroughProxy() = proxies;
}

bool URLSessionProxy::proxiesLoopback() {
    return loopbackThroughProxy();
}

}  // namespace plovendale
