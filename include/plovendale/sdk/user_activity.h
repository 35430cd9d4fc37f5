#pragma once

#include <optional>
#include <string>

namespace plovendale {

/// The activity type of a universal link opened from the web.
inline constexpr const char* NSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

/// What the host received when the system continued a user activity (a universal link).
struct UserActivity {
    std::string activityType;
    std::optional<std::string> webpageURL;
};

}  // namespace plovendale
