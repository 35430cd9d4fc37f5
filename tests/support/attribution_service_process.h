#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_environment.h"

namespace plovendale::test {

/// The outcome of a command run to completion.
struct AttributionCommandResult {
    int exitCode = -1;  // 128 + signal number when a signal ended it
    std::string out;
    std::string err;
};

/// Runs argv (argv[0] is a path) and waits for it at most a minute; one that does not finish
/// by then is killed and fails the test (its exit code is then -1).
AttributionCommandResult runAttributionCommand(const std::vector<std::string>& argv);

/// The reference attribution service running as a child process on 127.0.0.1 with a port of the
/// system's choosing. Not thread-safe; use from the test's thread.
class AttributionServiceProcess {
  public:
    struct Options {
        std::string binary;    // path of the attribution-service executable
        std::string database;  // "" for a fresh database in the process's own directory
        std::vector<std::string> extraArgs;
    };

    /// Starts the service and waits until it listens. Nothing (with the reason in error) when it
    /// fails to start or does not listen within 15 seconds.
    static std::unique_ptr<AttributionServiceProcess> start(const Options& options,
                                                            std::string* error = nullptr);
    /// Kills the service if it still runs.
    ~AttributionServiceProcess();

    int port() const { return port_; }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
    /// The value of the Authorization header the operator's endpoints need.
    static std::string operatorAuthorization() { return "Bearer " + std::string(kOperatorToken); }

    /// Sends sig and waits at most timeout for the exit: the exit code (128 + signal number when a
    /// signal ended it), or nothing on timeout.
    std::optional<int> stop(int sig = SIGTERM,
                            std::chrono::milliseconds timeout = std::chrono::seconds(15));

    std::string stderrText() const;

    /// Registers a link through the HTTP interface; the member of the answer named `member` (the
    /// trace identifier, or "link" for the wake-up link), or "" on failure.
    std::string registerLink(const std::string& appKey, const std::string& params,
                             const std::string& channel, const char* member = "trace_id") const;
    /// The state reports the service recorded for `appKey` (a JSON array), oldest first.
    std::string stateReports(const std::string& appKey) const;

  private:
    static constexpr const char* kOperatorToken = "test-operator-token-0123456789abcdef";
    AttributionServiceProcess() = default;

    TempDir dir_;
    std::string database_;
    std::string portFile_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::optional<int> exitCode_;
};

}  // namespace plovendale::test
