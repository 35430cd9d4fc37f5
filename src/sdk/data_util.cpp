#include "sdk/data_util.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <utility>

#include "util/flo_json_object.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

// The member `key` of `object` when it is a string.
std::optional<std::string> textMember(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

/// `text` as a JSON object, read as JSONObjectWithData takes text (a NUL byte refused, UTF-8
/// checked, nothing after the value); null when it is not one. Of a key given twice, the last
/// value counts.
nlohmann::json readObject(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos) return nullptr;
    auto value = parseJSONText(text);
    return value.is_object() ? std::move(value) : nlohmann::json(nullptr);
}

/// `value`, or "" when it is missing, empty or a lone space (as StringUtils::isNullOrEmpty has it).
std::string nonEmpty(std::optional<std::string> value) {
    return StringUtils::isNullOrEmpty(value) ? std::string() : std::move(*value);
}

}  // namespace

std::optional<ResData> DataUtil::parseResData(const std::optional<Bytes>& body) {
    if (!body) return std::nullopt;
    const auto answer = readObject(toString(*body));
    const auto status = answer.find("status");  // end() of anything but an object
    if (status == answer.end() || !numberOf(*status)) return std::nullopt;

    ResData result;
    result.code = numberOf(*status)->longLongValue();
    result.traceId = "";
    const auto data = answer.find("data");
    if (data != answer.end() && data->is_object()) {
        result.data = AppData{nonEmpty(textMember(*data, "params_data")),
                              nonEmpty(textMember(*data, "channel"))};
        result.traceId = textMember(*data, "trace_id").value_or("");
    }
    result.msg = textMember(answer, "error");
    return result;
}

std::string DataUtil::appData2Json(const std::optional<AppData>& appData) {
    if (!appData) return "";
    // In key order, as the general writer orders an object's members.
    JSONSerialization::StringMember members[2];
    std::size_t count = 0;
    if (appData->channel) members[count++] = {"channel", *appData->channel};
    if (appData->paramsData) members[count++] = {"params_data", *appData->paramsData};
    auto bytes = JSONSerialization::dataWithStringMembers({members, count});
    return bytes ? toString(*bytes) : std::string();
}

std::optional<AppData> DataUtil::parseAppData(const std::optional<std::string>& text) {
    if (StringUtils::isNullOrEmpty(text)) return std::nullopt;
    const auto object = readObject(*text);
    if (!object.is_object()) return AppData{"", ""};
    return AppData{nonEmpty(textMember(object, "params_data")),
                   nonEmpty(textMember(object, "channel"))};
}

}  // namespace plovendale
