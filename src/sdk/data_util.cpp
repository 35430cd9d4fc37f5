#include "sdk/data_util.h"

#include <nlohmann/json.hpp>

#include "util/flo_json_object.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

/// The string under `key`, or "" when it is missing, not a string or empty.
std::string nonEmptyString(const FLOJSONObject& object, const char* key) {
    auto value = object.objectForKey(key).string();
    return StringUtils::isNullOrEmpty(value) ? std::string() : *value;
}

}  // namespace

std::optional<ResData> DataUtil::parseResData(const std::optional<Bytes>& body) {
    const FLOJSONObject root = FLOJSONObject::objectWithData(body);
    const auto status = root.objectForKey("status").number();
    if (!status) return std::nullopt;

    ResData result;
    result.code = status->longLongValue();
    result.traceId = "";
    const FLOJSONObject data = root.objectForKey("data");
    if (data.dictionary()) {
        result.data = AppData{nonEmptyString(data, "params_data"), nonEmptyString(data, "channel")};
        result.traceId = data.objectForKey("trace_id").string().value_or("");
    }
    result.msg = root.objectForKey("error").string();
    return result;
}

std::string DataUtil::appData2Json(const std::optional<AppData>& appData) {
    if (!appData) return "";
    nlohmann::json object = nlohmann::json::object();
    if (appData->paramsData) object["params_data"] = *appData->paramsData;
    if (appData->channel) object["channel"] = *appData->channel;
    auto bytes = JSONSerialization::dataWithJSONObject(object, 0);
    return bytes ? toString(*bytes) : std::string();
}

std::optional<AppData> DataUtil::parseAppData(const std::optional<std::string>& text) {
    if (StringUtils::isNullOrEmpty(text)) return std::nullopt;
    const FLOJSONObject root = FLOJSONObject::objectWithData(toBytes(*text));
    return AppData{nonEmptyString(root, "params_data"), nonEmptyString(root, "channel")};
}

}  // namespace plovendale
