#include "fuzz_support.h"

#include <unistd.h>

#include <filesystem>

#include "plovendale/platform/platform.h"
#include "sdk/core_helper.h"

namespace plovendale::fuzz {

namespace {

// A directory of this process (under /dev/shm when it exists), made on first use and removed at
// exit. create_directories throws when it cannot: the target would test nothing, so that ends it.
const std::string& scratchDirectory() {
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

}  // namespace plovendale::fuzz
