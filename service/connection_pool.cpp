#include "connection_pool.h"

namespace plovendale::attribution_service {

ConnectionPool::~ConnectionPool() {
    shutdown();
}

void ConnectionPool::enqueue(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_ && threads_.size() < maxThreads_) {
        threads_.emplace_back([this] { work(); });
    }
    jobsChanged_.notify_one();
}

void ConnectionPool::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        threads.swap(threads_);
    }
    jobsChanged_.notify_all();
    for (std::thread& thread : threads) thread.join();
}

void ConnectionPool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        jobsChanged_.wait(lock, [this] { return !jobs_.empty() || shuttingDown_; });
        --idle_;
        if (jobs_.empty()) return;  // shutting down with nothing left to serve
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

}  // namespace plovendale::attribution_service
