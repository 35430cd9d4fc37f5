#include "util/flo_json_object.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "util/json_serialization.h"

namespace plovendale {
namespace {

constexpr std::int64_t kJSONReadCorruptError = 3840;

}  // namespace

std::int64_t JSONNumber::longLongValue() const {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (const auto* integer = std::get_if<std::int64_t>(&value_)) return *integer;
    if (const auto* flag = std::get_if<bool>(&value_)) return *flag ? 1 : 0;
    if (const auto* unsignedValue = std::get_if<std::uint64_t>(&value_)) {
        return *unsignedValue > static_cast<std::uint64_t>(kMax)
                   ? kMax
                   : static_cast<std::int64_t>(*unsignedValue);
    }
    // Converting a double outside the 64-bit range is undefined, so saturate first.
    const double floating = std::get<double>(value_);
    if (std::isnan(floating)) return 0;
    if (floating >= 9223372036854775808.0) return kMax;
    if (floating < -9223372036854775808.0) return kMin;
    return static_cast<std::int64_t>(std::trunc(floating));
}

double JSONNumber::doubleValue() const {
    return std::visit([](auto number) { return static_cast<double>(number); }, value_);
}

struct FLOJSONObject::State {
    std::shared_ptr<const nlohmann::json> raw;
    bool mutableContainers = false;
    std::variant<std::monostate, Array, Dictionary> mapped;

    ~State();
};

// A deeply nested document that has been walked level by level holds a chain of wrappers as
// deep as the document; releasing it recursively could exhaust the stack, so the chain is taken
// apart here with an explicit worklist.
FLOJSONObject::State::~State() {
    std::vector<FLOJSONObject> pending;
    auto takeChildren = [&pending](std::variant<std::monostate, Array, Dictionary>& cache) {
        if (auto* array = std::get_if<Array>(&cache)) {
            for (auto& child : *array) pending.push_back(std::move(child));
        } else if (auto* dictionary = std::get_if<Dictionary>(&cache)) {
            for (auto& entry : *dictionary) pending.push_back(std::move(entry.second));
        }
        cache = std::monostate{};
    };
    takeChildren(mapped);
    while (!pending.empty()) {
        FLOJSONObject child = std::move(pending.back());
        pending.pop_back();
        if (child.state_ && child.state_.use_count() == 1) takeChildren(child.state_->mapped);
    }
}

FLOJSONObject FLOJSONObject::objectWithData(const std::optional<Bytes>& data, unsigned options,
                                            Error* error) {
    if (!data) return {};
    // The parser stops at a NUL byte as if the text ended there, so "{...}\0anything" would pass.
    // JSON text never holds a raw NUL, so such data is refused here.
    if (std::find(data->begin(), data->end(), std::uint8_t{0}) != data->end()) {
        if (error) {
            *error = Error::make(
                kJSONErrorDomain, kJSONReadCorruptError,
                "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
        }
        return {};
    }
    auto document = JSONSerialization::JSONObjectWithData(*data, options, error);
    if (!document) return {};
    return initWithUnderlyingObject(std::move(document->root), document->mutableContainers);
}

FLOJSONObject FLOJSONObject::initWithUnderlyingObject(std::shared_ptr<const nlohmann::json> value,
                                                      bool mutableContainers) {
    auto state = std::make_shared<State>();
    state->raw = std::move(value);
    state->mutableContainers = mutableContainers;
    return FLOJSONObject(std::move(state));
}

bool FLOJSONObject::verifyClass(JSONKind kind) const {
    if (!state_ || !state_->raw) return false;
    const nlohmann::json& raw = *state_->raw;
    switch (kind) {
        case JSONKind::Dictionary:
            return raw.is_object();
        case JSONKind::MutableDictionary:
            return raw.is_object() && state_->mutableContainers;
        case JSONKind::Array:
            return raw.is_array();
        case JSONKind::MutableArray:
            return raw.is_array() && state_->mutableContainers;
        case JSONKind::String:
            return raw.is_string();
        case JSONKind::Number:
            return raw.is_number() || raw.is_boolean();
        case JSONKind::Null:
            return raw.is_null();
    }
    return false;
}

std::optional<std::string> FLOJSONObject::string() const {
    if (!verifyClass(JSONKind::String)) return std::nullopt;
    return state_->raw->get_ref<const nlohmann::json::string_t&>();
}

std::optional<JSONNumber> numberOf(const nlohmann::json& value) {
    if (value.is_boolean()) return JSONNumber(value.get<bool>());
    if (value.is_number_unsigned()) return JSONNumber(value.get<std::uint64_t>());
    if (value.is_number_integer()) return JSONNumber(value.get<std::int64_t>());
    if (value.is_number_float()) return JSONNumber(value.get<double>());
    return std::nullopt;
}

std::optional<JSONNumber> FLOJSONObject::number() const {
    if (!state_ || !state_->raw) return std::nullopt;
    return numberOf(*state_->raw);
}

bool FLOJSONObject::null() const {
    return verifyClass(JSONKind::Null);
}

const FLOJSONObject::Array* FLOJSONObject::mappedArray() const {
    if (!state_) return nullptr;
    if (const auto* cached = std::get_if<Array>(&state_->mapped)) return cached;
    if (!verifyClass(JSONKind::Array)) return nullptr;
    // Children alias nodes of the same tree and keep it alive, so nothing is copied.
    const std::shared_ptr<const nlohmann::json> raw = std::move(state_->raw);
    const bool mutableContainers = state_->mutableContainers;
    state_->mapped =
        flo_map(raw->get_ref<const nlohmann::json::array_t&>(), [&](const nlohmann::json& element) {
            return initWithUnderlyingObject(std::shared_ptr<const nlohmann::json>(raw, &element),
                                            mutableContainers);
        });
    return &std::get<Array>(state_->mapped);
}

const FLOJSONObject::Dictionary* FLOJSONObject::mappedDictionary() const {
    if (!state_) return nullptr;
    if (const auto* cached = std::get_if<Dictionary>(&state_->mapped)) return cached;
    if (!verifyClass(JSONKind::Dictionary)) return nullptr;
    const std::shared_ptr<const nlohmann::json> raw = std::move(state_->raw);
    const bool mutableContainers = state_->mutableContainers;
    state_->mapped = flo_mapObjects(raw->get_ref<const nlohmann::json::object_t&>(),
                                    [&](const std::string&, const nlohmann::json& value) {
                                        return initWithUnderlyingObject(
                                            std::shared_ptr<const nlohmann::json>(raw, &value),
                                            mutableContainers);
                                    });
    return &std::get<Dictionary>(state_->mapped);
}

std::optional<FLOJSONObject::Array> FLOJSONObject::array() const {
    if (const Array* mapped = mappedArray()) return *mapped;
    return std::nullopt;
}

std::optional<FLOJSONObject::Dictionary> FLOJSONObject::dictionary() const {
    if (const Dictionary* mapped = mappedDictionary()) return *mapped;
    return std::nullopt;
}

std::optional<FLOJSONObject::Array> FLOJSONObject::mutableArray() const {
    if (!state_) return std::nullopt;
    if (!std::holds_alternative<Array>(state_->mapped) && !verifyClass(JSONKind::MutableArray)) {
        return std::nullopt;
    }
    return array();
}

std::optional<FLOJSONObject::Dictionary> FLOJSONObject::mutableDictionary() const {
    if (!state_) return std::nullopt;
    if (!std::holds_alternative<Dictionary>(state_->mapped) &&
        !verifyClass(JSONKind::MutableDictionary)) {
        return std::nullopt;
    }
    return dictionary();
}

FLOJSONObject FLOJSONObject::objectForKey(const std::string& key) const {
    const Dictionary* mapped = mappedDictionary();
    if (!mapped) return {};
    auto found = mapped->find(key);
    return found == mapped->end() ? FLOJSONObject() : found->second;
}

}  // namespace plovendale
