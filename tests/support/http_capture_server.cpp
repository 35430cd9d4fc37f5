#include "support/http_capture_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace plovendale::test {
namespace {

constexpr int kReadTimeoutMs = 5000;
constexpr std::size_t kMaxRequest = 16 * 1024 * 1024;

// Reads what is available within the timeout; false when the peer closed, failed or stayed silent.
bool readSome(int fd, std::string& into) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, kReadTimeoutMs) <= 0) return false;
    char buffer[16384];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return into.size() <= kMaxRequest;
}

std::size_t contentLength(const std::string& head) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    const auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    std::size_t i = at + 17;
    while (i < lower.size() && lower[i] == ' ') ++i;
    std::size_t length = 0;
    while (i < lower.size() && std::isdigit(static_cast<unsigned char>(lower[i])) &&
           length < kMaxRequest) {
        length = length * 10 + static_cast<std::size_t>(lower[i++] - '0');
    }
    return std::min(length, kMaxRequest);
}

}  // namespace

HTTPCaptureServer::HTTPCaptureServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::listen(listenFd_, 16) != 0 || ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

HTTPCaptureServer::~HTTPCaptureServer() {
    if (thread_.joinable()) {
        const char stop = 1;
        (void)!::write(wakePipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {listenFd_, wakePipe_[0], wakePipe_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

std::string HTTPCaptureServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HTTPCaptureServer::Request> HTTPCaptureServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HTTPCaptureServer::serve() {
    for (;;) {
        pollfd entries[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) return;
        if (entries[1].revents != 0) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        handle(fd);
        ::close(fd);
    }
}

void HTTPCaptureServer::handle(int fd) {
    std::string data;
    std::size_t headEnd = std::string::npos;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (!readSome(fd, data)) return;
    }
    Request request{data.substr(0, headEnd + 4), data.substr(headEnd + 4)};
    const std::size_t length = contentLength(request.head);
    while (request.body.size() < length) {
        if (!readSome(fd, request.body)) return;
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    (void)!::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
}

}  // namespace plovendale::test
