#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "access.h"
#include "client_address.h"
#include "common/wake_up_link.h"
#include "http_server.h"
#include "store.h"

namespace plovendale::attribution_service {

struct ServiceSettings {
    bool logRequests = true;
    std::chrono::milliseconds reportDelay{0};
    int stateStatus = 200;
    int unmatchedStatus = 200;  ///< the "status" for installs no link accounts for; 200: organic
    std::optional<links::LinkSigner> linkSigner;
    std::chrono::seconds linkLifetime{0};  ///< the links it makes expire this long after; 0: never
    std::size_t memoryBudget = kDefaultMemoryBudget;  ///< what all connections may buffer at once
    std::string adminToken;  ///< what the operator's requests carry as "Authorization: Bearer"
    /// The Host names answered; empty: the listening address, localhost and 127.0.0.1.
    std::vector<std::string> allowedHosts;
    std::string publicUrl;                ///< base of landing URLs; "": http://HOST:PORT as bound
    std::vector<Network> trustedProxies;  ///< peers whose X-Forwarded-For is believed
    std::chrono::seconds matchWindow{0};  ///< fingerprint matching looks this far back; 0: off
    std::chrono::seconds clickRetention{604800};  ///< clicks older than this are deleted
};

/// Bodies above this size are refused with 413 before they are read.
inline constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

/// Requests handled at once (one worker thread each); more wait for a free worker. Connections
/// between requests, and requests still arriving, hold no worker.
inline constexpr std::size_t kMaxRequestThreads = 512;

/// The HTTP front of the service: routes, JSON error bodies, the request log and orderly stop.
/// bind() and run() belong to one thread; stop() may be called from any thread at any time.
class Service {
  public:
    Service(Store& store, ServiceSettings settings);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    /// Binds host and port (0: any free port); the socket accepts connections from here on.
    /// Returns the bound port, or -1 with the reason in error.
    int bind(const std::string& host, int port, std::string& error);
    /// Serves until stop(). Returns false when serving failed for another reason.
    bool run();
    /// Ends run() and cuts short any held answer. Idempotent.
    void stop();

  private:
    void installRoutes();
    void installReporting();
    /// Whether the request may reach its route: its Host is ours and the caller may call it
    /// (access.h). False after answering 401, 403, 415 or 421.
    bool admits(const httplib::Request& req, httplib::Response& res) const;
    /// Holds an install-trace answer for the configured delay; false when the service is stopping.
    bool waitReportDelay();

    void handleReport(const httplib::Request& req, httplib::Response& res);
    void handleState(const httplib::Request& req, httplib::Response& res);
    void handleRegister(const httplib::Request& req, httplib::Response& res);
    void handleListLinks(const httplib::Request& req, httplib::Response& res);
    void handleListStates(const httplib::Request& req, httplib::Response& res);
    void handleListInstalls(const httplib::Request& req, httplib::Response& res);
    void handleEvents(const httplib::Request& req, httplib::Response& res);
    void handleListEvents(const httplib::Request& req, httplib::Response& res);
    void handleSummary(const httplib::Request& req, httplib::Response& res);
    void handleConsoleData(const httplib::Request& req, httplib::Response& res);
    void handleLanding(const httplib::Request& req, httplib::Response& res);
    void handleBeacon(const httplib::Request& req, httplib::Response& res);
    void handleListClicks(const httplib::Request& req, httplib::Response& res);
    /// Records the install request and fills `record` with what the client is answered: the
    /// credit it had before, or, for a query no trace identifier matched, the fingerprint match
    /// when it is on. False when it could not be recorded.
    bool recordInstall(const httplib::Request& req, const std::string& key,
                       const nlohmann::json& body, InstallRequest& record);
    std::string landingUrl(const std::string& key, const std::string& traceId) const;

    Store& store_;
    ServiceSettings settings_;
    HttpServer server_;
    std::optional<AllowedHosts> allowedHosts_;   // set by bind()
    socket_t listeningSocket_ = INVALID_SOCKET;  // the last socket httplib made to listen on

    std::mutex mutex_;
    std::condition_variable stoppingChanged_;
    bool stopping_ = false;
    bool running_ = false;  // inside run(), whether or not the accept loop has started yet
};

}  // namespace plovendale::attribution_service
