#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace plovendale::attribution_service {

/// The workers that run requests: a handler may wait (on SQLite's write lock, on a --delay-ms), so
/// a fixed pool of a few threads would let a handful of such requests hold up everyone else. This
/// pool starts a thread whenever a request is ready and no thread is free, up to maxThreads (then
/// requests wait for a thread), and keeps the threads until shutdown.
/// enqueue() may be called from any thread until shutdown(); shutdown() once, by the thread that
/// ran the server, when nothing enqueues any more.
class ConnectionPool : public httplib::TaskQueue {
  public:
    explicit ConnectionPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;
    ~ConnectionPool() override;

    void enqueue(std::function<void()> job) override;
    /// Lets the queued connections finish, then joins every thread.
    void shutdown() override;

  private:
    void work();

    const std::size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable jobsChanged_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool shuttingDown_ = false;
};

}  // namespace plovendale::attribution_service
