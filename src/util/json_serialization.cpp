#include "util/json_serialization.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "util/text.h"

namespace plovendale {
namespace {

void fill(Error* error, std::int64_t code, const std::string& description) {
    if (error) *error = Error::make(kJSONErrorDomain, code, description);
}

constexpr std::int64_t kReadCorruptError = 3840;
constexpr std::int64_t kWriteInapplicableError = 3851;

// JSON has no NaN or infinity; the writer would put null in their place and change the value
// without a word. The walk keeps its own stack, so a deep tree costs no call-stack depth.
const char* nonFiniteNumber(const nlohmann::json& root) {
    std::vector<const nlohmann::json*> pending{&root};
    while (!pending.empty()) {
        const nlohmann::json* value = pending.back();
        pending.pop_back();
        if (value->is_number_float()) {
            const double number = value->get<double>();
            if (std::isnan(number)) return "Invalid number value (NaN) in JSON write";
            if (std::isinf(number)) return "Invalid number value (infinite) in JSON write";
        } else if (value->is_structured()) {
            for (const auto& child : *value) pending.push_back(&child);
        }
    }
    return nullptr;
}

}  // namespace

bool appendJSONString(std::string& out, std::string_view text) {
    try {
        out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        return true;
    } catch (const std::exception&) {
        return false;  // not UTF-8
    }
}

std::optional<Bytes> JSONSerialization::dataWithStringMembers(std::span<const StringMember> members,
                                                              Error* error) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, value] : members) object[std::string(key)] = value;
    return dataWithJSONObject(object, 0, error);
}

std::optional<Bytes> JSONSerialization::dataWithJSONObject(const nlohmann::json& object,
                                                           unsigned /*options*/, Error* error) {
    if (!object.is_object() && !object.is_array()) {
        fill(error, kWriteInapplicableError, "Invalid top-level type in JSON write");
        return std::nullopt;
    }
    if (const char* why = nonFiniteNumber(object)) {
        fill(error, kWriteInapplicableError, why);
        return std::nullopt;
    }
    try {
        // Strict: text that is not UTF-8 is an error, never silently replaced.
        const std::string text =
            object.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        return toBytes(text);
    } catch (const std::exception& e) {
        fill(error, kWriteInapplicableError, e.what());
        return std::nullopt;
    }
}

bool parseJSONEvents(const std::string& text, nlohmann::json_sax<nlohmann::json>& events) {
    return nlohmann::json::sax_parse(text, &events, nlohmann::json::input_format_t::json,
                                     /*strict=*/true);
}

nlohmann::json parseJSONText(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

std::optional<JSONDocument> JSONSerialization::JSONObjectWithData(const Bytes& data,
                                                                  unsigned options, Error* error) {
    // JSON text never holds a raw NUL byte; refusing it up front keeps a NUL from cutting the
    // text short and letting trailing garbage pass.
    if (data.empty() || std::find(data.begin(), data.end(), 0) != data.end()) {
        fill(error, kReadCorruptError,
             "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
        return std::nullopt;
    }
    // The parser keeps its own stack on the heap, so deep nesting cannot overflow ours; the
    // non-throwing form reports malformed text (and invalid UTF-8) as a discarded value.
    auto root =
        std::make_shared<nlohmann::json>(parseJSONText(std::string(data.begin(), data.end())));
    if (root->is_discarded()) {
        fill(error, kReadCorruptError,
             "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
        return std::nullopt;
    }
    if (!(options & kJSONReadingAllowFragments) && !root->is_object() && !root->is_array()) {
        fill(error, kReadCorruptError, "JSON text did not start with array or object.");
        return std::nullopt;
    }
    return JSONDocument{std::move(root), (options & kJSONReadingMutableContainers) != 0};
}

}  // namespace plovendale
