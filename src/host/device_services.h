#pragma once

#include "plovendale/platform/device.h"

namespace plovendale {

struct DeviceOverrides {
    std::optional<ScreenMetrics> screen;
    std::optional<std::string> machineName;
    std::optional<OperatingSystemVersion> osVersion;
    std::optional<std::string> language;
    std::optional<std::string> timeZone;
};

/// The desktop stand-in: values the host set win; otherwise no screen and uname's answers, asked
/// once (neither the machine nor the running kernel changes under a process), and neither a
/// language nor a time zone: the process's locale and zone are the desktop's, not necessarily the
/// user's, so only a host that knows them gives them.
class DesktopDeviceServices final : public DeviceServices {
  public:
    explicit DesktopDeviceServices(DeviceOverrides overrides);
    std::optional<ScreenMetrics> mainScreen() const override;
    OperatingSystemVersion operatingSystemVersion() const override;
    std::optional<std::string> machineName() const override;
    std::optional<std::string> language() const override;
    std::optional<std::string> timeZone() const override;

  private:
    std::optional<ScreenMetrics> screen_;
    std::optional<std::string> machineName_;
    OperatingSystemVersion osVersion_;
    std::optional<std::string> language_;
    std::optional<std::string> timeZone_;
};

}  // namespace plovendale
