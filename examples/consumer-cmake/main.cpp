// A C++ host: starts the library against a service, asks for the install trace, hands it a
// wake-up link, tracks a purchase and flushes it, and shuts the library down. Usage: consumer_cmake
// (or consumer_pkgconfig) SERVER APP_KEY DATA_DIR BUNDLE_DIR LINK
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"

namespace {

using plovendale::AppData;

void print(const char* what, const AppData& appData) {
    std::printf("%s: params=%s channel=%s\n", what, appData.paramsData.value_or("").c_str(),
                appData.channel.value_or("").c_str());
}

class PrintingDelegate : public plovendale::PlovendaleDelegate {
  public:
    void getWakeUpTrace(const AppData& appData) override {
        print("link", appData);
        woken = true;
    }
    bool woken = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SERVER APP_KEY DATA_DIR BUNDLE_DIR LINK\n", argv[0]);
        return 2;
    }
    plovendale::PlatformConfiguration config;
    config.dataDirectory = argv[3];
    config.bundleDirectory = argv[4];
    plovendale::Platform::configure(config);

    auto delegate = std::make_shared<PrintingDelegate>();
    plovendale::Plovendale::initWithDelegate(delegate, argv[2]);
    plovendale::Plovendale::setServerDomain(argv[1]);

    bool done = false;
    bool attributed = false;
    plovendale::Plovendale::getInstallTrace(
        [&](const std::optional<AppData>& appData) {
            print("attribution", appData.value_or(AppData{}));
            attributed = done = true;
        },
        [&](std::int64_t code, const std::optional<std::string>& message) {
            std::printf("no attribution: %lld %s\n", static_cast<long long>(code),
                        message.value_or("").c_str());
            done = true;
        });
    // An application's main loop drains the main queue; this host waits for its one outcome.
    plovendale::MainQueue::shared().runUntil([&] { return done; }, std::chrono::seconds(15));

    const bool handled = plovendale::Plovendale::handleUniversalLink(
        plovendale::UserActivity{plovendale::NSUserActivityTypeBrowsingWeb, argv[5]});
    // A purchase: recorded at once, delivered in a batch; flush waits for that (or its timeout).
    const bool tracked = plovendale::Plovendale::trackEvent(
        "purchase", {{"sku", "room-7"}}, plovendale::Revenue{"9.99", "EUR"}, std::nullopt);
    const bool flushed = plovendale::Plovendale::flush(10000) == plovendale::FlushResult::Delivered;
    std::printf("purchase: tracked %d, flushed %d, still queued %zu\n", tracked, flushed,
                plovendale::Plovendale::queuedEventCount());
    // Joins the library's threads for a clean exit.
    const bool stopped = plovendale::Plovendale::shutdown(std::chrono::seconds(2));
    return attributed && handled && delegate->woken && tracked && flushed && stopped ? 0 : 1;
}
