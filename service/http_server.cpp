#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>

#include "request_framing.h"
#include "request_log.h"

namespace plovendale::attribution_service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kReadChunk = 64 * 1024;
// Bytes the watcher reads from one connection per wake-up, so one fast sender cannot starve the
// others; level-triggered epoll reports the rest at once.
constexpr std::size_t kReadPerWake = 256 * 1024;
// A refused connection is read and dropped this long, and at most this much, before it is closed.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kMaxDrainBytes = 4 * 1024 * 1024;
// Once what connections buffered has peaked above this and fallen to a quarter of the peak, the
// freed memory is handed back to the system (malloc keeps it otherwise, piecemeal as it was
// freed).
constexpr std::size_t kTrimAbove = 32 * 1024 * 1024;

int millisecondsUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    const auto wait = std::chrono::ceil<milliseconds>(when - now).count();
    return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready >= 0) return ready > 0;
        if (errno != EINTR) return false;
    }
}

/// Reads what the socket has now (at most kReadChunk) onto the connection's input, through a
/// scratch buffer so an idle connection keeps no read-sized buffer of its own.
/// Returns the byte count, 0 at end of stream, -1 with errno on failure.
ssize_t readSome(Connection& connection) {
    thread_local std::array<char, kReadChunk> scratch;
    ssize_t got = 0;
    do {
        got = ::recv(connection.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return got;
    if (connection.consumed == connection.input.size()) {
        connection.input.clear();
        connection.consumed = 0;
    }
    connection.input.append(scratch.data(), static_cast<std::size_t>(got));
    connection.recharge();
    return got;
}

void addressOf(int fd, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0) return;
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text.data(), text.size());
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text.data(), text.size());
        port = ntohs(v6->sin6_port);
    }
    ip = text.data();
}

/// httplib's view of a connection during one request: the bytes the watcher already read come
/// first, then the socket, each read bounded by the read timeout and the request's deadline.
class ConnectionStream final : public httplib::Stream {
  public:
    ConnectionStream(Connection& connection, milliseconds readTimeout, milliseconds writeTimeout,
                     Clock::time_point deadline)
        : connection_(connection),
          readTimeout_(readTimeout),
          writeTimeout_(writeTimeout),
          deadline_(deadline) {}

    bool is_readable() const override {
        return !connection_.pending().empty() ||
               waitFor(connection_.fd, POLLIN, readBudgetMs(Clock::now()));
    }
    bool is_writable() const override {
        return waitFor(connection_.fd, POLLOUT, static_cast<int>(writeTimeout_.count()));
    }

    ssize_t read(char* ptr, size_t size) override {
        if (connection_.pending().empty() && !fill()) return -1;
        const std::string_view pending = connection_.pending();
        const std::size_t count = std::min(size, pending.size());
        std::memcpy(ptr, pending.data(), count);
        connection_.consumed += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            const ssize_t sent = ::send(connection_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0) return sent;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            if (!is_writable()) return -1;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        addressOf(connection_.fd, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        addressOf(connection_.fd, false, ip, port);
    }
    socket_t socket() const override { return connection_.fd; }

  private:
    [[nodiscard]] int readBudgetMs(Clock::time_point now) const {
        return std::min(static_cast<int>(readTimeout_.count()), millisecondsUntil(deadline_, now));
    }

    bool fill() {
        for (;;) {
            const ssize_t got = readSome(connection_);
            if (got > 0) return true;
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
            const int budget = readBudgetMs(Clock::now());
            if (budget <= 0 || !waitFor(connection_.fd, POLLIN, budget)) return false;
        }
    }

    Connection& connection_;
    const milliseconds readTimeout_;
    const milliseconds writeTimeout_;
    const Clock::time_point deadline_;
};

/// httplib hands each accepted socket to its task queue; ours only passes it to the watcher, which
/// is quick, so the accept thread does it itself.
class InlineQueue final : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> job) override { job(); }
    void shutdown() override {}
};

const char* statusText(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 417:
            return "Expectation Failed";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

}  // namespace

Connection::~Connection() {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    budgetUsed_ -= charged_;
}

HttpServer::HttpServer(std::size_t maxWorkers, bool logCutOffs, std::size_t memoryBudget)
    : workers_(maxWorkers),
      logCutOffs_(logCutOffs),
      memoryBudget_(memoryBudget),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    new_task_queue = [] { return std::make_unique<InlineQueue>().release(); };
    if (epoll_ >= 0 && wake_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = wake_;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    }
}

HttpServer::~HttpServer() {
    if (watcher_.joinable()) watcher_.join();
    if (wake_ >= 0) ::close(wake_);
    if (epoll_ >= 0) ::close(epoll_);
}

bool HttpServer::run() {
    if (epoll_ < 0 || wake_ < 0) return false;
    watcher_ = std::thread([this] { watchLoop(); });
    const bool served = listen_after_bind();
    {
        std::lock_guard lock(mutex_);
        watcherStopping_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    watcher_.join();
    // Requests in flight are answered; their connections close instead of coming back.
    workers_.shutdown();
    return served;
}

bool HttpServer::process_and_close_socket(socket_t sock) {
    ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
    // Answers go out as head and body in separate writes; see Service's constructor.
    int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    auto connection = std::make_shared<Connection>(sock, buffered_);
    connection->requestsLeft = keep_alive_max_count_;
    watch(std::move(connection));
    return true;
}

bool HttpServer::watch(std::shared_ptr<Connection> connection) {
    {
        std::lock_guard lock(mutex_);
        if (watcherStopping_) return false;
        incoming_.push_back(std::move(connection));
    }
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    return true;
}

void HttpServer::serveOne(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    ConnectionStream stream(c, milliseconds(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                            milliseconds(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000),
                            c.deadline);
    // The last request a connection may make, and any made while stopping, is answered with
    // "Connection: close".
    const bool last = c.requestsLeft <= 1 || svr_sock_ == INVALID_SOCKET;
    bool closed = false;
    const bool answered = process_request(stream, last, closed, nullptr);
    --c.requestsLeft;
    if (!answered || closed || last || svr_sock_ == INVALID_SOCKET) return;
    c.input.erase(0, c.consumed);
    c.input.shrink_to_fit();  // a large body's buffer is not kept while the connection idles
    c.consumed = 0;
    c.recharge();
    watch(connection);
}

void HttpServer::watchLoop() {
    std::array<epoll_event, 64> events{};
    for (;;) {
        const int timeout =
            deadlines_.empty() ? -1 : millisecondsUntil(deadlines_.begin()->first, Clock::now());
        const int count =
            ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
        if (count < 0 && errno != EINTR) {
            writeLogLine(std::string("error: waiting on connections failed: ") +
                         std::strerror(errno));
            break;
        }
        const auto now = Clock::now();
        for (int i = 0; i < count; ++i) {
            const int fd = events[static_cast<std::size_t>(i)].data.fd;
            if (fd == wake_) {
                std::uint64_t ignored = 0;
                (void)!::read(wake_, &ignored, sizeof ignored);
                std::vector<std::shared_ptr<Connection>> arrived;
                bool stopping = false;
                {
                    std::lock_guard lock(mutex_);
                    arrived.swap(incoming_);
                    stopping = watcherStopping_;
                }
                if (stopping) {
                    watched_.clear();  // closes every idle or half-received connection
                    deadlines_.clear();
                    return;
                }
                for (auto& connection : arrived) adopt(std::move(connection), now);
                continue;
            }
            const auto found = watched_.find(fd);
            if (found == watched_.end()) continue;
            onReadable(found->second, now);
        }
        const std::size_t buffered = buffered_.load();
        peakSinceTrim_ = std::max(peakSinceTrim_, buffered);
        if (peakSinceTrim_ > kTrimAbove && buffered < peakSinceTrim_ / 4) {
            ::malloc_trim(0);
            peakSinceTrim_ = buffered;
        }
        while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
            const auto found = watched_.find(deadlines_.begin()->second);
            if (found == watched_.end()) {
                deadlines_.erase(deadlines_.begin());
                continue;
            }
            const std::shared_ptr<Connection> connection = found->second;
            if (connection->draining || connection->pending().empty()) {
                forget(*connection);  // idle past the keep-alive timeout: close quietly
            } else {
                refuse(*connection, 408, "the request did not arrive in time", now);
            }
        }
    }
    watched_.clear();
    deadlines_.clear();
}

void HttpServer::adopt(std::shared_ptr<Connection> connection, Clock::time_point now) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = connection->fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, connection->fd, &event) != 0) return;  // dropped
    Connection& c = *connection;
    watched_[c.fd] = std::move(connection);
    c.headerComplete = false;
    if (c.pending().empty()) {
        setDeadline(c, now + std::chrono::seconds(keep_alive_timeout_sec_));
        return;
    }
    // A pipelined request already here: treat it as arriving now.
    c.requestStarted = now;
    setDeadline(c, now + kHeaderDeadline);
    onReadable(watched_[c.fd], now);  // a copy: reading may let the map's entry go
}

void HttpServer::onReadable(std::shared_ptr<Connection> connection, Clock::time_point now) {
    Connection& c = *connection;
    if (c.draining) {
        drain(c);
        return;
    }
    const bool wasIdle = c.pending().empty();
    bool ended = false;  // the client sent all it will send
    for (std::size_t read = 0; read < kReadPerWake;) {
        const ssize_t got = readSome(c);
        if (got > 0) {
            read += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ended = true;
        break;
    }
    if (wasIdle && !c.pending().empty()) {
        c.requestStarted = now;
        setDeadline(c, now + kHeaderDeadline);
    }
    switch (assess(c, now)) {
        case Readiness::Ready:
            forget(c);
            // One that ended after a whole request is still answered; it is then closed.
            if (ended) c.requestsLeft = std::min<std::size_t>(c.requestsLeft, 1);
            workers_.enqueue([this, connection] { serveOne(connection); });
            break;
        case Readiness::Refused:
            refuse(c, c.refusal, c.refusalReason, now);
            break;
        case Readiness::NeedMore:
            if (ended) forget(c);
            break;
    }
}

HttpServer::Readiness HttpServer::assess(Connection& c, Clock::time_point now) {
    const std::string_view pending = c.pending();
    if (pending.empty()) return Readiness::NeedMore;
    const auto refuseWith = [&c](int status, const char* reason) {
        c.refusal = status;
        c.refusalReason = reason;
        return Readiness::Refused;
    };
    if (!c.headerComplete) {
        const RequestFrame frame = frameRequest(pending, kMaxHeaderBytes, payload_max_length_);
        if (frame.state == RequestFrame::State::Refused)
            return refuseWith(frame.status, frame.reason);
        if (frame.state == RequestFrame::State::Incomplete) {
            // Headers still arriving count against the budget too: thousands of half-sent ones
            // must not grow the process without bound.
            if (buffered_.load() > memoryBudget_)
                return refuseWith(503, "the service is busy, try again shortly");
            return Readiness::NeedMore;
        }
        c.headerComplete = true;
        c.headerBytes = frame.headerBytes;
        c.bodyBytes = frame.bodyBytes;
        const std::size_t whole = c.headerBytes + c.bodyBytes;
        const bool bodyToCome = pending.size() < whole;  // pending may not outlive the reserve
        if (bodyToCome) {
            // The body's room is taken from the budget now, before any of it is read.
            const std::size_t others = buffered_.load() - std::min(buffered_.load(), c.charged());
            if (others + c.consumed + whole > memoryBudget_)
                return refuseWith(503, "the service is busy, try again shortly");
            c.input.reserve(c.consumed + whole);
            c.recharge();
        }
        if (frame.expectContinueAt != std::string_view::npos) {
            // The watcher answers the expectation; httplib must not answer it a second time.
            c.input[c.consumed + frame.expectContinueAt] = 'X';
            if (bodyToCome) {
                static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                (void)::send(c.fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        setDeadline(c, now + kBodyDeadline);
    }
    return c.pending().size() >= c.headerBytes + c.bodyBytes ? Readiness::Ready
                                                             : Readiness::NeedMore;
}

void HttpServer::setDeadline(Connection& c, Clock::time_point deadline) {
    deadlines_.erase({c.deadline, c.fd});
    c.deadline = deadline;
    deadlines_.insert({deadline, c.fd});
}

void HttpServer::forget(const Connection& c) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    deadlines_.erase({c.deadline, c.fd});
    watched_.erase(c.fd);  // may destroy c: the caller holds it when it still needs it
}

void HttpServer::drain(Connection& c) {
    std::array<char, 16 * 1024> scratch{};
    for (std::size_t read = 0; read < kReadPerWake;) {
        const ssize_t got = ::recv(c.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (got > 0) {
            read += static_cast<std::size_t>(got);
            c.drained += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        forget(c);  // the client has read the answer and hung up
        return;
    }
    if (c.drained > kMaxDrainBytes) forget(c);
}

void HttpServer::refuse(Connection& c, int status, const char* reason, Clock::time_point now) {
    const std::string body =
        "{\"status\":" + std::to_string(status) + ",\"error\":\"" + reason + "\"}";
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " " + statusText(status) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        (status == 503 ? "\r\nRetry-After: 1" : "") + "\r\nConnection: close\r\n\r\n" + body;
    // One try without waiting: a client this slow gets what fits in the socket buffer.
    (void)::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    std::string method = "-";
    std::string path = "-";
    const std::string_view pending = c.pending();
    const std::string_view line = pending.substr(0, pending.find("\r\n"));
    if (const std::size_t space = line.find(' '); space != std::string_view::npos) {
        method = line.substr(0, space);
        const std::string_view target = line.substr(space + 1);
        const std::string_view shown = target.substr(0, target.find_first_of(" ?"));
        if (!shown.empty()) path = shown;
    }
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(now - c.requestStarted).count();
    // Logged after the connection is let go of: forget() may destroy c.
    const std::string logLine = requestLogLine(method, path, status, elapsedMs);
    // The rest of what the client sends is read and dropped for a moment: closing with unread
    // input would reset the connection, and the client could lose the answer before reading it.
    ::shutdown(c.fd, SHUT_WR);
    c.draining = true;
    c.input.clear();
    c.input.shrink_to_fit();
    c.consumed = 0;
    c.recharge();
    setDeadline(c, now + kLingerTime);
    if (logCutOffs_) writeLogLine(logLine);
}

}  // namespace plovendale::attribution_service
