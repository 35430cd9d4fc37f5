#pragma once

// A delegate that records what the URL session service tells it, for the URL session tests.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "transport/url_session.h"

namespace plovendale::test {

class RecordingDelegate : public URLSessionDelegate {
  public:
    // What to answer; set before the task is resumed.
    bool followRedirects = true;
    /// When set, the response handler is handed over instead of being answered with Allow.
    std::function<void(std::function<void(URLSessionResponseDisposition)>)> keepResponseHandler;
    /// Whether the service may deliver on the I/O thread (handlers answered at once still work).
    bool handsOn = false;

    bool handsEventsOn() const override { return handsOn; }

    void didReceiveResponse(URLSession&, URLSessionTask&, const HTTPURLResponse& received,
                            std::function<void(URLSessionResponseDisposition)> handler) override {
        record("response " + std::to_string(received.statusCode), [&] { response = received; });
        keepResponseHandler ? keepResponseHandler(std::move(handler))
                            : handler(URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(URLSession&, URLSessionTask&, const Bytes& data) override {
        record("data", [&] { body.insert(body.end(), data.begin(), data.end()); });
    }
    void didSendBodyData(URLSession&, URLSessionTask&, std::int64_t step, std::int64_t total,
                         std::int64_t expected) override {
        record("sent", [&] { sent.push_back({step, total, expected}); });
    }
    void willPerformHTTPRedirection(
        URLSession&, URLSessionTask&, const HTTPURLResponse& redirecting, const URLRequest& next,
        std::function<void(std::optional<URLRequest>)> handler) override {
        record("redirect " + std::to_string(redirecting.statusCode),
               [&] { redirects.push_back(next); });
        handler(followRedirects ? std::optional<URLRequest>(next) : std::nullopt);
    }
    void willCacheResponse(URLSession&, URLSessionTask&, const CachedURLResponse& proposed,
                           std::function<void(std::optional<CachedURLResponse>)> handler) override {
        record("cache", [] {});
        handler(proposed);
    }
    void didCompleteWithError(URLSession&, URLSessionTask& task,
                              const std::optional<Error>& outcome) override {
        record("complete", [&] {
            ++completions;
            if (outcome) ++failures;
            error = outcome;
            sentRequest = *task.currentRequest();
        });
    }
    void didBecomeInvalidWithError(URLSession&, const std::optional<Error>&) override {
        record("invalid", [&] { invalidated = true; });
    }

    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::seconds bound = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, bound, condition);
    }
    bool waitCompleted() {
        return waitUntil([this] { return completions > 0; });
    }
    bool waitInvalidated() {
        return waitUntil([this] { return invalidated; });
    }
    std::vector<std::string> eventKinds() {
        std::lock_guard lock(mutex);
        return events;
    }

    struct Progress {
        std::int64_t step, total, expected;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::vector<std::thread::id> threads;
    std::optional<HTTPURLResponse> response;
    Bytes body;
    std::vector<Progress> sent;
    std::vector<URLRequest> redirects;
    std::optional<Error> error;  ///< of the latest completion
    int completions = 0;
    int failures = 0;
    URLRequest sentRequest;
    bool invalidated = false;

  private:
    template <typename Update>
    void record(const std::string& kind, Update update) {
        {
            std::lock_guard lock(mutex);
            // Collapse runs of one kind so that the order reads like the protocol.
            if (events.empty() || events.back() != kind || (kind != "data" && kind != "sent"))
                events.push_back(kind);
            threads.push_back(std::this_thread::get_id());
            update();
        }
        changed.notify_all();
    }
};

inline URLRequest requestFor(const std::string& url, double timeout = 10.0) {
    URLRequest request;
    request.url = url;
    request.timeoutInterval = timeout;
    return request;
}

/// Runs the requests as tasks of one fresh session (uploads of `file` when it is given) until the
/// session is invalidated; the delegate holds the outcome.
inline std::shared_ptr<RecordingDelegate> load(
    const std::vector<URLRequest>& requests, std::shared_ptr<RecordingDelegate> delegate = nullptr,
    URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration(),
    const std::string& file = "") {
    if (!delegate) delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(configuration, delegate);
    for (const auto& request : requests) {
        auto task = file.empty() ? session->dataTaskWithRequest(request)
                                 : session->uploadTaskWithRequest(request, file);
        if (task) task->resume();
    }
    session->finishTasksAndInvalidate();
    delegate->waitInvalidated();
    return delegate;
}
inline std::shared_ptr<RecordingDelegate> load(
    const URLRequest& request, std::shared_ptr<RecordingDelegate> delegate = nullptr,
    URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration(),
    const std::string& file = "") {
    return load(std::vector<URLRequest>{request}, std::move(delegate), std::move(configuration),
                file);
}

}  // namespace plovendale::test
