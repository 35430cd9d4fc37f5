#include "plovendale/platform/platform.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/device_services.h"

namespace plovendale {
namespace {

struct PlatformState {
    std::mutex mutex;
    PlatformConfiguration config;
    std::shared_ptr<KeyValueStore> store;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<DeviceServices> device;
    std::string dataDirectory;
};

PlatformState& state() {
    static PlatformState instance;
    return instance;
}

std::string executableDirectory() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::current_path(ec).string();
    return path.parent_path().string();
}

// Callers hold the state's mutex.
std::shared_ptr<Bundle> bundleLocked(PlatformState& s) {
    if (!s.bundle) {
        s.bundle = s.config.bundle;
        if (!s.bundle) {
            const std::string dir =
                s.config.bundleDirectory.empty() ? executableDirectory() : s.config.bundleDirectory;
            s.bundle = makeDirectoryBundle(dir);
        }
    }
    return s.bundle;
}

std::string dataDirectoryLocked(PlatformState& s) {
    if (s.dataDirectory.empty()) {
        if (!s.config.dataDirectory.empty()) {
            s.dataDirectory = s.config.dataDirectory;
        } else {
            std::string base;
            if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
                base = xdg;
            } else if (const char* home = std::getenv("HOME"); home && *home) {
                base = std::string(home) + "/.local/share";
            } else {
                base = std::filesystem::temp_directory_path().string();
            }
            std::string identifier = bundleLocked(s)->bundleIdentifier().value_or("default");
            // The identifier becomes a directory name: keep it to one safe path component.
            for (char& c : identifier) {
                if (c == '/' || c == '\0') c = '_';
            }
            if (identifier.empty() || identifier == "." || identifier == "..") identifier = "default";
            s.dataDirectory = base + "/plovendale/" + identifier;
        }
    }
    return s.dataDirectory;
}

}  // namespace

void Platform::configure(PlatformConfiguration configuration) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    Log::setSink(configuration.logSink);
    s.config = std::move(configuration);
    s.store = s.config.keyValueStore;
    s.bundle = s.config.bundle;
    s.pasteboard = s.config.pasteboard;
    s.device = s.config.device;
    s.dataDirectory.clear();
}

std::shared_ptr<KeyValueStore> Platform::keyValueStore() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.store) {
        const std::string dir = dataDirectoryLocked(s);
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        // A directory that cannot be made is reported by the store when it fails to open.
        s.store = makeSQLiteKeyValueStore(dir + "/defaults.sqlite");
    }
    return s.store;
}

std::shared_ptr<Bundle> Platform::mainBundle() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return bundleLocked(s);
}

std::shared_ptr<Pasteboard> Platform::generalPasteboard() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.pasteboard) s.pasteboard = makeInProcessPasteboard();
    return s.pasteboard;
}

std::shared_ptr<DeviceServices> Platform::device() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.device) {
        s.device = std::make_shared<DesktopDeviceServices>(
            DeviceOverrides{s.config.screen, s.config.machineName, s.config.osVersion});
    }
    return s.device;
}

std::string Platform::dataDirectory() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return dataDirectoryLocked(s);
}

}  // namespace plovendale
