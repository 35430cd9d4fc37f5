#pragma once

namespace plovendale::internal {

/// Present (as true) only while the user has disabled tracking.
inline constexpr const char* kTrackingDisabledKey = "com.plovendale.tracking_disabled";

/// The user's choice: the value set in this process, else the stored one. Any thread.
bool trackingDisabled();

}  // namespace plovendale::internal
