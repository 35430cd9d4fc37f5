// Starts 1,000 requests at once through STHTTPRequest::startAsynchronous against a local server and
// reports the wall time until every outcome has been delivered on the main queue, the peak number
// of threads of this process and its peak resident set. The server runs in a child process so that
// neither its threads nor its memory count. Run it under /usr/bin/time -v for an outside view.
//
//   http_concurrency_bench [requests=1000]

#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_process.h"
#include "plovendale/http/st_http_request.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "transport/url_session.h"

namespace {

using plovendale::bench::peakRSSKiB;
using plovendale::bench::threadsNow;

// Serves GET /item with a small JSON body until killed; writes its port to the pipe.
[[noreturn]] void serve(int portPipe) {
    httplib::Server server;
    int listenFd = -1;
    server.set_socket_options([&listenFd](int fd) {
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenFd = fd;
    });
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    // One request per connection: an idle keep-alive connection would hold a server thread.
    server.set_keep_alive_max_count(1);
    server.Get("/item", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{\"paramsData\":\"x\",\"channel\":\"bench\"}", "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    // The library's own backlog is tiny; 1,000 simultaneous connections need a deep one.
    if (listenFd >= 0) ::listen(listenFd, 4096);
    (void)!::write(portPipe, &port, sizeof port);
    ::close(portPipe);
    server.listen_after_bind();
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace plovendale;
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;

    const auto [child, port] = plovendale::bench::forkServer(serve);
    if (child < 0) return 1;

    PlatformConfiguration configuration;
    configuration.keyValueStore = makeInMemoryKeyValueStore();
    configuration.dataDirectory = "/tmp";
    Platform::configure(configuration);

    const int threadsBefore = threadsNow();
    int peakThreads = threadsBefore;
    int succeeded = 0;
    int failed = 0;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/item";

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        auto request = STHTTPRequest::requestWithURLString(url);
        request->setCompletionDataBlock(
            [&succeeded](const STHTTPHeaders&, const Bytes&) { ++succeeded; });
        request->setErrorBlock([&failed](const Error& error) {
            if (failed++ == 0)
                std::fprintf(stderr, "first error: %s\n", error.localizedDescription().c_str());
        });
        request->startAsynchronous();  // nobody keeps the request: its session does
    }
    const auto started = std::chrono::steady_clock::now();
    const bool finished = MainQueue::shared().runUntil(
        [&] {
            peakThreads = std::max(peakThreads, threadsNow());
            return succeeded + failed == count;
        },
        std::chrono::minutes(3));
    const auto done = std::chrono::steady_clock::now();
    // Sessions are let go on the service's threads, which post nothing to the main queue: poll.
    const auto deadline = done + std::chrono::seconds(30);
    while (URLSession::liveSessionCount() > 0 && std::chrono::steady_clock::now() < deadline) {
        MainQueue::shared().runUntil([] { return false; }, std::chrono::milliseconds(10));
    }
    const auto released = std::chrono::steady_clock::now();

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    using ms = std::chrono::duration<double, std::milli>;
    std::printf("requests: %d, succeeded: %d, failed: %d, all delivered: %s\n", count, succeeded,
                failed, finished ? "yes" : "no");
    std::printf("start loop: %.1f ms, wall time to last outcome: %.1f ms\n",
                ms(started - start).count(), ms(done - start).count());
    std::printf("all sessions released after: %.1f ms\n", ms(released - start).count());
    std::printf("threads before: %d, peak threads: %d, live sessions at exit: %zu\n", threadsBefore,
                peakThreads, URLSession::liveSessionCount());
    std::printf("peak RSS (self): %ld KiB\n", peakRSSKiB());
    return finished && failed == 0 ? 0 : 2;
}
