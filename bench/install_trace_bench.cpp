// End-to-end timing of the install-trace query against the local reference service:
// for each of N queries, the time the host's thread spends inside getInstallTraceWithTimeout and
// the time until the outcome (and the state report) has arrived on the main queue.
//
//   install_trace_bench [RUNS]        (expects attribution-service beside this binary)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/platform/url_session.h"
#include "plovendale/sdk/core_helper.h"
#include "plovendale/sdk/plovendale.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace plovendale;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const auto binDir = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string service = (binDir / "attribution-service").string();
    std::string work = (std::filesystem::temp_directory_path() / "plovendale-bench-XXXXXX").string();
    if (!mkdtemp(work.data())) return 1;
    const std::string key = "benchAppKey1";

    const std::string registerCommand = service + " register --db " + work + "/service.db --app-key " + key +
                                        " --params bench --channel bench > " + work + "/trace_id";
    if (std::system(registerCommand.c_str()) != 0) return 1;
    std::string traceId = readAll(work + "/trace_id");
    traceId.erase(traceId.find_last_not_of("\r\n") + 1);

    std::vector<std::string> args = {service, "--port", "0", "--port-file", work + "/port", "--db",
                                      work + "/service.db", "--quiet"};
    std::vector<char*> argvService;
    for (auto& a : args) argvService.push_back(a.data());
    argvService.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, service.c_str(), nullptr, nullptr, argvService.data(), environ) != 0) return 1;
    std::string port;
    for (int i = 0; i < 200 && port.empty(); ++i) {
        port = readAll(work + "/port");
        if (port.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (port.empty()) return 1;

    PlatformConfiguration config;
    config.dataDirectory = work + "/app";
    config.logSink = [](std::string_view) {};
    Platform::configure(config);
    Plovendale::initWithDelegate(nullptr, key);
    Plovendale::setServerDomain("http://127.0.0.1:" + std::to_string(std::stoi(port)));
    Platform::keyValueStore()->setString(traceId, CoreHelper::kPasteKey);

    std::vector<double> insideCall;
    std::vector<double> endToEnd;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        CoreHelper::saveTraceId("");  // unattributed again: every query goes to the service
        bool arrived = false;
        const auto start = Clock::now();
        Plovendale::getInstallTraceWithTimeout(
            REQUEST_TIMEOUT, [&](const std::optional<AppData>&) { arrived = true; },
            [&](std::int64_t, const std::optional<std::string>&) {
                arrived = true;
                ++failures;
            });
        const auto returned = Clock::now();
        MainQueue::shared().runUntil([&] { return arrived; }, std::chrono::seconds(15));
        const auto answered = Clock::now();
        MainQueue::shared().runUntil([] { return URLSession::liveSessionCount() == 0; }, std::chrono::seconds(15));
        insideCall.push_back(std::chrono::duration<double, std::micro>(returned - start).count());
        endToEnd.push_back(std::chrono::duration<double, std::milli>(answered - start).count());
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(work);

    std::printf("install-trace queries: %d (failures: %d)\n", runs, failures);
    std::printf("end to end (call to outcome on the main queue): median %.2f ms, p90 %.2f ms, max %.2f ms\n",
                percentile(endToEnd, 0.5), percentile(endToEnd, 0.9), percentile(endToEnd, 1.0));
    std::printf("host thread inside getInstallTraceWithTimeout: median %.1f us, p90 %.1f us, max %.1f us\n",
                percentile(insideCall, 0.5), percentile(insideCall, 0.9), percentile(insideCall, 1.0));
    return failures == 0 ? 0 : 1;
}
