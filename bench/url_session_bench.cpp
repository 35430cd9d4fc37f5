// 1,000 concurrent data tasks (10 sessions of 100) through the URL session service against a local
// server, until every session has delivered its invalidation. Reports wall time per round and, as
// counters, the peak thread count and peak resident set of this process. The server runs in a
// child process so that neither its threads nor its memory count.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

#include "bench_process.h"
#include "transport/url_session.h"

namespace {

using namespace plovendale;

using plovendale::bench::peakRSSKiB;
using plovendale::bench::threadsNow;

int serverPort = -1;
pid_t serverPid = -1;

void startServer() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) std::abort();
    serverPid = fork();
    if (serverPid == 0) {
        httplib::Server server;
        server.set_tcp_nodelay(true);  // no Nagle stalls between header and body writes
        server.Get("/item", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(R"({"id":1,"name":"item","tags":["a","b","c"]})",
                                 "application/json");
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        (void)!write(pipeFds[1], &port, sizeof port);
        server.listen_after_bind();
        _exit(0);
    }
    if (read(pipeFds[0], &serverPort, sizeof serverPort) != sizeof serverPort) std::abort();
}

class CountingDelegate : public URLSessionDelegate {
  public:
    CountingDelegate(std::atomic<int>& remaining, std::atomic<int>& failures,
                     std::atomic<int>& peakThreads, std::mutex& mutex,
                     std::condition_variable& done)
        : remaining_(remaining),
          failures_(failures),
          peakThreads_(peakThreads),
          mutex_(mutex),
          done_(done) {}
    void didCompleteWithError(URLSession&, URLSessionTask&,
                              const std::optional<Error>& error) override {
        if (error) ++failures_;
        if (++completed_ % 25 == 0) {
            const int threads = threadsNow();
            int peak = peakThreads_.load();
            while (threads > peak && !peakThreads_.compare_exchange_weak(peak, threads)) {
            }
        }
    }
    void didBecomeInvalidWithError(URLSession&, const std::optional<Error>&) override {
        std::lock_guard lock(mutex_);
        if (--remaining_ == 0) done_.notify_all();
    }

  private:
    std::atomic<int>& remaining_;
    std::atomic<int>& failures_;
    std::atomic<int>& peakThreads_;
    std::mutex& mutex_;
    std::condition_variable& done_;
    int completed_ = 0;
};

void BM_ThousandConcurrentTransfers(benchmark::State& state) {
    constexpr int kSessions = 10, kTasksPerSession = 100;
    URLRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(serverPort) + "/item";
    std::atomic<int> peakThreads{threadsNow()};
    int failures = 0;
    for (auto _ : state) {
        std::atomic<int> remaining{kSessions}, failed{0};
        std::mutex mutex;
        std::condition_variable done;
        for (int s = 0; s < kSessions; ++s) {
            auto delegate =
                std::make_shared<CountingDelegate>(remaining, failed, peakThreads, mutex, done);
            auto session = URLSession::sessionWithConfiguration(
                URLSessionConfiguration::defaultSessionConfiguration(), delegate);
            for (int t = 0; t < kTasksPerSession; ++t)
                session->dataTaskWithRequest(request)->resume();
            session->finishTasksAndInvalidate();
        }
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::seconds(120), [&] { return remaining == 0; })) {
            state.SkipWithError("transfers did not finish within 120 s");
            break;
        }
        failures += failed;
    }
    state.counters["transfers"] = kSessions * kTasksPerSession;
    state.counters["failed"] = failures;
    state.counters["peak_threads"] = peakThreads.load();
    state.counters["peak_rss_MiB"] = static_cast<double>(peakRSSKiB()) / 1024.0;
}
BENCHMARK(BM_ThousandConcurrentTransfers)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    startServer();  // before any thread exists
    benchmark::Initialize(&argc, argv);
    std::printf("threads before the first session: %d\n", threadsNow());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kill(serverPid, SIGTERM);
    waitpid(serverPid, nullptr, 0);
    return 0;
}
