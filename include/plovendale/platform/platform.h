#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "plovendale/export.h"
#include "plovendale/platform/bundle.h"
#include "plovendale/platform/device.h"
#include "plovendale/platform/key_value_store.h"
#include "plovendale/platform/log.h"
#include "plovendale/platform/pasteboard.h"

namespace plovendale {

/// What a host may supply before it starts the library. Every field left empty takes the desktop
/// default:
/// - bundleDirectory: the running executable's directory; bundle: made from bundleDirectory;
/// - dataDirectory: $XDG_DATA_HOME/plovendale/<bundle identifier> (XDG_DATA_HOME defaults to
///   $HOME/.local/share; the identifier defaults to "default"), made with mode 0700;
///   keyValueStore: an SQLite file "defaults.sqlite" in dataDirectory. With neither variable set,
///   or when that directory (or plovendale/ above it) belongs to another user or others may
///   write to it, the store lives in memory for the run and one line says why. A dataDirectory
///   the host names is made 0700 too when missing (and any missing directory above it); the
///   store's files (-wal and -shm too) are 0600 either way;
/// - pasteboard: an in-process pasteboard;
/// - screen, machineName, osVersion: no screen, uname's machine, the running kernel's version;
/// - language, timeZone: none, and the install request carries neither. The user's language as a
///   BCP 47 tag ("de-CH", at most 35 characters) and the device's IANA time zone name
///   ("Europe/Zurich", at most 64), which the service may compare with those of the browser that
///   opened the link;
/// - logSink: stderr;
/// - additionalCAFile: none. A PEM file of certificate authorities that the service's certificate
///   may chain to besides the system's (a private or test service); read when the configuration
///   is applied and kept for the process: a later configuration without one keeps it;
/// - wallClock: the system's clock, in seconds since 1970-01-01 UTC. It dates what the library
///   stores and reports; timeouts and elapsed times run on a monotonic clock, so a wall clock
///   that is set back or forward never shortens, stretches or inverts them.
/// The library calls none of the host's services, nor the log sink, while it holds a lock of its
/// own, and releases what a replaced configuration held outside its locks too: each may call back
/// into the library.
struct PlatformConfiguration {
    std::string bundleDirectory;
    std::string dataDirectory;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<KeyValueStore> keyValueStore;
    std::shared_ptr<Pasteboard> pasteboard;
    std::optional<ScreenMetrics> screen;
    std::optional<std::string> machineName;
    std::optional<OperatingSystemVersion> osVersion;
    std::optional<std::string> language;
    std::optional<std::string> timeZone;
    std::shared_ptr<DeviceServices> device;  ///< replaces screen ... timeZone wholesale
    Log::Sink logSink;
    std::function<double()> wallClock;  ///< called on any thread
    std::string additionalCAFile;
};

/// The configuration entry point and the services the library runs on. Call `configure` once,
/// before start-up; the accessors are safe from any thread and create defaults lazily.
class PLOVENDALE_API Platform {
  public:
    /// Replaces the configuration. Services already handed out stay valid for their holders.
    /// False, with one log line, when additionalCAFile names no readable PEM certificate (the
    /// trust stays as it was; the rest of the configuration is in force), or when language or
    /// timeZone is not a tag or zone name as the defaults above say (that value is dropped; the
    /// rest of the configuration is in force). False, with one log line
    /// and nothing changed, while the library runs (from a start until shutdown): call
    /// Plovendale::shutdown first.
    static bool configure(PlatformConfiguration configuration);

    static std::shared_ptr<KeyValueStore> keyValueStore();
    static std::shared_ptr<Bundle> mainBundle();
    static std::shared_ptr<Pasteboard> generalPasteboard();
    static std::shared_ptr<DeviceServices> device();
    /// The data directory in force (created on first use of the store); "" when the host set
    /// none and the environment names no data home.
    static std::string dataDirectory();
};

}  // namespace plovendale
