#pragma once

#include "plovendale/platform/device.h"

namespace plovendale {

struct DeviceOverrides {
    std::optional<ScreenMetrics> screen;
    std::optional<std::string> machineName;
    std::optional<OperatingSystemVersion> osVersion;
};

/// The desktop stand-in: values the host set win; otherwise no screen and uname's answers, asked
/// once (neither the machine nor the running kernel changes under a process).
class DesktopDeviceServices final : public DeviceServices {
  public:
    explicit DesktopDeviceServices(DeviceOverrides overrides);
    std::optional<ScreenMetrics> mainScreen() const override;
    OperatingSystemVersion operatingSystemVersion() const override;
    std::optional<std::string> machineName() const override;

  private:
    std::optional<ScreenMetrics> screen_;
    std::optional<std::string> machineName_;
    OperatingSystemVersion osVersion_;
};

}  // namespace plovendale
