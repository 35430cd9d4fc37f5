#include "plovendale/platform/platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "host/ca_file.h"
#include "host/clock.h"
#include "host/device_services.h"
#include "host/held_log_lines.h"
#include "host/locale_signals.h"
#include "host/platform_services.h"
#include "host/private_directory.h"
#include "plovendale/platform/log.h"

namespace plovendale {
namespace {

struct DataLocation {
    std::string base;
    std::vector<std::string> components;

    std::string path() const {
        std::string path = base;
        for (const auto& component : components) path += "/" + component;
        return path;
    }
};

struct PlatformState {
    std::mutex mutex;
    PlatformConfiguration config;
    std::shared_ptr<KeyValueStore> store;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<DeviceServices> device;
    std::string dataDirectory;
    bool dataDirectoryChosen = false;
    std::optional<DataLocation> defaultLocation;  // set when dataDirectory is the default one
    // While the store is held (one thread opens it and, at start-up, uses it first), every other
    // thread that asks for it waits until it is released or the deadline passes.
    std::condition_variable storeReleased;
    bool storeHeld = false;
    std::chrono::steady_clock::time_point storeHoldDeadline;
    std::uint64_t storeGeneration = 0;  // advanced when a configuration or shutdown drops the store
};

// The longest a call waits for a store that another thread opens: an open takes about a
// millisecond, and SQLite's wait on a file another launch is setting up (1 s) and the open's own
// retries (100 ms) fit in it with room to spare.
constexpr std::chrono::milliseconds kStoreHoldWait{2000};

// Whether this thread holds the store (it opens it, or it is start-up's worker).
thread_local bool holdsStore = false;

constexpr const char* kDataSubdirectory = "plovendale";

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

// Callers hold the state's mutex and hold back their log lines (reading Info.plist may log).
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

// XDG's rule: the variables hold absolute paths, and anything else is ignored.
std::optional<std::string> absoluteEnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/') return std::nullopt;
    return std::string(value);
}

// The default directory lives under the user's own data home. There is no fallback to a shared
// temporary directory: a path there can be made first by another local user, who would then
// read or plant the client identifier.
std::optional<DataLocation> defaultDataLocation(std::string identifier) {
    DataLocation location;
    if (auto xdg = absoluteEnvironmentPath("XDG_DATA_HOME")) {
        location.base = *xdg;
    } else if (auto home = absoluteEnvironmentPath("HOME")) {
        location.base = *home + "/.local/share";
    } else {
        return std::nullopt;
    }
    // The identifier becomes a directory name: keep it to one safe path component.
    for (char& c : identifier) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (identifier.empty() || identifier == "." || identifier == "..") identifier = "default";
    location.components = {kDataSubdirectory, identifier};
    return location;
}

// The bundle identifier that names the default data directory, asked for before the state's mutex
// is taken: the bundle may be the host's. Nothing when the directory is already chosen or the host
// named one.
std::optional<std::string> identifierForDataDirectory(PlatformState& s) {
    {
        std::lock_guard lock(s.mutex);
        if (s.dataDirectoryChosen || !s.config.dataDirectory.empty()) return std::nullopt;
    }
    return Platform::mainBundle()->bundleIdentifier();
}

// `identifier`: from identifierForDataDirectory, called before the mutex was taken.
std::string dataDirectoryLocked(PlatformState& s, const std::optional<std::string>& identifier) {
    if (!s.dataDirectoryChosen) {
        s.defaultLocation.reset();
        if (!s.config.dataDirectory.empty()) {
            s.dataDirectory = s.config.dataDirectory;
        } else {
            s.defaultLocation = defaultDataLocation(identifier.value_or("default"));
            s.dataDirectory = s.defaultLocation ? s.defaultLocation->path() : std::string();
        }
        s.dataDirectoryChosen = true;
    }
    return s.dataDirectory;
}

std::shared_ptr<KeyValueStore> inMemoryStore(const std::string& why) {
    Log::write("[Plovendale] " + why + "; values are kept in memory for this run only.");
    return makeInMemoryKeyValueStore();
}

// Where the store lives, as the configuration in force says.
struct StorePlace {
    std::string directory;
    bool chosenByHost = false;
    std::optional<DataLocation> defaultLocation;
};

// Callers hold the state's mutex.
StorePlace storePlaceLocked(PlatformState& s, const std::optional<std::string>& identifier) {
    StorePlace place;
    place.directory = dataDirectoryLocked(s, identifier);
    place.chosenByHost = !s.config.dataDirectory.empty();
    place.defaultLocation = s.defaultLocation;
    return place;
}

// Opens the store without the state's mutex: the open can wait on another launch's lock of the
// file, and nothing else of the platform waits with it.
std::shared_ptr<KeyValueStore> openStore(const StorePlace& place) {
    const std::string& dir = place.directory;
    if (place.chosenByHost) {
        // The host chose the place and answers for it; what the library makes there is the
        // user's alone, as in the default place. A directory that cannot be made is reported by
        // the store when it fails to open. At a launch it nearly always exists: one mkdir says so
        // without the path walk.
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) makeDirectories(dir);
    } else if (dir.empty() || !place.defaultLocation) {
        return inMemoryStore("no data directory: neither XDG_DATA_HOME nor HOME names one");
    } else if (auto refusal = makePrivateDirectory(place.defaultLocation->base,
                                                   place.defaultLocation->components)) {
        return inMemoryStore("data directory " + *refusal);
    }
    return makeSQLiteKeyValueStore(dir + "/defaults.sqlite");
}

void releaseStoreLocked(PlatformState& s) {
    s.storeHeld = false;
    holdsStore = false;
    s.storeReleased.notify_all();
}

}  // namespace

namespace {
std::atomic<internal::CAFileHandler> caFileHandler{nullptr};
}  // namespace

void internal::setCAFileHandler(CAFileHandler handler) {
    caFileHandler.store(handler);
    std::string caFile;
    {
        std::lock_guard lock(state().mutex);
        caFile = state().config.additionalCAFile;
    }
    if (handler && !caFile.empty() && !handler(caFile))
        Log::write("[Plovendale] additionalCAFile holds no readable PEM certificate: " + caFile);
}

namespace {
std::atomic<bool> libraryRunning{false};
}  // namespace

void internal::setLibraryRunning(bool running) {
    libraryRunning.store(running);
}

bool Platform::configure(PlatformConfiguration configuration) {
    if (libraryRunning.load()) {
        Log::write(
            "[Plovendale] Platform::configure refused: the library is running; call "
            "Plovendale::shutdown first, then configure and start again.");
        return false;
    }
    // Said once the configuration's own log sink is in force.
    std::vector<std::string> dropped;
    const std::tuple<const char*, std::optional<std::string>*, const char* (*)(std::string_view)>
        signals[] = {{"language", &configuration.language, internal::languageTagProblem},
                     {"timeZone", &configuration.timeZone, internal::timeZoneProblem}};
    for (const auto& [name, value, problem] : signals) {
        const char* why = *value ? problem(**value) : nullptr;
        if (!why) continue;
        constexpr std::size_t kShown = 40;
        const std::string& text = **value;
        dropped.push_back(std::string("[Plovendale] Platform::configure dropped the ") + name +
                          " \"" + text.substr(0, kShown) +
                          (text.size() > kShown ? "...\", " : "\", ") + why + "; it is not sent.");
        value->reset();
    }
    // TLS trust belongs to the transport, process-wide; a host names it here with the rest of its
    // platform rather than through the transport's own interface, which is not public.
    const std::string caFile = configuration.additionalCAFile;
    auto& s = state();
    Log::Sink sink = configuration.logSink;
    // What the previous configuration held (the host's objects among it) is released after the
    // mutex is let go: a destructor of the host's may call back into the library.
    PlatformConfiguration previous = std::move(configuration);
    std::shared_ptr<KeyValueStore> store;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<DeviceServices> device;
    {
        std::lock_guard lock(s.mutex);
        std::swap(s.config, previous);
        store = std::exchange(s.store, s.config.keyValueStore);
        bundle = std::exchange(s.bundle, s.config.bundle);
        pasteboard = std::exchange(s.pasteboard, s.config.pasteboard);
        device = std::exchange(s.device, s.config.device);
        s.dataDirectory.clear();
        s.dataDirectoryChosen = false;
        ++s.storeGeneration;
    }
    Log::setSink(std::move(sink));
    for (const auto& line : dropped) Log::write(line);
    const auto handler = caFileHandler.load();
    if (caFile.empty() || !handler || handler(caFile)) return dropped.empty();
    Log::write("[Plovendale] additionalCAFile holds no readable PEM certificate: " + caFile);
    return false;
}

void internal::releasePlatformServices() {
    auto& s = state();
    std::shared_ptr<KeyValueStore> store;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<Pasteboard> pasteboard;
    std::shared_ptr<DeviceServices> device;
    std::lock_guard lock(s.mutex);
    store = std::exchange(s.store, s.config.keyValueStore);
    bundle = std::exchange(s.bundle, s.config.bundle);
    pasteboard = std::exchange(s.pasteboard, s.config.pasteboard);
    device = std::exchange(s.device, s.config.device);
    ++s.storeGeneration;
}

bool internal::holdKeyValueStore() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.store || s.storeHeld) return false;
    s.storeHeld = true;
    s.storeHoldDeadline = std::chrono::steady_clock::now() + kStoreHoldWait;
    return true;
}

void internal::adoptKeyValueStoreHold() {
    holdsStore = true;
}

void internal::releaseKeyValueStore() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    releaseStoreLocked(s);
}

std::shared_ptr<KeyValueStore> Platform::keyValueStore() {
    auto& s = state();
    std::unique_lock lock(s.mutex);
    if (s.storeHeld && !holdsStore) {
        s.storeReleased.wait_until(lock, s.storeHoldDeadline, [&s] { return !s.storeHeld; });
        if (s.storeHeld && !s.store) {
            // The open is stuck (another process keeps the file locked): the run goes on in
            // memory, as when the file cannot be opened at all; the late open is let go.
            s.store = makeInMemoryKeyValueStore();
            auto store = s.store;
            lock.unlock();
            Log::write(
                "[Plovendale] the key-value store did not open within 2000 ms; values are kept in "
                "memory for this run only.");
            return store;
        }
    }
    if (s.store) return s.store;  // every read and write of the library comes this way
    // This thread opens it; another that asks meanwhile waits rather than opening it twice.
    const bool opener = !holdsStore;
    if (opener) {
        s.storeHeld = holdsStore = true;
        s.storeHoldDeadline = std::chrono::steady_clock::now() + kStoreHoldWait;
    }
    const auto generation = s.storeGeneration;
    lock.unlock();
    std::shared_ptr<KeyValueStore> opened;
    std::unique_ptr<HeldLogLines> openLines;  // what the open says, once its outcome is known
    try {
        const auto identifier = identifierForDataDirectory(s);
        StorePlace place;
        {
            std::lock_guard placeLock(s.mutex);
            place = storePlaceLocked(s, identifier);
        }
        openLines = std::make_unique<HeldLogLines>();
        opened = openStore(place);
    } catch (...) {
        if (opener) internal::releaseKeyValueStore();
        throw;
    }
    lock.lock();
    const bool current = generation == s.storeGeneration;
    // A call that gave up waiting has put a store in memory in its place and said so: a failure
    // line of this open would be a second one.
    const bool replaced = current && s.store && s.store != opened;
    // A configuration applied meanwhile has its own store; this one serves only this call.
    if (!s.store && current) s.store = opened;
    if (opener) releaseStoreLocked(s);
    auto store = current ? s.store : opened;
    lock.unlock();
    if (replaced) openLines->discard();
    openLines.reset();
    return store;
}

std::shared_ptr<Bundle> Platform::mainBundle() {
    auto& s = state();
    const HeldLogLines held;
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
            DeviceOverrides{s.config.screen, s.config.machineName, s.config.osVersion,
                            s.config.language, s.config.timeZone});
    }
    return s.device;
}

// 10000-01-01T00:00:00Z.
constexpr double kLatestWallClockSeconds = 253402300800.0;

// Here rather than in a file of its own: the clock is part of the configuration.
double Date::timeIntervalSince1970() {
    std::function<double()> clock;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        clock = s.config.wallClock;
    }
    if (clock) {
        // The host's clock runs on any thread, the I/O thread among them: one that throws or
        // answers no number falls back to the system's, and says so once.
        try {
            const double now = clock();
            // Callers turn the value into whole milliseconds: one beyond the year 10000 either
            // way would overflow them, and no device's clock honestly reads that.
            if (std::isfinite(now) && std::fabs(now) <= kLatestWallClockSeconds) return now;
        } catch (...) {
        }
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            Log::write(
                "[Plovendale] the host's wall clock failed or read beyond the year 10000; the "
                "system clock is used.");
    }
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string Platform::dataDirectory() {
    auto& s = state();
    const auto identifier = identifierForDataDirectory(s);
    std::lock_guard lock(s.mutex);
    return dataDirectoryLocked(s, identifier);
}

}  // namespace plovendale
