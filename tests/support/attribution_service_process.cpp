#include "support/attribution_service_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/test_environment.h"

namespace plovendale::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

/// Forks and execs argv with stdout and stderr sent to files; the child dies with the test.
pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath,
            const std::string& errPath) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: only async-signal-safe calls from here to exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(args[0], args.data());
    _exit(127);
}

/// Waits at most timeout for pid to end; its decoded exit status, or nothing.
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return decodeStatus(status);
        if (done < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(kPollInterval);
    }
}

// The service writes its port and a newline once it listens.
std::optional<int> readPort(const std::string& path) {
    const std::string text = readFile(path);
    const int port = text.ends_with('\n') ? std::atoi(text.c_str()) : 0;
    return port > 0 && port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

}  // namespace

AttributionCommandResult runAttributionCommand(const std::vector<std::string>& argv) {
    TempDir dir;
    const pid_t pid = spawn(argv, dir.file("out"), dir.file("err"));
    const auto code = pid < 0 ? std::optional<int>(-1) : waitForExit(pid, std::chrono::minutes(1));
    if (!code) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(code) << argv[0] << " did not finish";
    return {code.value_or(-1), readFile(dir.file("out")), readFile(dir.file("err"))};
}

std::unique_ptr<AttributionServiceProcess> AttributionServiceProcess::start(const Options& options,
                                                                            std::string* error) {
    auto fail = [error](std::string why) {
        if (error) *error = std::move(why);
        return nullptr;
    };
    std::unique_ptr<AttributionServiceProcess> service(new AttributionServiceProcess());
    service->database_ =
        options.database.empty() ? service->dir_.file("service.db") : options.database;
    service->portFile_ = service->dir_.file("port");
    const std::string tokenFile = service->dir_.file("operator-token");
    std::ofstream(tokenFile) << kOperatorToken << '\n';
    std::vector<std::string> argv = {
        options.binary, "--host",           "127.0.0.1",   "--port",           "0",
        "--db",         service->database_, "--port-file", service->portFile_, "--admin-token-file",
        tokenFile};
    argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
    service->pid_ = spawn(argv, service->dir_.file("stdout"), service->dir_.file("stderr"));
    if (service->pid_ < 0) return fail("fork failed");

    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (;;) {
        if (const auto port = readPort(service->portFile_)) {
            service->port_ = *port;
            return service;
        }
        service->exitCode_ = waitForExit(service->pid_, std::chrono::milliseconds(0));
        if (service->exitCode_) {
            return fail("the service exited with " + std::to_string(*service->exitCode_) + ": " +
                        service->stderrText());
        }
        if (Clock::now() >= deadline) return fail("the service did not start listening in time");
        std::this_thread::sleep_for(kPollInterval);
    }
}

AttributionServiceProcess::~AttributionServiceProcess() {
    if (pid_ > 0 && !exitCode_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> AttributionServiceProcess::stop(int sig, std::chrono::milliseconds timeout) {
    if (!exitCode_) {
        kill(pid_, sig);
        exitCode_ = waitForExit(pid_, timeout);
    }
    return exitCode_;
}

std::string AttributionServiceProcess::stderrText() const {
    return readFile(dir_.file("stderr"));
}

std::string AttributionServiceProcess::registerLink(const std::string& appKey,
                                                    const std::string& params,
                                                    const std::string& channel,
                                                    const char* member) const {
    httplib::Client client("127.0.0.1", port_);
    const nlohmann::json body = {{"params", params}, {"channel", channel}};
    auto res =
        client.Post(("/api/links/" + appKey).c_str(), {{"Authorization", operatorAuthorization()}},
                    body.dump(), "application/json");
    const auto answer =
        nlohmann::json::parse(res && res->status == 200 ? res->body : "", nullptr, false);
    return answer.is_object() ? answer.value(member, "") : "";
}

std::string AttributionServiceProcess::stateReports(const std::string& appKey) const {
    httplib::Client client("127.0.0.1", port_);
    auto res =
        client.Get(("/api/state/" + appKey).c_str(), {{"Authorization", operatorAuthorization()}});
    return res && res->status == 200 ? res->body : "";
}

}  // namespace plovendale::test
