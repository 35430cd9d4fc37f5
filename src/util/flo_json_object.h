#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "plovendale/platform/bytes.h"
#include "plovendale/platform/error.h"

namespace plovendale {

/// A JSON number as the parser delivered it. `true` and `false` are numbers too (1 and 0), and
/// an integer stays an integer: callers that want a whole number get the integer part.
class JSONNumber {
  public:
    using Value = std::variant<std::int64_t, std::uint64_t, double, bool>;

    explicit JSONNumber(Value value) : value_(value) {}

    /// The integer part (a fraction is dropped; values beyond the 64-bit range saturate).
    std::int64_t longLongValue() const;
    double doubleValue() const;
    bool boolValue() const { return doubleValue() != 0; }
    bool isFloatingPoint() const { return std::holds_alternative<double>(value_); }
    bool isBoolean() const { return std::holds_alternative<bool>(value_); }
    const Value& value() const { return value_; }

  private:
    Value value_;
};

/// `value` as a number, as FLOJSONObject::number answers it: nothing unless it is a number or a
/// boolean.
std::optional<JSONNumber> numberOf(const nlohmann::json& value);

/// The kinds a wrapper can be asked about. A mutable container is also of the immutable kind.
enum class JSONKind { Dictionary, MutableDictionary, Array, MutableArray, String, Number, Null };

/// A read-only view over one parsed JSON value that answers only the kind it is asked for.
///
/// A handle is cheap to copy; copies share one wrapper, so a container's wrapped children are
/// built once and every copy sees the same children. The empty handle (and a wrapper over
/// nothing) answers every accessor with nothing, so a chain such as
/// `FLOJSONObject::objectWithData(body).objectForKey("data").objectForKey("channel").string()`
/// needs no checks in between. Kinds never convert: a number is not a string and a string of digits
/// is not a number.
///
/// `array` and `dictionary` wrap the container's direct elements once, on first success, and from
/// then on the wrapper answers only that container kind (`string`, `verifyClass` and the other
/// accessors answer nothing). Not safe for concurrent use: one wrapper, one thread at a time.
class FLOJSONObject {
  public:
    using Array = std::vector<FLOJSONObject>;
    using Dictionary = std::map<std::string, FLOJSONObject>;

    /// The empty handle.
    FLOJSONObject() = default;

    /// Parses `data` (options as for JSONSerialization). Absent, empty or malformed data, or a
    /// top-level scalar without kJSONReadingAllowFragments, gives the empty handle; `error` is
    /// filled when the parser refused the text.
    static FLOJSONObject objectWithData(const std::optional<Bytes>& data, unsigned options = 0,
                                        Error* error = nullptr);
    static FLOJSONObject initWithData(const std::optional<Bytes>& data, unsigned options = 0,
                                      Error* error = nullptr) {
        return objectWithData(data, options, error);
    }
    /// A wrapper over `value`, taken as it is (null means nothing). The pointer may alias a node
    /// inside a larger tree that it keeps alive. `mutableContainers` marks its containers mutable.
    static FLOJSONObject initWithUnderlyingObject(std::shared_ptr<const nlohmann::json> value,
                                                  bool mutableContainers = false);

    /// Whether the handle holds a wrapper (possibly one over nothing).
    explicit operator bool() const { return state_ != nullptr; }

    bool verifyClass(JSONKind kind) const;
    std::optional<std::string> string() const;
    std::optional<JSONNumber> number() const;
    /// Whether the value is JSON null (the null marker); false for nothing.
    bool null() const;

    std::optional<Array> array() const;
    std::optional<Dictionary> dictionary() const;
    /// A new copy of `array()` (same child wrappers), available once the wrapper has been mapped
    /// as an array or when its raw array is mutable; nothing otherwise.
    std::optional<Array> mutableArray() const;
    std::optional<Dictionary> mutableDictionary() const;

    /// `dictionary()`, then the child under `key` (exact match); the empty handle otherwise.
    FLOJSONObject objectForKey(const std::string& key) const;

    /// Whether both handles share one wrapper.
    bool isIdenticalTo(const FLOJSONObject& other) const { return state_ == other.state_; }

  private:
    struct State;
    explicit FLOJSONObject(std::shared_ptr<State> state) : state_(std::move(state)) {}
    const Array* mappedArray() const;
    const Dictionary* mappedDictionary() const;

    std::shared_ptr<State> state_;
};

/// Applies `transform` to every element, in order; the result has the same length and order.
template <class Container, class Transform>
auto flo_map(const Container& array, Transform&& transform) {
    using Element = typename Container::value_type;
    using Result = std::decay_t<std::invoke_result_t<Transform&, const Element&>>;
    std::vector<Result> mapped;
    mapped.reserve(array.size());
    for (const auto& element : array) mapped.push_back(transform(element));
    return mapped;
}

/// Applies `transform` to every key and its value; the result has the same set of keys.
template <class Map, class Transform>
auto flo_mapObjects(const Map& dictionary, Transform&& transform) {
    using Key = typename Map::key_type;
    using Value = typename Map::mapped_type;
    using Result = std::decay_t<std::invoke_result_t<Transform&, const Key&, const Value&>>;
    std::map<Key, Result> mapped;
    for (const auto& [key, value] : dictionary)
        mapped.emplace_hint(mapped.end(), key, transform(key, value));
    return mapped;
}

}  // namespace plovendale
