#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "connection_pool.h"

namespace plovendale::attribution_service {

/// A whole request header must arrive within this long of its first byte, and a body within
/// kBodyDeadline of the end of its header; a client that trickles either is answered 408 and
/// closed.
inline constexpr std::chrono::seconds kHeaderDeadline{5};
inline constexpr std::chrono::seconds kBodyDeadline{10};
/// A request header beyond this size is answered 431 and the connection closed.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
/// What all connections may buffer together (headers and bodies not yet handled), by default.
inline constexpr std::size_t kDefaultMemoryBudget = 256 * 1024 * 1024;

/// One client connection and the bytes read from it that no request has consumed yet.
struct Connection {
    using Clock = std::chrono::steady_clock;

    Connection(int socket, std::atomic<std::size_t>& budgetUsed)
        : fd(socket), budgetUsed_(budgetUsed) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    /// The unconsumed input.
    [[nodiscard]] std::string_view pending() const {
        return std::string_view(input).substr(consumed);
    }
    /// Counts the input buffer's size against the server's memory budget.
    void recharge() {
        const std::size_t now = input.capacity();
        budgetUsed_ += now;
        budgetUsed_ -= charged_;
        charged_ = now;
    }
    [[nodiscard]] std::size_t charged() const { return charged_; }

    int fd;
    std::string input;
    std::size_t consumed = 0;
    std::size_t requestsLeft = 0;
    Clock::time_point deadline;        // when the watcher gives up on it
    Clock::time_point requestStarted;  // first byte of the request now arriving
    bool headerComplete = false;
    std::size_t headerBytes = 0;  // of the pending request, once its header is complete
    std::size_t bodyBytes = 0;    // the body bytes to read before a worker takes it
    int refusal = 0;              // the status the watcher answers, when it refuses the request
    const char* refusalReason = "";
    bool draining = false;  // answered and half-closed: what still arrives is dropped
    std::size_t drained = 0;

  private:
    std::atomic<std::size_t>& budgetUsed_;
    std::size_t charged_ = 0;
};

/// httplib's server with its per-connection loop replaced. httplib keeps a thread on every open
/// connection and has it poll the socket every 10 ms between requests, so a thousand idle
/// keep-alive clients keep both cores busy waking threads. Here one watcher thread waits on every
/// connection between requests in a single epoll set, reads each request's header and body as
/// they trickle in, and only then hands the connection to a worker thread, which runs httplib's
/// request processing on the bytes already read. Idle, slow-header and slow-body clients then hold
/// no thread at all, and each phase has its deadline.
///
/// run() belongs to one thread; stop() (httplib's) may be called from any thread.
class HttpServer : public httplib::Server {
  public:
    /// logCutOffs: write a request-log line for each request answered by the watcher (400, 408,
    /// 411, 413, 417, 431, 503). memoryBudget: bytes all connections may buffer together.
    HttpServer(std::size_t maxWorkers, bool logCutOffs,
               std::size_t memoryBudget = kDefaultMemoryBudget);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    ~HttpServer() override;

    /// Serves on the bound socket until stop(): requests in flight are answered (with
    /// "Connection: close"), idle connections closed. Returns listen_after_bind()'s result.
    bool run();

  private:
    using Clock = Connection::Clock;
    enum class Readiness { NeedMore, Ready, Refused };

    // Called by httplib's accept loop for each new connection (through an inline task queue).
    bool process_and_close_socket(socket_t sock) override;

    /// Passes a connection to the watcher; false (and the connection is dropped) when stopping.
    bool watch(std::shared_ptr<Connection> connection);
    void serveOne(const std::shared_ptr<Connection>& connection);

    // The watcher thread and what only it touches.
    void watchLoop();
    void adopt(std::shared_ptr<Connection> connection, Clock::time_point now);
    void onReadable(std::shared_ptr<Connection> connection, Clock::time_point now);
    /// Decides, from what has arrived, whether the request is whole; moves deadlines accordingly.
    Readiness assess(Connection& connection, Clock::time_point now);
    void setDeadline(Connection& connection, Clock::time_point deadline);
    void forget(const Connection& connection);
    /// Answers status with the JSON error body, then drains the connection until it closes.
    void refuse(Connection& connection, int status, const char* reason, Clock::time_point now);
    void drain(Connection& connection);

    ConnectionPool workers_;
    const bool logCutOffs_;
    const std::size_t memoryBudget_;
    std::atomic<std::size_t> buffered_{0};  // what every connection's input holds
    std::size_t peakSinceTrim_ = 0;         // the watcher's: the most buffered since malloc_trim
    int epoll_ = -1;
    int wake_ = -1;  // eventfd: new connections to adopt, or stop
    std::thread watcher_;
    std::unordered_map<int, std::shared_ptr<Connection>> watched_;
    std::set<std::pair<Clock::time_point, int>> deadlines_;

    std::mutex mutex_;  // incoming_ and watcherStopping_
    std::vector<std::shared_ptr<Connection>> incoming_;
    bool watcherStopping_ = false;
};

}  // namespace plovendale::attribution_service
