// A minimal host: configures the platform for a temporary data directory, starts the library with
// an application key and prints what it did.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "plovendale/plovendale.h"

int main(int argc, char** argv) {
    using namespace plovendale;
    const std::string appKey = argc > 1 ? argv[1] : "demoAppKey";
    std::error_code noTemp;
    const auto temp = std::filesystem::temp_directory_path(noTemp);
    std::string dataDir =
        ((noTemp ? std::filesystem::path("/tmp") : temp) / "plovendale-example-XXXXXX").string();
    if (!mkdtemp(dataDir.data())) return 1;

    PlatformConfiguration config;
    config.dataDirectory = dataDir;
    config.logSink = [](std::string_view line) {
        std::printf("log: %.*s\n", int(line.size()), line.data());
    };
    Platform::configure(config);

    Plovendale::initWithDelegate(nullptr, appKey);
    std::printf("sdk version:     %s\n", Plovendale::sdkVersion().c_str());
    std::printf("data directory:  %s\n", dataDir.c_str());
    std::printf("install trace:   %s\n",
                InstallTraceState::nameOf(Plovendale::installTraceState().kind));
    std::printf("first open:      %s\n", Plovendale::isFirstOpen() ? "yes" : "no");
    std::printf("service base:    %s\n", Plovendale::getDomainUrl(appKey).c_str());
    std::filesystem::remove_all(dataDir);
    return 0;
}
