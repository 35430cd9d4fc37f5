// The fingerprint match: an install whose query carries no known trace identifier, credited to a
// recent click from the same address when the device clearly is the one that clicked.

#include "matching.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace plovendale::attribution_service {
namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

/// "17_1_2", "17.1", "14" at the start of text: major and minor (-1 when absent).
std::pair<int, int> leadingVersion(std::string_view text) {
    int major = -1;
    int minor = -1;
    const char* end = text.data() + text.size();
    auto [next, ec] = std::from_chars(text.data(), end, major);
    if (ec != std::errc()) return {-1, -1};
    if (next != end && (*next == '_' || *next == '.')) {
        int value = 0;
        const auto [after, ec2] = std::from_chars(next + 1, end, value);
        if (ec2 == std::errc() && after != next + 1) minor = value;
    }
    return {major, minor};
}

/// What a User-Agent tells of the device: OS version and model family (iOS) or model (Android).
struct UserAgentDevice {
    int osMajor = -1;
    int osMinor = -1;
    std::string model;  // "iphone", "ipad", "ipod", or the Android model in lower case
};

UserAgentDevice deviceOf(std::string_view ua, const std::string& platform) {
    UserAgentDevice device;
    if (platform == "ios") {
        for (const char* family : {"iPhone", "iPad", "iPod"}) {
            if (contains(ua, family)) {
                device.model = lower(family);
                break;
            }
        }
        // "CPU iPhone OS 17_1 like Mac OS X" on phones, "CPU OS 17_1 like Mac OS X" on tablets.
        const auto at = ua.find(" OS ");
        if (at != std::string_view::npos) {
            std::tie(device.osMajor, device.osMinor) = leadingVersion(ua.substr(at + 4));
        }
        return device;
    }
    // "(Linux; Android 14; Pixel 8 Build/UQ1A)": the version, then the model up to ")" or ";".
    const auto at = ua.find("Android ");
    if (at == std::string_view::npos) return device;
    std::string_view rest = ua.substr(at + 8);
    std::tie(device.osMajor, device.osMinor) = leadingVersion(rest);
    const auto semicolon = rest.find(';');
    const auto close = rest.find(')');
    if (semicolon != std::string_view::npos &&
        (close == std::string_view::npos || semicolon < close)) {
        std::string_view model =
            rest.substr(semicolon + 1, close == std::string_view::npos ? std::string_view::npos
                                                                       : close - semicolon - 1);
        model = model.substr(0, model.find(';'));
        const auto build = model.find(" Build/");
        if (build != std::string_view::npos) model = model.substr(0, build);
        device.model = lower(trim(model));
    }
    // Browsers that reduce their User-Agent write the model "K" and a fixed "Android 10": neither
    // says anything about the device.
    if (device.model == "k") device = {};
    return device;
}

/// "en-US", "en_us" -> "en-us"; the primary subtag separately.
std::string normalTag(std::string_view tag) {
    std::string out = lower(trim(tag));
    std::replace(out.begin(), out.end(), '_', '-');
    return out;
}

/// The click's points, or nothing when it contradicts the fingerprint.
std::optional<int> score(const InstallFingerprint& fp, const Click& click) {
    const std::string os = lower(fp.os);
    if (!((os == "ios" && click.platform == "ios") ||
          (os == "android" && click.platform == "android")))
        return std::nullopt;
    int points = 0;
    const UserAgentDevice device = deviceOf(click.userAgent, click.platform);
    const auto [major, minor] = leadingVersion(fp.osVersion);
    if (device.osMajor >= 0 && major >= 0) {
        if (device.osMajor != major) return std::nullopt;
        ++points;
        if (device.osMinor >= 0 && minor >= 0) {
            if (device.osMinor != minor) return std::nullopt;
            ++points;
        }
    }
    const std::string model = lower(fp.model);
    if (!device.model.empty() && !model.empty()) {
        if (click.platform == "ios") {
            // The query names the exact model ("iPhone14,2"), the browser only its family.
            const bool known = model.rfind("iphone", 0) == 0 || model.rfind("ipad", 0) == 0 ||
                               model.rfind("ipod", 0) == 0;
            if (known) {
                if (model.rfind(device.model, 0) != 0) return std::nullopt;
                ++points;
            }
        } else {
            if (model != device.model) return std::nullopt;
            points += 2;
        }
    }
    if (click.screenWidth && click.pixelRatio && fp.screenWidth > 0 && fp.screenHeight > 0) {
        // The page measures CSS pixels; the query counts device pixels, in either orientation.
        const double ratio = *click.pixelRatio;
        const double width = *click.screenWidth * ratio;
        const double height = click.screenHeight.value_or(0) * ratio;
        const auto near = [](double a, long long b) { return std::fabs(a - double(b)) <= 2.0; };
        const bool fits = (near(width, fp.screenWidth) && near(height, fp.screenHeight)) ||
                          (near(width, fp.screenHeight) && near(height, fp.screenWidth));
        if (!fits) return std::nullopt;
        points += 2;
    }
    // Without a beacon, the browser's first Accept-Language tag says the same.
    const std::string_view accepted = click.acceptLanguage;
    const std::string language =
        click.language ? *click.language
                       : std::string(trim(accepted.substr(0, accepted.find_first_of(",;"))));
    if (!language.empty() && language != "*" && !fp.language.empty()) {
        const std::string a = normalTag(language);
        const std::string b = normalTag(fp.language);
        if (a.substr(0, a.find('-')) != b.substr(0, b.find('-'))) return std::nullopt;
        if (a == b) ++points;
    }
    if (click.timeZone && !click.timeZone->empty() && !fp.timeZone.empty()) {
        if (*click.timeZone != fp.timeZone) return std::nullopt;
        ++points;
    }
    return points;
}

}  // namespace

std::string platformOfUserAgent(std::string_view userAgent) {
    if (contains(userAgent, "iPhone") || contains(userAgent, "iPad") || contains(userAgent, "iPod"))
        return "ios";
    if (contains(userAgent, "Android")) return "android";
    return "other";
}

std::optional<std::size_t> chooseClick(const InstallFingerprint& fingerprint,
                                       const std::vector<Click>& candidates, std::size_t visitors) {
    if (candidates.size() > kCrowdedAddress || visitors > kCrowdedVisitors) return std::nullopt;
    std::optional<std::size_t> best;
    int bestScore = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const auto points = score(fingerprint, candidates[i]);
        // Newest first: a later click of equal score does not displace an earlier pick.
        if (points && (!best || *points > bestScore)) {
            best = i;
            bestScore = *points;
        }
    }
    if (!best || bestScore < kMinFingerprintScore) return std::nullopt;
    // A rival is a click of another link; more clicks of the winning link agree with it.
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].traceId == candidates[*best].traceId) continue;
        const auto points = score(fingerprint, candidates[i]);
        if (points && *points > bestScore - kFingerprintMargin) return std::nullopt;
    }
    return best;
}

}  // namespace plovendale::attribution_service
