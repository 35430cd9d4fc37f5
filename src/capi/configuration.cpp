// Configuration through the C interface: what a binding hands over of its platform.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "capi/binding.h"
#include "host/locale_signals.h"
#include "plovendale/platform/platform.h"
#include "sdk/core_helper.h"

using namespace plovendale;

extern "C" {

int plovendale_configure(const char* data_directory, const char* bundle_directory) {
    plovendale_configuration configuration{};
    configuration.size = sizeof configuration;
    configuration.data_directory = data_directory;
    configuration.bundle_directory = bundle_directory;
    return plovendale_configure_with(&configuration);
}

int plovendale_configure_with(const plovendale_configuration* given) {
    if (!given || given->size < offsetof(plovendale_configuration, ca_file))
        return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        if (internal::startState() == internal::StartState::Started) {
            Log::write(
                "[Plovendale] plovendale_configure refused: the library is running; call "
                "plovendale_shutdown first.");
            return static_cast<int>(PLOVENDALE_ERROR_STATE);
        }
        // What a caller built against an older, shorter struct did not pass reads as unset.
        plovendale_configuration c{};
        std::memcpy(&c, given, std::min(given->size, sizeof c));
        PlatformConfiguration configuration;
        configuration.dataDirectory = textOr(c.data_directory);
        configuration.bundleDirectory = textOr(c.bundle_directory);
        configuration.additionalCAFile = textOr(c.ca_file);
        if (c.device_model) configuration.machineName = c.device_model;
        if (c.os_version) {
            OperatingSystemVersion version;
            char tail = 0;
            long long parts[3] = {0, 0, 0};
            if (std::sscanf(c.os_version, "%lld.%lld.%lld%c", &parts[0], &parts[1], &parts[2],
                            &tail) != 3) {
                Log::write(std::string("[Plovendale] plovendale_configure_with refused the OS "
                                       "version, it is not MAJOR.MINOR.PATCH: ") +
                           c.os_version);
                return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
            }
            version.major = parts[0];
            version.minor = parts[1];
            version.patch = parts[2];
            configuration.osVersion = version;
        }
        // Checked here, so that a refused one changes nothing, as a refused OS version does.
        const std::tuple<const char*, const char*, const char* (*)(std::string_view),
                         std::optional<std::string>*>
            signals[] = {
                {"language", c.language, internal::languageTagProblem, &configuration.language},
                {"time zone", c.time_zone, internal::timeZoneProblem, &configuration.timeZone}};
        for (const auto& [name, text, problem, field] : signals) {
            if (!text) continue;
            if (const char* why = problem(text)) {
                Log::write(std::string("[Plovendale] plovendale_configure_with refused the ") +
                           name + " \"" + std::string(text).substr(0, 40) + "\", it is " + why);
                return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
            }
            *field = text;
        }
        if (c.screen_width > 0 && c.screen_height > 0) {
            configuration.screen = ScreenMetrics{c.screen_width, c.screen_height, c.screen_scale,
                                                 c.screen_native_scale};
        }
        // Platform::configure installs the configuration's sink: the relay keeps the callback a
        // binding set (or stderr) in place.
        configuration.logSink = relayLine;
        return static_cast<int>(Platform::configure(std::move(configuration))
                                    ? PLOVENDALE_OK
                                    : PLOVENDALE_ERROR_INVALID_ARGUMENT);
    });
}

int plovendale_set_pasteboard(const char* plain_text, const char* html) {
    return guarded(__func__, [&] {
        PasteboardItem item;
        if (plain_text) item.emplace(Pasteboard::kPlainTextType, std::string(plain_text));
        if (html) item.emplace(Pasteboard::kHTMLType, std::string(html));
        std::vector<PasteboardItem> items;
        if (!item.empty()) items.push_back(std::move(item));
        Platform::generalPasteboard()->setItems(std::move(items));
        return static_cast<int>(PLOVENDALE_OK);
    });
}

}  // extern "C"
