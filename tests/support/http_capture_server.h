#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plovendale::test {

/// A TCP server on 127.0.0.1 that reads each request whole, bytes as sent (head and a
/// Content-Length body), keeps it, and answers 200 with the body "ok". For tests that check what
/// went over the wire byte for byte, which a server library would parse away.
class HTTPCaptureServer {
  public:
    HTTPCaptureServer();
    ~HTTPCaptureServer();
    HTTPCaptureServer(const HTTPCaptureServer&) = delete;
    HTTPCaptureServer& operator=(const HTTPCaptureServer&) = delete;

    std::string url(const std::string& path) const;
    /// Each request received so far: its head (up to and including the blank line) and its body.
    struct Request {
        std::string head;
        std::string body;
    };
    std::vector<Request> requests() const;

  private:
    void serve();
    void handle(int fd);
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    int port_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
};

}  // namespace plovendale::test
