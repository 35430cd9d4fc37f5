#pragma once

// The process-wide transfer engine of the URL session service: one libcurl multi handle driven by
// one I/O thread (curl_multi_poll, woken by curl_multi_wakeup), and one delegate thread that runs
// session events in FIFO order. Started on first use; stopped and joined at process exit.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/curl_handles.h"

namespace plovendale::curl {

/// What the I/O thread drives: the owner of one or more easy handles attached to the multi handle.
class Driven {
public:
    virtual ~Driven() = default;
    /// The transfer of handle finished (it is still attached; detach it).
    virtual void exchangeDone(CURL* handle, CURLcode code) = 0;
    /// When the handle's idle timer fires, or nothing.
    virtual std::optional<std::chrono::steady_clock::time_point> deadline(CURL* handle) const = 0;
    /// The idle timer of handle fired.
    virtual void idleTimeout(CURL* handle) = 0;
};

class Engine {
public:
    /// The engine, started on first call.
    static Engine& shared();

    // Any thread.
    /// Runs command on the I/O thread, after the commands posted before it. Dropped after shutdown.
    void perform(std::function<void()> command);
    /// Runs event on the delegate thread, after the events posted before it. Dropped after shutdown.
    void deliver(std::function<void()> event);

    // I/O thread only.
    /// Keeps owner alive until release(); the service holds running tasks this way.
    void retain(std::shared_ptr<Driven> owner);
    void release(Driven* owner);
    std::shared_ptr<Driven> strong(Driven* owner) const;
    bool attach(CURL* handle, Driven* owner);
    void detach(CURL* handle);
    /// Resumes receiving on a paused handle (its held data is delivered now).
    void unpause(CURL* handle);

    /// Threads of the engine (for tools and tests): 2 once started.
    static constexpr int kThreadCount = 2;

private:
    struct Shutdown;
    Engine();
    ~Engine() = default;
    void runIO();
    void runDelegates();
    void finishedTransfers();
    int expireIdleTransfers();
    void stop();

    Multi multi_;
    std::mutex mutex_;  // commands_, events_, stopped_
    std::condition_variable eventsReady_;
    std::vector<std::function<void()>> commands_;
    std::deque<std::function<void()>> events_;
    bool stopped_ = false;

    // I/O thread only.
    std::unordered_map<CURL*, Driven*> handles_;
    std::unordered_map<Driven*, std::shared_ptr<Driven>> retained_;

    std::thread io_;
    std::thread delegates_;
};

}  // namespace plovendale::curl
