// In-app events and the reports outbox through the C interface.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "capi/binding.h"
#include "plovendale/sdk/plovendale.h"
#include "util/json_serialization.h"

using namespace plovendale;

extern "C" {

int plovendale_set_event_observer(plovendale_event_callback observer, void* context) {
    return guarded(__func__, [&] {
        if (!observer) {
            Plovendale::setEventObserver(nullptr);
            return PLOVENDALE_OK;
        }
        Plovendale::setEventObserver([observer, context](const PlovendaleEvent& event) {
            // A map's members come in key order, as the JSON text wants them.
            const std::vector<JSONSerialization::StringMember> members(event.values.begin(),
                                                                       event.values.end());
            const auto values = JSONSerialization::dataWithStringMembers(members);
            observer(context, event.name.c_str(), values ? toString(*values).c_str() : "{}");
        });
        return PLOVENDALE_OK;
    });
}

int plovendale_queued_report_count(void) {
    return guarded(__func__, [] {
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(std::min(Plovendale::queuedReportCount(), most));
    });
}

int plovendale_track_event(const char* name, const char* params_json, const char* revenue_amount,
                           const char* revenue_currency, const char* event_id) {
    if (!name || !revenue_amount != !revenue_currency) return PLOVENDALE_ERROR_INVALID_ARGUMENT;
    return guarded(__func__, [&] {
        std::map<std::string, std::string> params;
        if (params_json) {
            const auto object = parseJSONText(params_json);
            if (!object.is_object()) return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
            for (const auto& [key, value] : object.items()) {
                if (!value.is_string()) return static_cast<int>(PLOVENDALE_ERROR_INVALID_ARGUMENT);
                params[key] = value.get<std::string>();
            }
        }
        std::optional<Revenue> revenue;
        if (revenue_amount) revenue = Revenue{revenue_amount, revenue_currency};
        std::optional<std::string> id;
        if (event_id) id = event_id;
        return Plovendale::trackEvent(name, params, revenue, id) ? 1 : 0;
    });
}

int plovendale_flush(double timeout_ms) {
    return guarded(__func__, [&] { return static_cast<int>(Plovendale::flush(timeout_ms)); });
}

int plovendale_queued_event_count(void) {
    return guarded(__func__, [] {
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(std::min(Plovendale::queuedEventCount(), most));
    });
}

}  // extern "C"
