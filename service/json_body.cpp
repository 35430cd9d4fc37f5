#include "json_body.h"

namespace plovendale::attribution_service {

using nlohmann::json;

std::optional<json> parseObjectBody(const std::string& body, std::string& error) {
    bool tooDeep = false;
    const json::parser_callback_t limitDepth = [&tooDeep](int depth, json::parse_event_t, json&) {
        if (depth > kMaxJsonDepth) tooDeep = true;
        return depth <= kMaxJsonDepth;  // drop what lies deeper so it is never built
    };
    json parsed = json::parse(body, limitDepth, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        error = "body is not valid JSON";
        return std::nullopt;
    }
    if (tooDeep) {
        error = "body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return std::nullopt;
    }
    if (!parsed.is_object()) {
        error = "body must be a JSON object";
        return std::nullopt;
    }
    return parsed;
}

std::string jsonText(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> stringMember(const json& object, const char* name) {
    if (!object.is_object()) return std::nullopt;
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void replyJson(httplib::Response& res, int httpStatus, const json& body) {
    res.status = httpStatus;
    res.set_content(jsonText(body), "application/json");
}

void replyError(httplib::Response& res, int httpStatus, const std::string& message) {
    replyJson(res, httpStatus, json{{"status", httpStatus}, {"error", message}});
}

}  // namespace plovendale::attribution_service
