#include "fuzz_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "plovendale/platform/platform.h"
#include "sdk/core_helper.h"

namespace plovendale::fuzz {
namespace {

struct Scratch {
    Scratch() {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                               ? "/dev/shm"
                                               : std::filesystem::temp_directory_path(ec);
        path = (base / ("plovendale-fuzz-" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(path, ec);
        if (ec) {
            std::fprintf(stderr, "cannot make %s: %s\n", path.c_str(), ec.message().c_str());
            std::abort();
        }
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

}  // namespace

const std::string& scratchDirectory() {
    static const Scratch scratch;
    return scratch.path;
}

void writeFile(const std::string& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

namespace {

const PlatformConfiguration& quietConfiguration() {
    static const PlatformConfiguration config = [] {
        const std::string bundle = scratchDirectory() + "/Quiet.app";
        std::filesystem::create_directories(bundle);
        PlatformConfiguration made;
        made.bundleDirectory = bundle;
        made.bundle = makeBundle(bundle, {});
        made.dataDirectory = scratchDirectory() + "/data";
        made.keyValueStore = makeInMemoryKeyValueStore();
        made.pasteboard = makeInProcessPasteboard();
        made.machineName = "fuzz";
        made.osVersion = OperatingSystemVersion{1, 2, 3};
        made.logSink = [](std::string_view) {};
        return made;
    }();
    return config;
}

}  // namespace

void useQuietPlatform() {
    static const bool configured = [] {
        Platform::configure(quietConfiguration());
        CoreHelper::setAppKey(kAppKey);
        return true;
    }();
    (void)configured;
}

void useQuietPlatformWithBundle(std::shared_ptr<Bundle> bundle) {
    useQuietPlatform();
    PlatformConfiguration config = quietConfiguration();
    config.bundleDirectory = bundle->bundlePath();
    config.bundle = std::move(bundle);
    Platform::configure(std::move(config));
}

}  // namespace plovendale::fuzz
