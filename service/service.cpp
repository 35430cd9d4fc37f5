#include "service.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "json_body.h"
#include "request_log.h"
#include "route_helpers.h"

namespace plovendale::attribution_service {
namespace {

using Clock = std::chrono::steady_clock;

// A client gets this long to send the next request on a kept-alive connection, and each read or
// write of a request this long to make progress (besides the header and body deadlines of
// HttpServer); a connection serves this many requests.
constexpr time_t kKeepAliveSeconds = 2;
constexpr time_t kReadWriteSeconds = 5;
constexpr std::size_t kMaxRequestsPerConnection = 100;
// httplib listens with a backlog of 5; a burst of connections would overflow it and each dropped
// one wait a second for its SYN to be sent again.
constexpr int kListenBacklog = 1024;

// httplib serves a whole request on one pool thread, from pre-routing to the logger, so the start
// of the request in flight on this thread can live here. Requests refused before routing (a bad
// request line) have no start and are logged with 0 ms.
thread_local std::optional<Clock::time_point> requestStart;

const char* reasonFor(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "send the operator token as Authorization: Bearer <token>";
        case 403:
            return "requests from other origins are refused";
        case 415:
            return "send the body as Content-Type: application/json";
        case 421:
            return "this service does not answer for that Host";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 411:
            return "send the body with a Content-Length";
        case 413:
            return "request body too large";
        case 414:
            return "request URI too long";
        case 500:
            return "internal error";
        case 503:
            return "service is stopping";
        default:
            return "request failed";
    }
}

/// Turns anything a handler throws into a 500 with the service's error body; the client sees a
/// failed request and the service keeps serving.
template <typename Handler>
httplib::Server::Handler guarded(Handler handler) {
    return [handler](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(req, res);
        } catch (const std::exception& e) {
            writeLogLine("error: " + escapeForLog(e.what()));
            replyError(res, 500, reasonFor(500));
        } catch (...) {
            writeLogLine("error: unknown exception");
            replyError(res, 500, reasonFor(500));
        }
    };
}

}  // namespace

Service::Service(Store& store, ServiceSettings settings)
    : store_(store),
      settings_(std::move(settings)),
      server_(kMaxRequestThreads, settings_.logRequests, settings_.memoryBudget) {
    server_.set_payload_max_length(kMaxBodyBytes);
    // Answers go out as head and body in separate writes; with Nagle's algorithm the body would
    // wait for the client's delayed acknowledgement (about 40 ms a request).
    server_.set_tcp_nodelay(true);
    // httplib's default is SO_REUSEPORT, which lets a second service bind the same port and
    // silently take half the requests. SO_REUSEADDR alone still allows a quick restart.
    server_.set_socket_options([this](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listeningSocket_ = sock;
    });
    server_.set_keep_alive_timeout(kKeepAliveSeconds);
    server_.set_keep_alive_max_count(kMaxRequestsPerConnection);
    server_.set_read_timeout(kReadWriteSeconds, 0);
    server_.set_write_timeout(kReadWriteSeconds, 0);
    installReporting();
    installRoutes();
}

void Service::installRoutes() {
    const std::string key = "([^/]*)";
    auto bindHandler =
        [this](void (Service::*member)(const httplib::Request&, httplib::Response&)) {
            return guarded([this, member](const httplib::Request& req, httplib::Response& res) {
                (this->*member)(req, res);
            });
        };
    server_.Post("/api/trace/client/report/" + key, bindHandler(&Service::handleReport));
    server_.Post("/api/trace/client/state/" + key, bindHandler(&Service::handleState));
    server_.Post("/api/links/" + key, bindHandler(&Service::handleRegister));
    server_.Get("/api/links/" + key, bindHandler(&Service::handleListLinks));
    server_.Get("/api/state/" + key, bindHandler(&Service::handleListStates));
    server_.Get("/api/installs/" + key, bindHandler(&Service::handleListInstalls));
    server_.Post("/api/trace/client/events/" + key, bindHandler(&Service::handleEvents));
    server_.Get("/api/events/" + key, bindHandler(&Service::handleListEvents));
    server_.Get("/api/apps/" + key + "/summary", bindHandler(&Service::handleSummary));
    server_.Get("/api/console", bindHandler(&Service::handleConsoleData));
    server_.Get("/l/" + key + "/([^/]*)", bindHandler(&Service::handleLanding));
    server_.Post("/l/" + key + "/([^/]*)/beacon", bindHandler(&Service::handleBeacon));
    server_.Get("/api/clicks/" + key, bindHandler(&Service::handleListClicks));
    server_.Get("/console", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(consolePage(), "text/html; charset=utf-8");
    });
}

void Service::installReporting() {
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        requestStart = Clock::now();
        return admits(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                : httplib::Server::HandlerResponse::Handled;
    });
    // Every answer of 400 and above that has no body yet (unknown route, oversized body, a
    // request httplib refused) gets the service's JSON error body.
    server_.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            replyError(res, res.status, reasonFor(res.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server_.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                     std::exception_ptr) { replyError(res, 500, reasonFor(500)); });
    const bool logRequests = settings_.logRequests;
    server_.set_logger([logRequests](const httplib::Request& req, const httplib::Response& res) {
        const auto start = requestStart;
        requestStart.reset();
        if (!logRequests) return;
        const double elapsedMs =
            start ? std::chrono::duration<double, std::milli>(Clock::now() - *start).count() : 0.0;
        writeLogLine(requestLogLine(req.method, req.path, res.status, elapsedMs));
    });
}

bool Service::admits(const httplib::Request& req, httplib::Response& res) const {
    const auto refuse = [&res](int status) {
        replyError(res, status, reasonFor(status));
        return false;
    };
    // A page on another site that gets its name to resolve here (DNS rebinding) sends its own
    // name as the Host.
    if (req.has_header("Host") && !allowedHosts_->allows(req.get_header_value("Host")))
        return refuse(421);
    if (accessFor(req.method, req.path) == Access::Operator) {
        if (bearerMatches(req.get_header_value("Authorization"), settings_.adminToken)) return true;
        res.set_header("WWW-Authenticate", "Bearer");
        return refuse(401);
    }
    // Open to apps, which send no Origin, and to the service's own pages. A form or a "simple"
    // request from another site carries its Origin; one that does not send JSON would need a
    // preflight, which the service never grants.
    if (req.has_header("Origin") && !allowedHosts_->isOwnOrigin(req.get_header_value("Origin")))
        return refuse(403);
    if ((req.method == "POST" || !req.body.empty()) &&
        !isJsonMediaType(req.get_header_value("Content-Type")))
        return refuse(415);
    return true;
}

namespace {

/// Why host:port cannot be bound, found by trying it: httplib only says that it failed.
std::string bindFailureReason(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0) return std::string("cannot resolve the address: ") + gai_strerror(lookup);
    int error = 0;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        const int sock = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (sock < 0) {
            error = errno;
            continue;
        }
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        const bool bound = ::bind(sock, a->ai_addr, a->ai_addrlen) == 0;
        error = bound ? 0 : errno;
        close(sock);
        if (bound) break;
    }
    freeaddrinfo(found);
    switch (error) {
        case EADDRINUSE:
            return "port " + std::to_string(port) + " is in use";
        case EACCES:
            return "permission denied (ports below 1024 need privileges)";
        case EADDRNOTAVAIL:
            return "the address is not one of this machine's";
        case 0:
            return "listening failed";
        default:
            return std::strerror(error);
    }
}

// The host name of an absolute http(s) URL, without port or brackets.
std::string hostOfUrl(const std::string& url) {
    std::string_view rest = url;
    const auto scheme = rest.find("://");
    if (scheme != std::string_view::npos) rest.remove_prefix(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (rest.starts_with("[")) return std::string(rest.substr(1, rest.find(']') - 1));
    return std::string(rest.substr(0, rest.find(':')));
}

}  // namespace

int Service::bind(const std::string& host, int port, std::string& error) {
    const int bound =
        port == 0 ? server_.bind_to_any_port(host) : (server_.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        error = bindFailureReason(host, port);
        return -1;
    }
    std::vector<std::string> hosts = settings_.allowedHosts;
    if (hosts.empty()) {
        hosts = {host, "localhost", "127.0.0.1"};
        // Landing pages are visited, and post their beacon, under the public URL's name.
        if (!settings_.publicUrl.empty()) hosts.push_back(hostOfUrl(settings_.publicUrl));
    }
    allowedHosts_.emplace(std::move(hosts));
    if (settings_.publicUrl.empty()) {
        const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        settings_.publicUrl = "http://" + shown + ":" + std::to_string(bound);
    }
    // Listening again on a listening socket only changes its backlog.
    if (listeningSocket_ != INVALID_SOCKET) ::listen(listeningSocket_, kListenBacklog);
    return bound;
}

bool Service::run() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return true;
        running_ = true;
    }
    const bool served = server_.run();
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    stoppingChanged_.notify_all();
    std::lock_guard lock(mutex_);
    return served || stopping_;
}

void Service::stop() {
    std::unique_lock lock(mutex_);
    if (stopping_) return;  // httplib's stop() must not run twice
    stopping_ = true;
    stoppingChanged_.notify_all();
    // httplib ignores stop() until its accept loop has started; run() may be just about to start
    // it, so keep asking until the loop is up or run() has returned.
    while (running_ && !server_.is_running()) {
        stoppingChanged_.wait_for(lock, std::chrono::milliseconds(5));
    }
    if (running_) server_.stop();
}

bool Service::waitReportDelay() {
    std::unique_lock lock(mutex_);
    if (settings_.reportDelay.count() > 0) {
        stoppingChanged_.wait_for(lock, settings_.reportDelay, [this] { return stopping_; });
    }
    return !stopping_;
}

}  // namespace plovendale::attribution_service
