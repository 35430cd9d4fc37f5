#include "sdk/data_util.h"

#include <nlohmann/json.hpp>

#include "util/flo_json_object.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

// The answer is read straight off the parsed tree: a handful of fields, each read once, need no
// wrapper per member.

/// The string under `key`, or "" when it is missing, not a string or empty (or `object` is not an
/// object).
std::string nonEmptyString(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return {};
    const auto& value = found->get_ref<const std::string&>();
    return StringUtils::isNullOrEmpty(value) ? std::string() : value;
}

std::optional<JSONDocument> documentOf(const Bytes& data) {
    return JSONSerialization::JSONObjectWithData(data, 0);
}

}  // namespace

std::optional<ResData> DataUtil::parseResData(const std::optional<Bytes>& body) {
    if (!body) return std::nullopt;
    const auto document = documentOf(*body);
    if (!document || !document->root->is_object()) return std::nullopt;
    const nlohmann::json& root = *document->root;
    const auto status = root.find("status");
    const auto code = status == root.end() ? std::nullopt : numberOf(*status);
    if (!code) return std::nullopt;

    ResData result;
    result.code = code->longLongValue();
    result.traceId = "";
    if (const auto data = root.find("data"); data != root.end() && data->is_object()) {
        result.data =
            AppData{nonEmptyString(*data, "params_data"), nonEmptyString(*data, "channel")};
        if (const auto traceId = data->find("trace_id");
            traceId != data->end() && traceId->is_string()) {
            result.traceId = traceId->get_ref<const std::string&>();
        }
    }
    if (const auto error = root.find("error"); error != root.end() && error->is_string())
        result.msg = error->get_ref<const std::string&>();
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
    const auto document = documentOf(toBytes(*text));
    if (!document) return AppData{"", ""};
    return AppData{nonEmptyString(*document->root, "params_data"),
                   nonEmptyString(*document->root, "channel")};
}

}  // namespace plovendale
