// A C++ host: starts the library against a service, asks for the install trace, then hands it a
// wake-up link. Usage: consumer_cmake (or consumer_pkgconfig) SERVER APP_KEY DATA_DIR BUNDLE_DIR
// LINK
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
    return attributed && handled && delegate->woken ? 0 : 1;
}
