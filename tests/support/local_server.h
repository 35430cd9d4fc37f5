#pragma once

// Local servers for URL-loading tests: a cpp-httplib server (HTTP, or HTTPS with a throw-away
// certificate) and a raw TCP server for replies no real server library would produce.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "support/test_environment.h"

namespace plovendale::test {

/// A throw-away CA and a server certificate for 127.0.0.1 and localhost signed by it, made once per
/// process with the openssl command. available() is false when openssl could not make them.
class TestCertificates {
  public:
    static const TestCertificates& shared();
    bool available() const { return available_; }
    std::string caFile() const { return dir_.file("ca.pem"); }
    std::string certificateFile() const { return dir_.file("server.pem"); }
    std::string keyFile() const { return dir_.file("server.key"); }
    /// A certificate from the same CA for another host name only, and its key.
    std::string otherHostCertificateFile() const { return dir_.file("other.pem"); }
    std::string otherHostKeyFile() const { return dir_.file("other.key"); }

  private:
    TestCertificates();
    TempDir dir_;
    bool available_ = false;
};

/// A cpp-httplib server on 127.0.0.1 and a port the system picks. Register handlers on server()
/// before start(); the server stops on destruction.
class LocalServer {
  public:
    LocalServer();                                                                // HTTP
    explicit LocalServer(const TestCertificates& certificates);                   // HTTPS
    LocalServer(const std::string& certificateFile, const std::string& keyFile);  // HTTPS
    ~LocalServer();

    httplib::Server& server() { return *server_; }
    /// Binds and serves; false when the server could not start within a few seconds.
    bool start();
    void stop();
    int port() const { return port_; }
    std::string url(std::string_view path) const;
    /// Requests that reached the server (counted before routing).
    int requestCount() const { return requests_.load(); }

  private:
    std::unique_ptr<httplib::Server> server_;
    std::string scheme_;
    std::thread thread_;
    int port_ = -1;
    std::atomic<int> requests_{0};
};

/// One accepted connection of a RawServer. Every wait ends when the server stops.
class RawConnection {
  public:
    RawConnection(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
    /// The request line and header fields (read up to the blank line, bounded).
    const std::string& requestHead() const { return head_; }
    /// False once the client is gone or the server stops.
    bool send(std::string_view bytes);
    /// Sends one byte per interval; false once the client is gone or the server stops.
    bool trickle(std::string_view bytes, std::chrono::milliseconds interval);
    /// Waits; false when the server stops meanwhile.
    bool pause(std::chrono::milliseconds duration);
    /// The connection ends with a TCP reset instead of an orderly close.
    void reset();
    /// The request body: what followed the head, read on until `length` bytes or the timeout.
    std::string readBody(std::size_t length, std::chrono::milliseconds timeout);
    /// Waits until the client closes the connection, the server stops, or timeout passes.
    void waitForClientClose(std::chrono::milliseconds timeout);

  private:
    friend class RawServer;
    bool readHead(std::chrono::milliseconds timeout);
    /// Appends what arrives next; false on timeout, close or stop.
    bool receive(std::chrono::steady_clock::time_point deadline, std::string& into);
    int fd_;
    int wakeFd_;
    std::string head_;
};

/// A TCP server on 127.0.0.1 handing each connection, one at a time, to a handler that writes
/// whatever bytes a test wants; the connection closes when the handler returns.
class RawServer {
  public:
    using Handler = std::function<void(RawConnection&)>;
    explicit RawServer(Handler handler);
    ~RawServer();
    int port() const { return port_; }
    std::string url(std::string_view path) const;
    int connections() const { return connections_.load(); }

  private:
    void serve();
    Handler handler_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    int port_ = -1;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

/// Ways a service misbehaves, each served by MisbehavingServer; tests iterate over kMisbehaviours.
enum class Misbehaviour {
    EndlessChunkedBody,    ///< 200, then 64 KiB chunks for as long as the client reads
    HugeContentLength,     ///< 200 announcing 16 GiB, then bytes for as long as the client reads
    TrickleBody,           ///< 200 announcing 100 bytes, then one byte a second
    TrickleHeaders,        ///< the status line, then header lines of 3 bytes at one byte a second
    SilentAfterHeaders,    ///< 200 announcing 100 bytes, then nothing
    ResetMidBody,          ///< 200 announcing 100 bytes, 10 of them, then a TCP reset
    GarbageStatusLine,     ///< a reply that is not HTTP at all
    ResetBeforeAnyByte,    ///< the request is read, then a TCP reset
    ResetMidHeaders,       ///< the status line and half a header line, then a TCP reset
    TruncatedChunkedBody,  ///< one chunk, then the connection closes without the last chunk
    RedirectLoop,          ///< 301 to the same place, every time
    RedirectToFTP,         ///< 301 to an ftp:// URL
    RedirectToFile,        ///< 301 to a file:// URL of a file that exists
    WrongHostCertificate,  ///< TLS with a certificate of a trusted CA, made out to another host
};
inline constexpr Misbehaviour kMisbehaviours[] = {
    Misbehaviour::EndlessChunkedBody, Misbehaviour::HugeContentLength,
    Misbehaviour::TrickleBody,        Misbehaviour::TrickleHeaders,
    Misbehaviour::SilentAfterHeaders, Misbehaviour::ResetMidBody,
    Misbehaviour::GarbageStatusLine,  Misbehaviour::ResetBeforeAnyByte,
    Misbehaviour::ResetMidHeaders,    Misbehaviour::TruncatedChunkedBody,
    Misbehaviour::RedirectLoop,       Misbehaviour::RedirectToFTP,
    Misbehaviour::RedirectToFile,     Misbehaviour::WrongHostCertificate,
};
const char* nameOf(Misbehaviour misbehaviour);

/// A service on 127.0.0.1 that answers every request with one misbehaviour: a RawServer, or a
/// TLS server for the certificate (trust TestCertificates' CA to see the name checked).
class MisbehavingServer {
  public:
    explicit MisbehavingServer(Misbehaviour misbehaviour);
    std::string url(std::string_view path) const;

  private:
    std::unique_ptr<RawServer> raw_;
    std::unique_ptr<LocalServer> tls_;
};

/// A port on 127.0.0.1 where nothing listens (connections are refused).
int refusedPort();

/// Threads of this process right now (/proc/self/task).
int threadCount();

}  // namespace plovendale::test
