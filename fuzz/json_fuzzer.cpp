// JSON text through the value wrapper (every accessor, every level) and through the serialiser
// (read, write, read again); the same bytes as an object of strings, through the direct writer and
// the general one, which must give the same text; and as the service's install answer and the
// cached link data read back on later launches.

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sdk/data_util.h"
#include "util/flo_json_object.h"
#include "util/json_serialization.h"

using namespace plovendale;

namespace {

constexpr int kMaxDepth = 64;

void visit(const FLOJSONObject& object, int depth) {
    object.verifyClass(JSONKind::MutableDictionary);
    object.string();
    if (const auto number = object.number()) number->longLongValue();
    if (depth >= kMaxDepth) return;
    if (const auto dictionary = object.dictionary()) {
        // Mapped once as a dictionary, the value is nothing else from then on.
        FUZZ_CHECK(object.mutableDictionary().has_value() && !object.array());
        for (const auto& [key, child] : *dictionary) {
            FUZZ_CHECK(object.objectForKey(key).isIdenticalTo(child));
            visit(child, depth + 1);
        }
    } else if (const auto array = object.array()) {
        for (std::size_t i = 0; i < array->size(); ++i) {
            visit((*array)[i], depth + 1);
        }
        FUZZ_CHECK(!object.dictionary());
    }
}

bool allNumbersFinite(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (!value.is_structured()) return true;
    for (const auto& child : value) {
        if (!allNumbersFinite(child)) return false;
    }
    return true;
}

void writeStringObject(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader fields(data, size);
    std::map<std::string, std::string> object;
    for (int i = 0; i < 64 && !fields.empty(); ++i) {
        const std::string key(fields.field('\x1f'));
        object[key] = std::string(fields.field('\x1f'));
    }
    const std::vector<JSONSerialization::StringMember> members(object.begin(), object.end());
    const auto direct = JSONSerialization::dataWithStringMembers(members);
    const auto general = JSONSerialization::dataWithJSONObject(nlohmann::json(object), 0);
    FUZZ_CHECK(direct == general);
}

void readInstallAnswer(std::string_view text) {
    const auto answer = DataUtil::parseResData(fuzz::bytesOf(text));
    if (answer && answer->data) {
        // What the query caches must read back as the same link data.
        const std::string cached = DataUtil::appData2Json(answer->data);
        if (!cached.empty()) {
            const auto back = DataUtil::parseAppData(cached);
            FUZZ_CHECK(back && back->paramsData == answer->data->paramsData &&
                       back->channel == answer->data->channel);
        }
    }
    const auto cached = DataUtil::parseAppData(std::string(text));
    FUZZ_CHECK(cached.has_value() || text.empty() || text == " ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    writeStringObject(data, size);
    readInstallAnswer(std::string_view(reinterpret_cast<const char*>(data), size));
    fuzz::InputReader input(data, size);
    const unsigned options =
        input.byte() & (kJSONReadingMutableContainers | kJSONReadingAllowFragments);
    const Bytes text = fuzz::bytesOf(input.rest());

    Error error;
    const FLOJSONObject object = FLOJSONObject::objectWithData(text, options, &error);
    if (object) visit(object, 0);

    const auto document = JSONSerialization::JSONObjectWithData(text, options);
    FUZZ_CHECK(document.has_value() == static_cast<bool>(object));
    if (!document) return 0;
    const nlohmann::json& root = *document->root;
    const auto written = JSONSerialization::dataWithJSONObject(root, 0);
    if (!root.is_structured()) {
        FUZZ_CHECK(!written);
        return 0;
    }
    // Text the parser accepted writes back, and reads again as the same value.
    FUZZ_CHECK(written.has_value() == allNumbersFinite(root));
    if (!written) return 0;
    const auto again = JSONSerialization::JSONObjectWithData(*written, 0);
    FUZZ_CHECK(again && *again->root == root);
    return 0;
}
