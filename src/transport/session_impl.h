#pragma once

// The URL session service's session: counts its running tasks, holds the delegate until it is
// invalidated, and carries every event of its tasks to the delegate in order. Any thread unless a
// method says otherwise.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/curl_engine.h"
#include "transport/http_cookie_storage.h"
#include "transport/url_session.h"

namespace plovendale::curl {

class TaskImpl;
class SessionImpl;

/// Sessions made and not yet invalidated (or destroyed) in this process.
std::atomic<std::size_t>& liveSessions();
/// Every session that exists, so that stopping the service can reach those it left unfinished.
void enterRegistry(SessionImpl* session);
void leaveRegistry(SessionImpl* session);
/// The sessions that are not being destroyed.
std::vector<std::shared_ptr<SessionImpl>> registeredSessions();

class SessionImpl final : public URLSession, public std::enable_shared_from_this<SessionImpl> {
  public:
    SessionImpl(const URLSessionConfiguration& configuration,
                std::shared_ptr<URLSessionDelegate> delegate)
        : configuration_(configuration),
          handsEventsOn_(delegate && delegate->handsEventsOn()),
          allowsEveryResponse_(delegate && delegate->allowsEveryResponse()),
          followsSmallBodySending_(delegate && delegate->followsSmallBodySending()),
          delegate_(std::move(delegate)) {
        if (configuration_.kind == URLSessionConfiguration::Kind::Ephemeral) {
            privateCookies_ = std::make_unique<HTTPCookieStorage>();
        }
        ++liveSessions();
        enterRegistry(this);
    }
    ~SessionImpl() override {
        leaveRegistry(this);
        leaveLiveCount();
    }

    std::shared_ptr<URLSessionTask> dataTaskWithRequest(URLRequest request) override {
        return makeTask(std::move(request), std::nullopt);
    }
    std::shared_ptr<URLSessionTask> uploadTaskWithRequest(URLRequest request,
                                                          const std::string& filePath) override {
        return makeTask(std::move(request), filePath);
    }
    void finishTasksAndInvalidate() override {
        // Once set, invalidating_ stays: a repeated call (a request's completion repeats the one
        // its start made) needs no lock to see that.
        if (invalidating_.load(std::memory_order_acquire)) return;
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

    /// The delegate takes every response at once (see URLSessionDelegate::allowsEveryResponse).
    bool allowsEveryResponse() const { return allowsEveryResponse_; }
    /// See URLSessionDelegate::followsSmallBodySending.
    bool followsSmallBodySending() const { return followsSmallBodySending_; }

    /// Counts a task as running; false once the session is being invalidated.
    bool taskStarting() {
        std::lock_guard lock(mutex_);
        if (invalidating_) return false;
        ++running_;
        return true;
    }
    void taskFinished() {
        {
            std::lock_guard lock(mutex_);
            if (running_ == 0 || --running_ != 0 || !invalidating_) return;
            // The last task's completion was just delivered on this, the I/O thread: a delegate
            // that takes its events here is let go at once, without a round through the queue.
            if (!handsEventsOn_ || !Engine::shared().onIOThread()) {
                deliverInvalidation();
                return;
            }
        }
        invalidate();
    }
    /// The service stopped: none of the running tasks will finish, so an invalidated session lets
    /// its delegate go now (often the delegate holds the task that holds this session), without
    /// events. Only while the service's threads are stopped: they alone touch the delegate else.
    void tasksAbandoned() {
        std::shared_ptr<URLSessionDelegate> delegate;
        {
            std::lock_guard lock(mutex_);
            running_ = 0;
            if (!invalidating_) return;
        }
        delegate = std::move(delegate_);
        if (delegate) leaveLiveCount();
    }

    /// Queues an event for the delegate (dropped once the delegate is released). A delegate that
    /// only hands its events on gets them on the I/O thread, in the order they arise there: at
    /// once when this runs on the I/O thread (never with mutex_ held), else as the I/O thread's
    /// next command.
    /// event: called once as event(URLSessionDelegate&, URLSession&).
    template <typename Event>
    void deliver(Event event) {
        if (!handsEventsOn_) {
            Engine::shared().deliver(
                [self = shared_from_this(), event = std::move(event)]() mutable {
                    self->deliverNow(event);
                });
        } else if (Engine::shared().onIOThread()) {
            deliverNow(event);
        } else {
            Engine::shared().perform(
                [self = shared_from_this(), event = std::move(event)]() mutable {
                    self->deliverNow(event);
                });
        }
    }

  private:
    std::shared_ptr<URLSessionTask> makeTask(URLRequest&& request,
                                             std::optional<std::string> uploadFile);

    template <typename Event>
    void deliverNow(Event& event) {
        // Held for the call: the event may end the session.
        const std::shared_ptr<URLSessionDelegate> delegate = delegate_;
        if (delegate) curl::runDelegateEvent([&] { event(*delegate, *this); });
    }

    // On the thread that delivers the delegate's events, never with mutex_ held.
    void invalidate() {
        std::shared_ptr<URLSessionDelegate> delegate = std::move(delegate_);
        if (delegate) {
            curl::runDelegateEvent(
                [&] { delegate->didBecomeInvalidWithError(*this, std::nullopt); });
        }
        delegate.reset();
        leaveLiveCount();
    }

    // Called with mutex_ held: queued in every case.
    void deliverInvalidation() {
        auto invalidation = [self = shared_from_this()] { self->invalidate(); };
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
    const bool allowsEveryResponse_;
    const bool followsSmallBodySending_;
    std::unique_ptr<HTTPCookieStorage> privateCookies_;
    mutable std::mutex mutex_;
    // Read and let go only on the thread that delivers the session's events (the I/O thread for a
    // delegate that hands its events on, else the delegate thread), one event at a time: no lock.
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::atomic<bool> invalidating_{false};  ///< written under mutex_
    int running_ = 0;
    std::atomic<bool> leftLiveCount_{false};
    SessionImpl* previousInRegistry_ = nullptr;  // guarded by the registry's mutex
    SessionImpl* nextInRegistry_ = nullptr;

    friend class TaskImpl;
    friend void enterRegistry(SessionImpl*);
    friend void leaveRegistry(SessionImpl*);
    friend std::vector<std::shared_ptr<SessionImpl>> registeredSessions();
};

}  // namespace plovendale::curl
