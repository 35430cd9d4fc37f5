#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "plovendale/export.h"

namespace plovendale {

/// The main screen: bounds in points and the factors from points to pixels.
struct ScreenMetrics {
    double width = 0;
    double height = 0;
    double scale = 0;
    double nativeScale = 0;
};

struct OperatingSystemVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
};

/// Screen, system and hardware facts (what the phone's screen, process-information and uname
/// services give). Desktop defaults: no screen, the running kernel's version, uname's machine.
class PLOVENDALE_API DeviceServices {
  public:
    virtual ~DeviceServices() = default;
    /// The main screen, or nothing when there is none.
    virtual std::optional<ScreenMetrics> mainScreen() const = 0;
    /// The running system's version; all zero when unknown.
    virtual OperatingSystemVersion operatingSystemVersion() const = 0;
    /// The hardware model (uname machine); nothing when unavailable.
    virtual std::optional<std::string> machineName() const = 0;
    /// The user's language as a BCP 47 tag ("de-CH"); nothing (the default) when unknown. A
    /// value that is not one is not sent, with a log line.
    virtual std::optional<std::string> language() const { return std::nullopt; }
    /// The device's IANA time zone name ("Europe/Zurich"); nothing (the default) when unknown. A
    /// value that is not one is not sent, with a log line.
    virtual std::optional<std::string> timeZone() const { return std::nullopt; }
};

}  // namespace plovendale
