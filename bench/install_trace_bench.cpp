// End-to-end timing of the install-trace query against the local reference service:
// for each of N queries, the time the host's thread spends inside getInstallTraceWithTimeout and
// the time until the outcome (and the state report) has arrived on the main queue; then start-up
// in launches of their own: the host thread's time and the work of all threads; and in first
// launches, the time the query's work takes on the host's main queue. When valgrind is
// installed, also the instructions (callgrind, every thread) of one query with its state report
// next to raw libcurl sending the same two requests on a shared connection cache. Between queries
// the bench resets the stored answer, a store write of its own that raw libcurl has no part in:
// it is measured alone and shown, not counted in the query's figure.
//
//   install_trace_bench [RUNS]        (expects attribution-service beside this binary)
//   install_trace_bench --client library|raw|reset PORT WORK COUNT   (one side alone; callgrind)
#include <curl/curl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "transport/url_session.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kBenchKey = "benchAppKey1";

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

// Child mode: the host's main queue over a first launch on `dataDirectory`, its query answered by
// the service on `port`, until the outcome has arrived and the state report is delivered. Every
// task the library posts runs here, timed; prints microseconds: the time inside those tasks, and
// the longest one (what a main thread's watchdog sees).
int timeFirstQueryMainQueue(const std::string& dataDirectory, const std::string& port) {
    using namespace plovendale;
    PlatformConfiguration config;
    config.dataDirectory = dataDirectory;
    config.logSink = [](std::string_view) {};
    Platform::configure(config);
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<MainQueue::Task> tasks;
    MainQueue::shared().setPoster([&](MainQueue::Task task) {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
        posted.notify_one();
    });
    Plovendale::initWithDelegate(nullptr, kBenchKey);
    Plovendale::setServerDomain("http://127.0.0.1:" + port);
    bool arrived = false;
    Plovendale::getInstallTrace([&](const std::optional<AppData>&) { arrived = true; },
                                [&](std::int64_t, const std::optional<std::string>&) {});
    using Micros = std::chrono::duration<double, std::micro>;
    double inTasks = 0;
    double longest = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (
        !(arrived && URLSession::liveSessionCount() == 0 && !Plovendale::isDeliveringReports()) &&
        Clock::now() < deadline) {
        std::unique_lock lock(mutex);
        if (!posted.wait_for(lock, std::chrono::milliseconds(20), [&] { return !tasks.empty(); }))
            continue;
        MainQueue::Task task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        const auto start = Clock::now();
        task();
        const double took = Micros(Clock::now() - start).count();
        inTasks += took;
        longest = std::max(longest, took);
    }
    MainQueue::shared().setPoster(nullptr);
    for (auto& task : tasks) task();
    if (!arrived) return 1;
    std::printf("%.1f %.1f\n", inTasks, longest);
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

// ---- instructions per query, next to raw libcurl ----

// The wire requests of one query, each as its URL line and its JSON body line, in the order sent.
constexpr const char* kRequestsFile = "/requests";

// Runs one query (with its state report) to its end: the outcome and every session gone.
bool oneQuery() {
    using namespace plovendale;
    CoreHelper::saveTraceId("");  // unattributed again: every query goes to the service
    bool arrived = false;
    bool failed = false;
    Plovendale::getInstallTraceWithTimeout(
        REQUEST_TIMEOUT, [&](const std::optional<AppData>&) { arrived = true; },
        [&](std::int64_t, const std::optional<std::string>&) { arrived = failed = true; });
    MainQueue::shared().runUntil([&] { return arrived; }, std::chrono::seconds(15));
    MainQueue::shared().runUntil([] { return URLSession::liveSessionCount() == 0; },
                                 std::chrono::seconds(15));
    return arrived && !failed;
}

// The URL and body of each request the library logs as a curl command line.
std::string requestsFromCurlLines(const std::string& log) {
    std::istringstream lines(log);
    std::string line;
    std::string body;
    std::string out;
    while (std::getline(lines, line)) {
        if (line.rfind("-d '", 0) == 0) body = line.substr(4, line.rfind('\'') - 4);
        if (line.rfind("\"http", 0) == 0 && !body.empty()) {
            out += line.substr(1, line.find('"', 1) - 1) + "\n" + body + "\n";
            body.clear();
        }
    }
    return out;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// Raw libcurl: each request on a fresh easy handle sharing one connection cache.
int rawClient(const std::string& work, int count) {
    std::istringstream file(readAll(work + kRequestsFile));
    std::vector<std::pair<std::string, std::string>> requests;
    for (std::string url, body; std::getline(file, url) && std::getline(file, body);)
        requests.emplace_back(url, body);
    if (requests.empty()) return 1;
    CURLSH* share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        for (const auto& [url, body] : requests) {
            CURL* easy = curl_easy_init();
            curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
            curl_easy_setopt(easy, CURLOPT_SHARE, share);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
            long status = 0;
            if (curl_easy_perform(easy) != CURLE_OK ||
                curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
                status >= 400) {
                ++failures;
            }
            curl_easy_cleanup(easy);
        }
    }
    curl_slist_free_all(headers);
    curl_share_cleanup(share);
    return failures == 0 ? 0 : 2;
}

// The library: `count` queries on an installation of its own in `work`; with `resetsOnly`, only
// writes like the resets that come before them, each of which changes the stored value (SQLite
// writes nothing for a row that is stored again as it is).
int libraryClient(const std::string& port, const std::string& work, int count, bool resetsOnly) {
    using namespace plovendale;
    PlatformConfiguration config;
    config.dataDirectory = work + "/callgrind-app";
    config.logSink = [](std::string_view) {};
    Platform::configure(config);
    Plovendale::initWithDelegate(nullptr, kBenchKey);
    Plovendale::setServerDomain("http://127.0.0.1:" + port);
    const std::string traceId = readAll(work + "/trace_id");
    Platform::keyValueStore()->setString(traceId, CoreHelper::kPasteKey);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (resetsOnly) {
            failures += CoreHelper::saveTraceId(i % 2 ? "" : traceId) ? 0 : 1;
        } else {
            failures += oneQuery() ? 0 : 1;
        }
    }
    return failures == 0 ? 0 : 2;
}

// Instructions of every thread of one side's run of `count`, from callgrind's summary.
std::optional<double> instructions(const std::string& side, const std::string& port,
                                   const std::string& work, int count) {
    return plovendale::bench::callgrindInstructions(
        std::filesystem::canonical("/proc/self/exe").string() + " --client " + side + " " + port +
        " " + work + " " + std::to_string(count));
}

// Per query: the difference between a short and a long run, so start-up does not count.
double instructionsPerQuery(const std::string& side, const std::string& port,
                            const std::string& work) {
    constexpr int kShort = 5;
    constexpr int kLong = 45;
    const auto shortRun = instructions(side, port, work, kShort);
    const auto longRun = instructions(side, port, work, kLong);
    if (!shortRun || !longRun) return 0;
    return (*longRun - *shortRun) / (kLong - kShort);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace plovendale;
    if (argc == 4 && std::string(argv[1]) == "--start-up") return timeOneStartUp(argv[2], argv[3]);
    if (argc == 4 && std::string(argv[1]) == "--bare-sqlite") return timeBareSQLite(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "--first-query")
        return timeFirstQueryMainQueue(argv[2], argv[3]);
    if (argc == 6 && std::string(argv[1]) == "--client") {
        const int count = std::atoi(argv[5]);
        const std::string side = argv[2];
        return side == "raw" ? rawClient(argv[4], count)
                             : libraryClient(argv[3], argv[4], count, side == "reset");
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const auto binDir = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string service = (binDir / "attribution-service").string();
    std::string work =
        (std::filesystem::temp_directory_path() / "plovendale-bench-XXXXXX").string();
    if (!mkdtemp(work.data())) return 1;
    const std::string key = kBenchKey;

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

    // One more query with its requests logged as curl command lines: raw libcurl replays them.
    double libraryInstructions = 0;
    double resetInstructions = 0;
    double rawInstructions = 0;
    if (std::system("valgrind --version >/dev/null 2>&1") == 0) {
        std::string log;
        Log::setSink([&log](std::string_view line) { log.append(line).append("\n"); });
        Platform::keyValueStore()->setBool(true, "STHTTPRequestShowCurlDescription");
        oneQuery();
        Platform::keyValueStore()->setBool(false, "STHTTPRequestShowCurlDescription");
        Log::setSink([](std::string_view) {});
        std::ofstream(work + kRequestsFile) << requestsFromCurlLines(log);
        std::ofstream(work + "/trace_id") << traceId;
        const std::string portText = std::to_string(std::stoi(port));
        resetInstructions = instructionsPerQuery("reset", portText, work);
        libraryInstructions = instructionsPerQuery("library", portText, work) - resetInstructions;
        rawInstructions = instructionsPerQuery("raw", portText, work);
    }
    // The child takes the service's port where the other modes take the key.
    const auto firstQuery =
        startUpMedians(work, std::to_string(std::stoi(port)), 15, true, "--first-query");
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
        "first launch's query on the host's main queue (medians): time inside the library's "
        "tasks %.1f us, the longest task %.1f us\n",
        firstQuery[0], firstQuery[1]);
    std::printf(
        "the floor, bare SQLite opening and reading the same store in a new process: median %.1f "
        "us (start-up on an existing store / floor: %.2fx)\n",
        bareSQLite, bareSQLite > 0 ? existing[0] / bareSQLite : 0.0);
    if (rawInstructions > 0) {
        std::printf(
            "instructions (all threads): query with its state report %.0f, raw libcurl's two "
            "requests %.0f: %.2fx (the bench's reset between queries, not counted: %.0f; "
            "%.2fx with it)\n",
            libraryInstructions, rawInstructions, libraryInstructions / rawInstructions,
            resetInstructions, (libraryInstructions + resetInstructions) / rawInstructions);
    }
    return failures == 0 ? 0 : 1;
}
