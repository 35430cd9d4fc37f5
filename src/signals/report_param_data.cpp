#include "signals/report_param_data.h"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>
#include <variant>

#include "host/locale_signals.h"
#include "plovendale/platform/log.h"
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

namespace {

// A language or time zone the host's device services give; one that fails the check a
// configuration's passes is not sent, and said (a configured one was checked when it entered).
std::optional<std::string> checkedSignal(std::optional<std::string> value, const char* name,
                                         const char* (*problem)(std::string_view)) {
    if (!value) return std::nullopt;
    const char* why = problem(*value);
    if (!why) return value;
    Log::write(std::string("[Plovendale] The device services' ") + name + " is " + why +
               "; it is not sent.");
    return std::nullopt;
}

}  // namespace

std::vector<std::pair<const char*, std::string>> ReportParamData::orderedParams() {
    const std::optional<std::string> model = Device::getVersionCode();
    const auto device = Platform::device();
    auto language = checkedSignal(device->language(), "language", internal::languageTagProblem);
    auto timeZone = checkedSignal(device->timeZone(), "time zone", internal::timeZoneProblem);
    const PixelSize pixels = screenPixels(model);
    std::string clip = UIPasteboardHelper::getCacheTraceId();
    const std::optional<SignData> marker = SignInfoUtils::getSignData();
    std::string channel = marker ? marker->channel.value_or("") : "";
    std::string markerTrace = marker ? marker->traceId.value_or("") : "";
    std::string ti = StringUtils::isNullOrEmpty(markerTrace) ? clip : std::move(markerTrace);

    std::vector<std::pair<const char*, std::string>> params;
    params.reserve(19);
    params.emplace_back("ai", "");
    params.emplace_back("br", "Apple");
    params.emplace_back("ch", std::move(channel));
    params.emplace_back("clip", std::move(clip));
    params.emplace_back("di", "");
    params.emplace_back("gr", "");
    params.emplace_back("gv", "");
    if (language) params.emplace_back("lang", std::move(*language));
    params.emplace_back("li", "");
    if (model) params.emplace_back("md", *model);
    params.emplace_back("os", "iOS");
    params.emplace_back("osvn", BundleInfo::osNameVersion());
    params.emplace_back("pkg", BundleInfo::bundle());
    params.emplace_back("sh", wholePixels(pixels.height));
    params.emplace_back("svn", SDK_VERSION);
    params.emplace_back("sw", wholePixels(pixels.width));
    params.emplace_back("ti", std::move(ti));
    if (timeZone) params.emplace_back("tz", std::move(*timeZone));
    params.emplace_back("vc", BundleInfo::appBuild());
    return params;
}

std::map<std::string, std::string> ReportParamData::getParams() {
    std::map<std::string, std::string> params;
    // In key order, each placed at the end: the map never searches for a slot.
    for (auto& [key, value] : orderedParams())
        params.emplace_hint(params.end(), key, std::move(value));
    return params;
}

}  // namespace plovendale
