#include "support/local_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "util/text.h"

namespace plovendale::test {
namespace {

using Clock = std::chrono::steady_clock;

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

int boundLoopbackSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// Waits for fd to become ready for events; false on timeout or when the wake descriptor fires.
bool waitFor(int fd, short events, int wakeFd, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
    return ready > 0 && (fds[0].revents & (events | POLLHUP | POLLERR)) &&
           !(fds[1].revents & POLLIN);
}

// The length the request head announces for its body, 0 when it announces none.
std::size_t declaredLength(const std::string& head) {
    const std::string lower = lowercasedASCII(head);
    const auto at = lower.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
}

std::string redirectTo(const std::string& location) {
    return "HTTP/1.1 301 Moved Permanently\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

void serveMisbehaving(Misbehaviour misbehaviour, RawConnection& connection) {
    using std::chrono::milliseconds;
    // Read what the client sends first: closing on unread bytes would reset the connection and hide
    // the misbehaviour under test.
    connection.readBody(declaredLength(connection.requestHead()), std::chrono::seconds(2));
    const std::string block(64 * 1024, 'z');
    switch (misbehaviour) {
        case Misbehaviour::EndlessChunkedBody: {
            if (!connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
            const std::string chunk = "10000\r\n" + block + "\r\n";
            while (connection.send(chunk)) {
            }
            return;
        }
        case Misbehaviour::HugeContentLength:
            if (!connection.send("HTTP/1.1 200 OK\r\nContent-Length: 17179869184\r\n\r\n")) return;
            while (connection.send(block)) {
            }
            return;
        case Misbehaviour::TrickleBody:
            if (connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"))
                connection.trickle(std::string(100, 'x'), milliseconds(1000));
            return;
        case Misbehaviour::TrickleHeaders: {
            // Short lines: each one completes before an idle timer of a few seconds would fire.
            std::string lines;
            for (int i = 0; i < 100; ++i) lines += "a:\n";
            if (connection.send("HTTP/1.1 200 OK\r\n"))
                connection.trickle(lines + "\r\n", milliseconds(1000));
            return;
        }
        case Misbehaviour::SilentAfterHeaders:
            if (connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"))
                connection.waitForClientClose(std::chrono::seconds(60));
            return;
        case Misbehaviour::ResetMidBody:
            if (connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789"))
                connection.pause(milliseconds(50));
            connection.reset();
            return;
        case Misbehaviour::GarbageStatusLine:
            connection.send("HELLO THERE\r\nThis is no HTTP.\r\n\r\n");
            return;
        case Misbehaviour::ResetBeforeAnyByte:
            connection.reset();
            return;
        case Misbehaviour::ResetMidHeaders:
            if (connection.send("HTTP/1.1 200 OK\r\nContent-Ty"))
                connection.pause(milliseconds(50));
            connection.reset();
            return;
        case Misbehaviour::TruncatedChunkedBody:
            connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
            return;
        case Misbehaviour::RedirectLoop:
            connection.send(redirectTo("/loop"));
            return;
        case Misbehaviour::RedirectToFTP:
            connection.send(redirectTo("ftp://127.0.0.1/pub/file"));
            return;
        case Misbehaviour::RedirectToFile:
            connection.send(redirectTo("file:///etc/hostname"));
            return;
        case Misbehaviour::WrongHostCertificate:
            return;  // served by a TLS server
    }
}

}  // namespace

TestCertificates::TestCertificates() {
    const std::string d = dir_.path() + "/";
    std::ofstream(d + "ext.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                    "basicConstraints=CA:FALSE\n"
                                    "keyUsage=critical,digitalSignature\n"
                                    "extendedKeyUsage=serverAuth\n";
    const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string sign = "openssl x509 -req -days 2 -CA " + d + "ca.pem -CAkey " + d +
                             "ca.key -CAcreateserial -in " + d;
    available_ =
        run(key + "-x509 -keyout " + d + "ca.key -out " + d +
            "ca.pem -days 2 -subj '/CN=Plovendale Throw-away Test CA' -addext "
            "'basicConstraints=critical,CA:TRUE' -addext "
            "'keyUsage=critical,keyCertSign,cRLSign'") &&
        run(key + "-keyout " + d + "server.key -out " + d + "server.csr -subj '/CN=127.0.0.1'") &&
        run(sign + "server.csr -out " + d + "server.pem -extfile " + d + "ext.cnf") &&
        run(key + "-keyout " + d + "other.key -out " + d +
            "other.csr -subj '/CN=other.invalid' -addext 'subjectAltName=DNS:other.invalid'") &&
        run(sign + "other.csr -out " + d + "other.pem -copy_extensions copy");
}

const TestCertificates& TestCertificates::shared() {
    static TestCertificates certificates;
    return certificates;
}

LocalServer::LocalServer() : server_(std::make_unique<httplib::Server>()), scheme_("http") {}

LocalServer::LocalServer(const TestCertificates& certificates)
    : LocalServer(certificates.certificateFile(), certificates.keyFile()) {}

LocalServer::LocalServer(const std::string& certificateFile, const std::string& keyFile)
    : server_(std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str())),
      scheme_("https") {}

LocalServer::~LocalServer() {
    stop();
}

bool LocalServer::start() {
    server_->set_keep_alive_timeout(1);
    server_->set_tcp_nodelay(true);
    server_->set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
        ++requests_;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && Clock::now() < deadline) std::this_thread::yield();
    return server_->is_running();
}

void LocalServer::stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    // A worker of the server waits for the next request on a kept-alive connection for the whole
    // keep-alive timeout, stopped or not; ending those connections lets the workers go at once.
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            const int fd = std::atoi(entry->d_name);
            sockaddr_in self{}, peer{};
            socklen_t selfLength = sizeof self, peerLength = sizeof peer;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) == 0 &&
                self.sin_family == AF_INET && ntohs(self.sin_port) == port_ &&
                ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        ::closedir(dir);
    }
    thread_.join();
}

std::string LocalServer::url(std::string_view path) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

bool RawConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        // A client that stops reading must not keep a stopping server waiting.
        if (!waitFor(fd_, POLLOUT, wakeFd_, std::chrono::seconds(60))) return false;
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool RawConnection::trickle(std::string_view bytes, std::chrono::milliseconds interval) {
    for (char byte : bytes) {
        if (!send(std::string_view(&byte, 1)) || !pause(interval)) return false;
    }
    return true;
}

bool RawConnection::pause(std::chrono::milliseconds duration) {
    pollfd wake{wakeFd_, POLLIN, 0};
    return ::poll(&wake, 1, static_cast<int>(duration.count())) == 0;
}

void RawConnection::reset() {
    const linger abortive{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

bool RawConnection::receive(Clock::time_point deadline, std::string& into) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !waitFor(fd_, POLLIN, wakeFd_, left)) return false;
    char buffer[16384];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool RawConnection::readHead(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (head_.find("\r\n\r\n") == std::string::npos && head_.size() < 64 * 1024) {
        if (!receive(deadline, head_)) return false;
    }
    return true;
}

std::string RawConnection::readBody(std::size_t length, std::chrono::milliseconds timeout) {
    const auto headEnd = head_.find("\r\n\r\n") + 4;
    std::string body = head_.substr(headEnd);
    head_.resize(headEnd);
    const auto deadline = Clock::now() + timeout;
    while (body.size() < length && receive(deadline, body)) {
    }
    return body;
}

void RawConnection::waitForClientClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (std::string ignored; receive(deadline, ignored);) ignored.clear();
}

RawServer::RawServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = boundLoopbackSocket(port_);
    if (listenFd_ < 0 || ::listen(listenFd_, 16) != 0 || ::pipe2(wakePipe_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { serve(); });
}

RawServer::~RawServer() {
    if (thread_.joinable()) {
        const char stop = 1;
        (void)!::write(wakePipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {listenFd_, wakePipe_[0], wakePipe_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

std::string RawServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void RawServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        RawConnection connection(fd, wakePipe_[0]);
        if (connection.readHead(std::chrono::seconds(5))) handler_(connection);
        ::close(fd);
    }
}

const char* nameOf(Misbehaviour misbehaviour) {
    // In the order of the enumeration.
    static const char* const kNames[] = {"endless chunked body",
                                         "16 GiB Content-Length",
                                         "body at 1 byte/s",
                                         "headers at 1 byte/s",
                                         "silent after headers",
                                         "reset mid-body",
                                         "garbage status line",
                                         "reset before any byte",
                                         "reset mid-headers",
                                         "truncated chunked body",
                                         "301 loop",
                                         "redirect to ftp://",
                                         "redirect to file://",
                                         "certificate for another host"};
    static_assert(std::size(kNames) == std::size(kMisbehaviours));
    return kNames[static_cast<std::size_t>(misbehaviour)];
}

MisbehavingServer::MisbehavingServer(Misbehaviour misbehaviour) {
    if (misbehaviour != Misbehaviour::WrongHostCertificate) {
        raw_ = std::make_unique<RawServer>([misbehaviour](RawConnection& connection) {
            serveMisbehaving(misbehaviour, connection);
        });
        return;
    }
    const auto& certificates = TestCertificates::shared();
    tls_ = std::make_unique<LocalServer>(certificates.otherHostCertificateFile(),
                                         certificates.otherHostKeyFile());
    // Reached only if the name check is skipped.
    const auto answer = [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"status":200})", "application/json");
    };
    tls_->server().Get(".*", answer);
    tls_->server().Post(".*", answer);
    tls_->start();
}

std::string MisbehavingServer::url(std::string_view path) const {
    return raw_ ? raw_->url(path) : tls_->url(path);
}

int refusedPort() {
    int port = -1;
    const int fd = boundLoopbackSocket(port);
    if (fd >= 0) ::close(fd);  // bound, never listening, now closed: nothing accepts there
    return port;
}

int threadCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count;
}

}  // namespace plovendale::test
