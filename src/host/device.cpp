#include "plovendale/platform/device.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <memory>

#include "host/device_services.h"

namespace plovendale {
namespace {

OperatingSystemVersion parseRelease(const char* release) {
    OperatingSystemVersion version;
    std::int64_t* parts[] = {&version.major, &version.minor, &version.patch};
    const char* cursor = release;
    for (auto* part : parts) {
        char* end = nullptr;
        const long long value = std::strtoll(cursor, &end, 10);
        if (end == cursor) break;
        *part = value;
        if (*end != '.') break;
        cursor = end + 1;
    }
    return version;
}

}  // namespace

DesktopDeviceServices::DesktopDeviceServices(DeviceOverrides overrides)
    : screen_(overrides.screen),
      machineName_(std::move(overrides.machineName)),
      osVersion_(overrides.osVersion.value_or(OperatingSystemVersion{})),
      language_(std::move(overrides.language)),
      timeZone_(std::move(overrides.timeZone)) {
    if (machineName_ && overrides.osVersion) return;
    struct utsname name {};
    if (uname(&name) != 0) return;
    if (!machineName_) machineName_ = std::string(name.machine);
    if (!overrides.osVersion) osVersion_ = parseRelease(name.release);
}

std::optional<ScreenMetrics> DesktopDeviceServices::mainScreen() const {
    return screen_;
}

OperatingSystemVersion DesktopDeviceServices::operatingSystemVersion() const {
    return osVersion_;
}

std::optional<std::string> DesktopDeviceServices::machineName() const {
    return machineName_;
}

std::optional<std::string> DesktopDeviceServices::language() const {
    return language_;
}

std::optional<std::string> DesktopDeviceServices::timeZone() const {
    return timeZone_;
}

}  // namespace plovendale
