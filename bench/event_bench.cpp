// In-app events on the SQLite store against a local service: the time the host's thread spends in
// trackEvent over 10,000 calls, the time until they are all durable, the time flush takes to
// deliver 10,000 queued events, and what the wire carries per request and per event.
//
//   event_bench [EVENTS]
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/outbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace plovendale;
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;

    std::atomic<long long> requests{0}, events{0}, bytes{0};
    httplib::Server server;
    server.Post(R"(/api/trace/client/events/.*)", [&](const httplib::Request& req,
                                                      httplib::Response& res) {
        const auto body = nlohmann::json::parse(req.body, nullptr, false);
        const auto n = body.is_object() ? body["events"].size() : 0;
        ++requests;
        events += static_cast<long long>(n);
        bytes += static_cast<long long>(req.body.size());
        res.set_content(R"({"status":200,"accepted":)" + std::to_string(n) + R"(,"duplicates":0})",
                        "application/json");
    });
    server.Post(R"(/api/trace/client/(report|state)/.*)",
                [](const httplib::Request&, httplib::Response& res) {
                    res.set_content(R"({"status":200})", "application/json");
                });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });

    const auto dir =
        std::filesystem::temp_directory_path() / ("event_bench." + std::to_string(::getpid()));
    PlatformConfiguration config;
    config.dataDirectory = dir.string();
    config.logSink = [](std::string_view) {};
    Platform::configure(config);
    Plovendale::startWith("benchKey");
    Plovendale::setServerDomain("http://127.0.0.1:" + std::to_string(port));
    // The installation gets its (organic) answer first, so events go as soon as they are stored.
    bool answered = false;
    Plovendale::getInstallTrace([&](const auto&) { answered = true; },
                                [&](auto, const auto&) { answered = true; });
    MainQueue::shared().runUntil([&] { return answered; }, std::chrono::seconds(10));

    const std::map<std::string, std::string> params = {
        {"sku", "gold-pack-12"}, {"screen", "store.checkout"}, {"campaign", "winter"}};
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    const auto firstCall = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        Plovendale::trackEvent("purchase", params, Revenue{"9.99", "EUR"});
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double callsMs = msSince(firstCall);
    const auto lastCall = Clock::now();
    internal::waitUntilWritten(std::chrono::seconds(60));
    const double durableMs = msSince(lastCall);
    const std::size_t queued = Plovendale::queuedEventCount();

    const auto flushStart = Clock::now();
    const bool idle = Plovendale::flush(120000) != FlushResult::TimedOut;
    const double flushMs = msSince(flushStart);

    std::printf(
        "trackEvent over %d calls: p50 %.2f us, p99 %.2f us, max %.1f us (%.1f ms in all)\n", count,
        percentile(micros, 0.5), percentile(micros, 0.99),
        *std::max_element(micros.begin(), micros.end()), callsMs);
    std::printf("all durable %.1f ms after the last call; %zu queued\n", durableMs, queued);
    std::printf("flush delivering %zu queued: %.1f ms (%s), %zu left\n", queued, flushMs,
                idle ? "idle" : "timed out", Plovendale::queuedEventCount());
    std::printf("requests %lld, events %lld: %.1f events per request, %.1f bytes per event\n",
                requests.load(), events.load(),
                requests ? static_cast<double>(events) / static_cast<double>(requests) : 0.0,
                events ? static_cast<double>(bytes) / static_cast<double>(events) : 0.0);

    server.stop();
    serving.join();
    std::filesystem::remove_all(dir);
    return 0;
}
