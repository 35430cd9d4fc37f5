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

std::optional<ScreenMetrics> DesktopDeviceServices::mainScreen() const {
    return overrides_.screen;
}

OperatingSystemVersion DesktopDeviceServices::operatingSystemVersion() const {
    if (overrides_.osVersion) return *overrides_.osVersion;
    struct utsname name {};
    if (uname(&name) != 0) return {};
    return parseRelease(name.release);
}

std::optional<std::string> DesktopDeviceServices::machineName() const {
    if (overrides_.machineName) return overrides_.machineName;
    struct utsname name {};
    if (uname(&name) != 0) return std::nullopt;
    return std::string(name.machine);
}

}  // namespace plovendale
