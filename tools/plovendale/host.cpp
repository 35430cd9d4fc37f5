#include "host.h"

#include <cstdlib>
#include <regex>

#include "plovendale/platform/pasteboard.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"

namespace plovendale::cli {

const std::set<std::string> kHostOptions = {"app-key",         "data-dir",     "bundle",
                                            "pasteboard-html", "device-model", "screen",
                                            "native-scale",    "os-version"};

namespace {

bool parseNumber(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0) || value > 1e7) return false;
    *out = value;
    return true;
}

}  // namespace

bool configureHost(const ParsedArguments& args, std::string* error) {
    PlatformConfiguration config;
    config.dataDirectory = args.get("data-dir").value_or("");
    config.bundleDirectory = args.get("bundle").value_or("");
    config.pasteboard = makeInProcessPasteboard();
    if (auto html = args.get("pasteboard-html")) {
        config.pasteboard->setItems(
            {PasteboardItem{{Pasteboard::kHTMLType, PasteboardValue{*html}}}});
    }
    if (auto model = args.get("device-model")) config.machineName = *model;
    if (auto screen = args.get("screen")) {
        static const std::regex form(R"(([0-9.]+)x([0-9.]+)@([0-9.]+))");
        std::smatch m;
        ScreenMetrics metrics;
        if (!std::regex_match(*screen, m, form) || !parseNumber(m[1], &metrics.width) ||
            !parseNumber(m[2], &metrics.height) || !parseNumber(m[3], &metrics.scale)) {
            *error = "--screen expects WxH@SCALE in points, for example 390x844@3";
            return false;
        }
        metrics.nativeScale = metrics.scale;
        config.screen = metrics;
    }
    if (auto nativeScale = args.get("native-scale")) {
        double value = 0;
        if (!parseNumber(*nativeScale, &value)) {
            *error = "--native-scale expects a number";
            return false;
        }
        if (!config.screen) config.screen = ScreenMetrics{};
        config.screen->nativeScale = value;
    }
    if (auto version = args.get("os-version")) {
        static const std::regex form(R"(([0-9]{1,9})\.([0-9]{1,9})\.([0-9]{1,9}))");
        std::smatch m;
        if (!std::regex_match(*version, m, form)) {
            *error = "--os-version expects X.Y.Z, for example 17.4.1";
            return false;
        }
        config.osVersion =
            OperatingSystemVersion{std::stoll(m[1]), std::stoll(m[2]), std::stoll(m[3])};
    }
    if (args.has("quiet")) config.logSink = [](std::string_view) {};
    config.additionalCAFile = args.get("ca-file").value_or("");
    if (!Platform::configure(std::move(config))) {
        *error = "cannot read a PEM certificate from " + *args.get("ca-file");
        return false;
    }
    return true;
}

void startLibrary(const ParsedArguments& args,
                  const std::shared_ptr<PlovendaleDelegate>& delegate) {
    if (auto key = args.get("app-key")) {
        Plovendale::initWithDelegate(delegate, *key);
    } else {
        Plovendale::initWithDelegate(delegate);
    }
}

}  // namespace plovendale::cli
