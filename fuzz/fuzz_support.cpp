#include "fuzz_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "plovendale/platform/platform.h"
#include "sdk/core_helper.h"

namespace plovendale::fuzz {

const std::string& scratchDirectory() {
    // create_directories throws when it cannot: the target would test nothing, so that ends it.
    static const struct Scratch {
        std::string path =
            ((std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                        : std::filesystem::temp_directory_path()) /
             ("plovendale-fuzz-" + std::to_string(::getpid())))
                .string();
        Scratch() { std::filesystem::create_directories(path); }
        ~Scratch() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } scratch;
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
