#include "signals/report_param_data.h"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>

#include "plovendale/platform/platform.h"
#include "plovendale/sdk/constants.h"
#include "signals/pasteboard_helper.h"
#include "signals/sign_info_utils.h"
#include "util/string_utils.h"
#include "util/text.h"

namespace plovendale {
namespace {

constexpr const char* kUnknown = "Unknown";

struct PixelSize {
    double width = 0;
    double height = 0;
};

// These two models report a point scale that does not give their panel's pixels unless the
// native scale says the panel is denser than 2x.
bool hasSpecialScreen(const std::optional<std::string>& model) {
    return model && (*model == "iPhone11,8" || *model == "iPhone12,1");
}

PixelSize screenPixels(const std::optional<std::string>& model) {
    const auto screen = Platform::device()->mainScreen();
    PixelSize size;
    if (screen) size = {screen->width * screen->scale, screen->height * screen->scale};
    if (hasSpecialScreen(model)) {
        const double nativeScale = screen ? screen->nativeScale : 0;
        if (!(nativeScale > 2.0)) size = {828.0, 1792.0};
    }
    return size;
}

// A host may hand in any double; only a finite value in range converts to an integer soundly.
std::string wholePixels(double value) {
    const double floored = std::floor(value);
    if (!std::isfinite(floored)) return "0";
    if (floored >= 9223372036854775808.0) return std::to_string(INT64_MAX);
    if (floored < -9223372036854775808.0) return std::to_string(INT64_MIN);
    return std::to_string(static_cast<std::int64_t>(floored));
}

}  // namespace

std::string BundleInfo::getBundleValue(const std::string& key) {
    return Platform::mainBundle()->infoString(key).value_or(kUnknown);
}

std::string BundleInfo::appVersion() {
    return getBundleValue("CFBundleShortVersionString");
}
std::string BundleInfo::bundle() {
    return getBundleValue("CFBundleIdentifier");
}
std::string BundleInfo::appBuild() {
    return getBundleValue("CFBundleVersion");
}

std::string BundleInfo::osNameVersion() {
    const OperatingSystemVersion version = Platform::device()->operatingSystemVersion();
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch);
}

// The model comes from uname or from the host; either way text that is not UTF-8 could not be
// serialised into the install parameters, so it counts as no model.
std::optional<std::string> Device::getVersionCode() {
    auto model = Platform::device()->machineName();
    if (model && !isValidUTF8(*model)) return std::nullopt;
    return model;
}

std::map<std::string, std::string> ReportParamData::getParams() {
    std::map<std::string, std::string> params;
    const std::optional<std::string> model = Device::getVersionCode();
    const PixelSize pixels = screenPixels(model);
    const std::string clip = UIPasteboardHelper::getCacheTraceId();
    const std::optional<SignData> marker = SignInfoUtils::getSignData();
    const std::string channel = marker ? marker->channel.value_or("") : "";
    const std::string markerTrace = marker ? marker->traceId.value_or("") : "";
    const std::string ti = StringUtils::isNullOrEmpty(markerTrace) ? clip : markerTrace;

    // In key order, each placed at the end: the map never searches for a slot.
    std::pair<const char*, std::string> entries[] = {
        {"ai", ""},
        {"br", "Apple"},
        {"ch", channel},
        {"clip", clip},
        {"di", ""},
        {"gr", ""},
        {"gv", ""},
        {"li", ""},
        {"md", model.value_or("")},
        {"os", "iOS"},
        {"osvn", BundleInfo::osNameVersion()},
        {"pkg", BundleInfo::bundle()},
        {"sh", wholePixels(pixels.height)},
        {"svn", SDK_VERSION},
        {"sw", wholePixels(pixels.width)},
        {"ti", ti},
        {"vc", BundleInfo::appBuild()},
    };
    for (auto& [key, value] : entries) {
        if (!model && std::string_view(key) == "md") continue;
        params.emplace_hint(params.end(), key, std::move(value));
    }
    return params;
}

}  // namespace plovendale
