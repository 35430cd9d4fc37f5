#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace plovendale::attribution_service {

struct Link {
    std::string traceId;
    std::string params;
    std::string channel;
    std::string createdAt;
};

struct StateReport {
    std::string ci;
    std::string t;
    std::string ms;
    std::string cd;
    std::string msg;
    std::string receivedAt;
};

struct InstallRequest {
    std::string paramsJson;  // the request body as received, written compactly
    std::string traceId;     // the link it was matched to, "" when none
    int answeredStatus = 0;  // the "status" member of the answer
    std::string receivedAt;
};

enum class RegisterOutcome { Registered, TraceIdTaken, Failed };

/// The service's SQLite database: links per app key, received state reports and install requests.
/// Every write is durable when the call returns (WAL, synchronous FULL). All members may be called
/// from any thread; one connection is shared under a mutex.
class Store {
  public:
    /// Opens (creating if needed) the database at path; ":memory:" gives a throw-away database.
    /// On failure returns nothing and puts the reason in error.
    static std::unique_ptr<Store> open(const std::string& path, std::string& error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// Registers a link under traceId (which the caller has validated).
    RegisterOutcome addLink(const std::string& appKey, const std::string& traceId,
                            const std::string& params, const std::string& channel);
    std::optional<Link> findLink(const std::string& appKey, const std::string& traceId);
    std::vector<Link> links(const std::string& appKey);

    bool addStateReport(const std::string& appKey, const StateReport& report);
    std::vector<StateReport> stateReports(const std::string& appKey);

    bool addInstallRequest(const std::string& appKey, const InstallRequest& request);
    std::vector<InstallRequest> installRequests(const std::string& appKey);

    /// The last SQLite error text, for the log.
    std::string lastError();

  private:
    explicit Store(sqlite3* db) : db_(db) {}
    sqlite3* db_;
    std::mutex mutex_;
    std::string lastError_;
};

/// Registers a link with a fresh random trace identifier (retrying on the rare collision).
/// Returns the trace identifier, or nothing when the database refused the write.
std::optional<std::string> registerNewLink(Store& store, const std::string& appKey,
                                           const std::string& params, const std::string& channel);

}  // namespace plovendale::attribution_service
