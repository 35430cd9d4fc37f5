#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace plovendale::attribution_service {

/// httplib serves each connection on one pool thread for as long as it stays open, so a fixed pool
/// of a few threads lets a handful of idle or slow clients hold up everyone else. This pool starts
/// a thread whenever a connection arrives and no thread is free, up to maxThreads (then
/// connections wait for a thread), and keeps the threads until shutdown.
/// enqueue() is called by httplib's accept thread; shutdown() once, by the thread that ran
/// listen, after the last enqueue.
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
