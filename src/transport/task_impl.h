#pragma once

// One task of a URL session: its request, its hops through redirections and the answers its
// delegate gives. Public methods run on any thread; the exchange is driven on the I/O thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "transport/curl_engine.h"
#include "transport/curl_exchange.h"
#include "transport/session_impl.h"
#include "transport/url_session.h"

namespace plovendale::curl {

enum class TaskState { Suspended, Running, Completed };

// Where a running task stands on the I/O thread.
enum class Stage { Idle, Exchanging, AwaitRedirect, AwaitResponse, Body, Done };

class TaskImpl final : public URLSessionTask,
                       public curl::Driven,
                       public curl::ExchangeObserver,
                       public std::enable_shared_from_this<TaskImpl> {
  public:
    TaskImpl(std::shared_ptr<SessionImpl> session, URLRequest&& request,
             std::optional<std::string> uploadFile)
        : session_(std::move(session)),
          original_(std::make_shared<const URLRequest>(std::move(request))),
          uploadFile_(std::move(uploadFile)),
          current_(original_) {}

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
        // Most requests go as they are (prepared by their maker): current_ shows them already.
        // Nothing else writes current_ before the I/O thread has the task, so it is read unlocked.
        if (prepared != current_) {
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
        if (ownedByThisThread()) return current_;
        std::lock_guard lock(mutex_);
        return current_;
    }
    std::shared_ptr<const HTTPURLResponse> response() const override {
        if (ownedByThisThread()) return response_;
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
    void engineStopped() override {
        stage_ = Stage::Done;
        ++question_;
        attached_ = false;
        exchange_.reset();
        state_ = TaskState::Completed;
    }

    // curl::ExchangeObserver (inside libcurl callbacks: never finish() here)
    bool onResponse(Exchange& exchange) override;
    bool onBody(Exchange& exchange, const char* data, std::size_t size) override;
    bool watchesDeadline() const override { return true; }
    bool followsSending() const override { return session_->followsSmallBodySending(); }
    void onBodySent(Exchange&, std::int64_t step, std::int64_t total,
                    std::int64_t expected) override {
        session_->deliver([self = shared_from_this(), step, total, expected](
                              URLSessionDelegate& delegate, URLSession& session) {
            delegate.didSendBodyData(session, *self, step, total, expected);
        });
    }

  private:
    /// Whether the caller is the I/O thread of a task that has started: only that thread changes
    /// current_ and response_ from then on, so it reads them without the lock (as its delegate,
    /// called there, does with every response and completion).
    bool ownedByThisThread() const {
        return Engine::shared().onIOThread() && stage_ != Stage::Idle;
    }
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
    const std::shared_ptr<const URLRequest> original_;
    const std::optional<std::string> uploadFile_;
    std::atomic<TaskState> state_{TaskState::Suspended};

    mutable std::mutex mutex_;
    std::shared_ptr<const URLRequest> current_;
    std::shared_ptr<const HTTPURLResponse> response_;

    // I/O thread only.
    std::shared_ptr<const URLRequest> hop_;  // this hop as the caller (or the redirection) made it
    std::optional<std::string> hopUpload_;
    std::optional<Exchange> exchange_;
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

}  // namespace plovendale::curl
