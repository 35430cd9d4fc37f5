// End-to-end timing of the install-trace query against the local reference service:
// for each of N queries, the time the host's thread spends inside getInstallTraceWithTimeout and
// the time until the outcome (and the state report) has arrived on the main queue; then start-up
// in launches of their own: the host thread's time and the work of all threads.
//
//   install_trace_bench [RUNS]        (expects attribution-service beside this binary)
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "transport/url_session.h"

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

double cpuMicros(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Child mode: one start-up on `dataDirectory` (each launch is a process of its own, as on a
// device), printing microseconds: the host's thread inside initWithDelegate (wall clock, then its
// CPU time, which other processes on the machine disturb less); inside the first call
// after it that needs a stored value (isFirstOpen), which waits for what start-up left to other
// threads; and the CPU time of every thread of the process over both (the total start-up work).
int timeOneStartUp(const std::string& dataDirectory, const std::string& key) {
    using namespace plovendale;
    PlatformConfiguration config;
    config.dataDirectory = dataDirectory;
    config.logSink = [](std::string_view) {};
    Platform::configure(config);
    const double cpuStart = cpuMicros(CLOCK_PROCESS_CPUTIME_ID);
    const double threadStart = cpuMicros(CLOCK_THREAD_CPUTIME_ID);
    const auto start = Clock::now();
    Plovendale::initWithDelegate(nullptr, key);
    const auto returned = Clock::now();
    const double threadCPU = cpuMicros(CLOCK_THREAD_CPUTIME_ID) - threadStart;
    Plovendale::isFirstOpen();
    const auto answered = Clock::now();
    const double cpu = cpuMicros(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    using Micros = std::chrono::duration<double, std::micro>;
    std::printf("%.1f %.1f %.1f %.1f\n", Micros(returned - start).count(), threadCPU,
                Micros(answered - returned).count(), cpu);
    return 0;
}

// Child mode: the floor under a start-up on an existing store. SQLite alone opens the same file
// as the store does and reads its table once, in a process of its own; no launch can cost less
// than the page faults and file work of that first use of SQLite.
int timeBareSQLite(const std::string& dataDirectory) {
    const auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2((dataDirectory + "/defaults.sqlite").c_str(), &db,
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT key, kind, value FROM kv;", -1, &statement, nullptr);
    int rows = 0;
    while (statement && sqlite3_step(statement) == SQLITE_ROW) ++rows;
    sqlite3_finalize(statement);
    const auto returned = Clock::now();
    sqlite3_close(db);
    if (rows == 0) return 1;
    std::printf("%.1f\n", std::chrono::duration<double, std::micro>(returned - start).count());
    return 0;
}

// Medians of the figures a child mode prints (microseconds), over `launches` runs, each in a new
// process; `fresh` gives each launch a new data directory (a first launch creates the store).
std::vector<double> startUpMedians(const std::string& work, const std::string& key, int launches,
                                   bool fresh, const char* mode = "--start-up") {
    std::vector<std::vector<double>> columns;
    for (int i = 0; i < launches; ++i) {
        const std::string dir = work + (fresh ? "/fresh" + std::to_string(i) : "/app");
        const std::string command = std::filesystem::canonical("/proc/self/exe").string() + " " +
                                    mode + " " + dir + " " + key + " > " + work + "/start-up";
        if (std::system(command.c_str()) != 0) continue;
        std::istringstream text(readAll(work + "/start-up"));
        double value = 0;
        for (std::size_t column = 0; text >> value; ++column) {
            if (columns.size() <= column) columns.emplace_back();
            columns[column].push_back(value);
        }
    }
    std::vector<double> medians;
    for (const auto& column : columns) medians.push_back(percentile(column, 0.5));
    medians.resize(4, 0.0);
    return medians;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace plovendale;
    if (argc == 4 && std::string(argv[1]) == "--start-up") return timeOneStartUp(argv[2], argv[3]);
    if (argc == 4 && std::string(argv[1]) == "--bare-sqlite") return timeBareSQLite(argv[2]);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const auto binDir = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string service = (binDir / "attribution-service").string();
    std::string work =
        (std::filesystem::temp_directory_path() / "plovendale-bench-XXXXXX").string();
    if (!mkdtemp(work.data())) return 1;
    const std::string key = "benchAppKey1";

    const std::string registerCommand = service + " register --db " + work +
                                        "/service.db --app-key " + key +
                                        " --params bench --channel bench > " + work + "/trace_id";
    if (std::system(registerCommand.c_str()) != 0) return 1;
    std::string traceId = readAll(work + "/trace_id");
    traceId.erase(traceId.find_last_not_of("\r\n") + 1);

    std::vector<std::string> args = {
        service,  "--port", "0", "--port-file", work + "/port", "--db", work + "/service.db",
        "--quiet"};
    std::vector<char*> argvService;
    for (auto& a : args) argvService.push_back(a.data());
    argvService.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, service.c_str(), nullptr, nullptr, argvService.data(), environ) != 0)
        return 1;
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
        MainQueue::shared().runUntil([] { return URLSession::liveSessionCount() == 0; },
                                     std::chrono::seconds(15));
        insideCall.push_back(std::chrono::duration<double, std::micro>(returned - start).count());
        endToEnd.push_back(std::chrono::duration<double, std::milli>(answered - start).count());
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    const auto existing = startUpMedians(work, key, 30, false);
    const auto first = startUpMedians(work, key, 15, true);
    const double bareSQLite = startUpMedians(work, key, 30, false, "--bare-sqlite")[0];
    std::filesystem::remove_all(work);

    std::printf("install-trace queries: %d (failures: %d)\n", runs, failures);
    std::printf(
        "end to end (call to outcome on the main queue): median %.2f ms, p90 %.2f ms, max %.2f "
        "ms\n",
        percentile(endToEnd, 0.5), percentile(endToEnd, 0.9), percentile(endToEnd, 1.0));
    std::printf(
        "host thread inside getInstallTraceWithTimeout: median %.1f us, p90 %.1f us, max %.1f us\n",
        percentile(insideCall, 0.5), percentile(insideCall, 0.9), percentile(insideCall, 1.0));
    for (const auto& [name, row] :
         {std::pair{"existing store", existing}, {"first launch", first}}) {
        std::printf(
            "start-up, %s (medians): host thread inside initWithDelegate %.1f us (its CPU "
            "%.1f us); first call after it (isFirstOpen) %.1f us; CPU of all threads over both "
            "%.1f us\n",
            name, row[0], row[1], row[2], row[3]);
    }
    std::printf(
        "the floor, bare SQLite opening and reading the same store in a new process: median %.1f "
        "us (start-up on an existing store / floor: %.2fx)\n",
        bareSQLite, bareSQLite > 0 ? existing[0] / bareSQLite : 0.0);
    return failures == 0 ? 0 : 1;
}
