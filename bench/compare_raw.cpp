// The cost of a request through STHTTPRequest next to raw libcurl, measured in one run against the
// same local server: a 600-byte JSON POST answered with 193 bytes of JSON. Raw libcurl takes a
// fresh easy handle per request and shares the connection cache (as the library's one multi
// handle does), so both sides reuse connections. The server runs in a child process pinned to the
// last CPU, the client on the first, so neither's work counts as the other's.
//
// Printed, each with the ratio library/raw: p50 and p99 latency of sequential requests, client CPU
// per request, throughput with 200 requests in flight, and, when valgrind is installed, the
// instructions per request of every thread of the client (callgrind, the difference between two
// runs of different lengths, so start-up does not count).
//
//   compare_raw [requests=2000]
//   compare_raw --client raw|library PORT COUNT   (one side alone; used under callgrind)
//   compare_raw --concurrent raw|library PORT COUNT  (one side's 200-in-flight run alone, for a
//                                                    profiler; prints its requests per second)
//   compare_raw --serve                           (the server alone; prints its port)

#include <curl/curl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench_process.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kConcurrent = 200;

std::string requestBody() {
    std::string body = "{\"data\":\"";
    body.append(600 - body.size() - 2, 'x');
    return body + "\"}";
}

std::string answerBody() {
    std::string body = "{\"code\":200,\"msg\":\"success\",\"data\":\"";
    body.append(193 - body.size() - 2, 'y');
    return body + "\"}";
}

void pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

int lastCpu() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 1 ? static_cast<int>(cpus) - 1 : 0;
}

// Answers POST /trace until killed; writes its port to the pipe.
[[noreturn]] void serve(int portPipe) {
    pinTo(lastCpu());
    httplib::Server server;
    int listenFd = -1;
    server.set_socket_options([&listenFd](int fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Inherited by accepted connections: the server writes head and body separately, and
        // Nagle's algorithm would hold the body for the client's delayed acknowledgement.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        listenFd = fd;
    });
    // One thread per open connection; connections stay open for the whole run.
    server.new_task_queue = [] { return new httplib::ThreadPool(kConcurrent + 16); };
    server.set_keep_alive_max_count(1 << 30);
    server.set_keep_alive_timeout(60);
    const std::string answer = answerBody();
    server.Post("/trace", [&answer](const httplib::Request&, httplib::Response& response) {
        response.set_content(answer, "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    if (listenFd >= 0) ::listen(listenFd, kConcurrent * 4);  // the default backlog is tiny
    (void)!::write(portPipe, &port, sizeof port);
    ::close(portPipe);
    server.listen_after_bind();
    std::_Exit(0);
}

// ---- raw libcurl ----

struct RawClient {
    CURLSH* share = curl_share_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    std::string url;
    std::string body = requestBody();

    explicit RawClient(int port) : url("http://127.0.0.1:" + std::to_string(port) + "/trace") {
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    ~RawClient() {
        curl_slist_free_all(headers);
        curl_share_cleanup(share);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* sink) {
        static_cast<std::string*>(sink)->append(data, size * count);
        return size * count;
    }

    // Sequential requests share the connection cache through `share`; concurrent ones run on one
    // multi handle, whose own cache serves them.
    CURL* make(std::string* sink, bool shared = true) const {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        if (shared) curl_easy_setopt(easy, CURLOPT_SHARE, share);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &RawClient::collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, sink);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
        return easy;
    }

    bool one() const {
        std::string answer;
        CURL* easy = make(&answer);
        const CURLcode code = curl_easy_perform(easy);
        const bool ok = code == CURLE_OK && answer.size() == 193;
        if (!ok)
            std::fprintf(stderr, "raw: %s, %zu bytes\n", curl_easy_strerror(code), answer.size());
        curl_easy_cleanup(easy);
        return ok;
    }

    // `total` requests, `inFlight` at a time, on one multi handle.
    int concurrent(int total, int inFlight) const {
        CURLM* multi = curl_multi_init();
        // The library opens at most 6 connections per origin and queues the rest; so does this.
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
        std::deque<std::string> sinks;
        int started = 0;
        int finished = 0;
        int succeeded = 0;
        int running = 0;
        auto add = [&] {
            sinks.emplace_back();
            curl_multi_add_handle(multi, make(&sinks.back(), false));
            ++started;
        };
        while (started < std::min(total, inFlight)) add();
        const auto deadline = Clock::now() + std::chrono::minutes(2);
        while (finished < total && Clock::now() < deadline) {
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                ++finished;
                if (message->data.result == CURLE_OK) ++succeeded;
                curl_multi_remove_handle(multi, message->easy_handle);
                curl_easy_cleanup(message->easy_handle);
                if (started < total) add();
            }
            if (finished < total) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
        curl_multi_cleanup(multi);
        return succeeded;
    }
};

// ---- the library ----

struct LibraryClient {
    std::string url;
    plovendale::Bytes body;

    explicit LibraryClient(int port) : url("http://127.0.0.1:" + std::to_string(port) + "/trace") {
        const std::string text = requestBody();
        body.assign(text.begin(), text.end());
        plovendale::PlatformConfiguration configuration;
        configuration.keyValueStore = plovendale::makeInMemoryKeyValueStore();
        configuration.dataDirectory = "/tmp";
        plovendale::Platform::configure(configuration);
    }

    void start(const std::function<void(bool)>& done) const {
        using namespace plovendale;
        auto request = STHTTPRequest::requestWithURLString(url);
        request->setHTTPMethod("POST");
        request->setRawPOSTData(body);
        request->setHeaderWithName("Content-Type", "application/json");
        request->setTimeoutSeconds(10);
        request->setCompletionDataBlock(
            [done](const STHTTPHeaders&, const Bytes& answer) { done(answer.size() == 193); });
        request->setErrorBlock([done](const Error&) { done(false); });
        request->startAsynchronous();
    }

    bool one() const {
        std::optional<bool> outcome;
        start([&outcome](bool ok) { outcome = ok; });
        plovendale::MainQueue::shared().runUntil([&] { return outcome.has_value(); },
                                                 std::chrono::seconds(10));
        return outcome.value_or(false);
    }

    int concurrent(int total, int inFlight) const {
        int started = 0;
        int finished = 0;
        int succeeded = 0;
        std::function<void(bool)> done = [&](bool ok) {
            ++finished;
            if (ok) ++succeeded;
            if (started < total) {
                ++started;
                start(done);
            }
        };
        while (started < std::min(total, inFlight)) {
            ++started;
            start(done);
        }
        plovendale::MainQueue::shared().runUntil([&] { return finished == total; },
                                                 std::chrono::minutes(2));
        return succeeded;
    }
};

// ---- measuring ----

struct Figures {
    double p50Us = 0;
    double p99Us = 0;
    double cpuUsPerRequest = 0;
    double requestsPerSecond = 0;
    double instructionsPerRequest = 0;  // 0: not measured
    int failures = 0;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <typename Client>
Figures measure(const Client& client, int count) {
    Figures figures;
    for (int i = 0; i < 50; ++i) client.one();  // warm the connection cache
    std::vector<double> latencies;
    latencies.reserve(count);
    const double cpuBefore = cpuSeconds();
    for (int i = 0; i < count; ++i) {
        const auto started = Clock::now();
        if (!client.one()) ++figures.failures;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    }
    figures.cpuUsPerRequest = (cpuSeconds() - cpuBefore) * 1e6 / count;
    std::sort(latencies.begin(), latencies.end());
    figures.p50Us = latencies[latencies.size() / 2];
    figures.p99Us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];

    const auto started = Clock::now();
    const int succeeded = client.concurrent(count, kConcurrent);
    figures.failures += count - succeeded;
    figures.requestsPerSecond =
        count / std::chrono::duration<double>(Clock::now() - started).count();
    return figures;
}

// Instructions of every thread of a client that makes `count` requests, from callgrind's summary.
std::optional<double> instructions(const char* self, const char* side, int port, int count) {
    return plovendale::bench::callgrindInstructions(std::string(self) + " --client " + side + " " +
                                                    std::to_string(port) + " " +
                                                    std::to_string(count));
}

std::optional<double> instructionsPerRequest(const char* self, const char* side, int port) {
    constexpr int kShort = 20;
    constexpr int kLong = 220;
    const auto shortRun = instructions(self, side, port, kShort);
    const auto longRun = instructions(self, side, port, kLong);
    if (!shortRun || !longRun) return std::nullopt;
    return (*longRun - *shortRun) / (kLong - kShort);
}

int runClient(const std::string& side, int port, int count) {
    int failures = 0;
    if (side == "raw") {
        RawClient client(port);
        for (int i = 0; i < count; ++i) failures += client.one() ? 0 : 1;
    } else {
        LibraryClient client(port);
        for (int i = 0; i < count; ++i) failures += client.one() ? 0 : 1;
    }
    return failures == 0 ? 0 : 2;
}

template <typename Client>
int runConcurrent(const Client& client, int count) {
    for (int i = 0; i < 50; ++i) client.one();  // warm the connection cache
    const auto started = Clock::now();
    const int succeeded = client.concurrent(count, kConcurrent);
    std::printf("%.1f req/s\n",
                count / std::chrono::duration<double>(Clock::now() - started).count());
    return succeeded == count ? 0 : 2;
}

void printRow(const char* name, double raw, double library, const char* unit) {
    std::printf("%-34s %12.1f %12.1f %8.2fx  %s\n", name, raw, library,
                raw > 0 ? library / raw : 0.0, unit);
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (argc == 5 && std::string(argv[1]) == "--client") {
        pinTo(0);
        return runClient(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc == 5 && std::string(argv[1]) == "--concurrent") {
        pinTo(0);
        const int port = std::atoi(argv[3]);
        const int count = std::atoi(argv[4]);
        if (std::string(argv[2]) == "raw") return runConcurrent(RawClient(port), count);
        return runConcurrent(LibraryClient(port), count);
    }
    if (argc == 2 && std::string(argv[1]) == "--serve") {
        const auto [server, port] = plovendale::bench::forkServer(serve);
        if (server < 0) return 1;
        std::printf("%d\n", port);
        std::fflush(stdout);
        ::waitpid(server, nullptr, 0);
        return 0;
    }
    const int count = std::max(200, argc > 1 ? std::atoi(argv[1]) : 2000);

    const auto [server, port] = plovendale::bench::forkServer(serve);
    if (server < 0) return 1;
    pinTo(0);

    Figures raw;
    Figures library;
    {
        RawClient client(port);
        raw = measure(client, count);
    }
    {
        LibraryClient client(port);
        library = measure(client, count);
    }
    const bool haveValgrind = std::system("valgrind --version >/dev/null 2>&1") == 0;
    if (haveValgrind) {
        raw.instructionsPerRequest = instructionsPerRequest(argv[0], "raw", port).value_or(0);
        library.instructionsPerRequest =
            instructionsPerRequest(argv[0], "library", port).value_or(0);
    }
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);

    std::printf("%d requests per figure; 600-byte JSON POST, 193-byte answer; client on CPU 0\n",
                count);
    std::printf("%-34s %12s %12s %9s\n", "figure", "raw libcurl", "library", "ratio");
    printRow("p50 latency", raw.p50Us, library.p50Us, "us");
    printRow("p99 latency", raw.p99Us, library.p99Us, "us");
    printRow("client CPU per request", raw.cpuUsPerRequest, library.cpuUsPerRequest, "us");
    printRow("throughput, 200 in flight", raw.requestsPerSecond, library.requestsPerSecond,
             "req/s");
    if (haveValgrind) {
        printRow("instructions per request", raw.instructionsPerRequest,
                 library.instructionsPerRequest, "all threads");
    } else {
        std::printf("instructions per request: valgrind is not installed\n");
    }
    std::printf("failed requests: raw %d, library %d\n", raw.failures, library.failures);
    curl_global_cleanup();
    return raw.failures == 0 && library.failures == 0 ? 0 : 2;
}
