#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "plovendale/platform/bytes.h"
#include "plovendale/platform/error.h"

namespace plovendale {

/// A parsed JSON document. `true` and `false` are read as the numbers 1 and 0 by every reader of
/// the library; containers count as mutable only when parsed with kJSONReadingMutableContainers.
struct JSONDocument {
    std::shared_ptr<const nlohmann::json> root;
    bool mutableContainers = false;
};

/// Reading option bit: mark every container of the document mutable.
inline constexpr unsigned kJSONReadingMutableContainers = 1;
/// Reading option bit: accept a scalar at the top level.
inline constexpr unsigned kJSONReadingAllowFragments = 4;

inline constexpr const char* kJSONErrorDomain = "NSCocoaErrorDomain";

/// Appends `text` to `out` as a JSON string, quoted and escaped as dataWithJSONObject writes it.
/// False, and `out` unchanged, when `text` is not valid UTF-8.
bool appendJSONString(std::string& out, std::string_view text);

/// The value `text` holds, or a discarded one for text that is not JSON (nothing may follow the
/// value). The one JSON reader of the library's own formats and of the service's answers.
nlohmann::json parseJSONText(const std::string& text);

/// JSON text to values and back. No exception escapes; failures are answers.
class JSONSerialization {
  public:
    /// Compact UTF-8 text of `object` (options 0: no white space). Nothing, and `error` filled,
    /// when the value holds text that is not valid UTF-8 or a number that is not finite.
    static std::optional<Bytes> dataWithJSONObject(const nlohmann::json& object, unsigned options,
                                                   Error* error = nullptr);

    using StringMember = std::pair<std::string_view, std::string_view>;

    /// An object of string members, written straight from them in the order given. With keys in
    /// ascending order and each once, the text is the one dataWithJSONObject gives for the same
    /// object. Nothing, and `error` filled, when a key or a value is not valid UTF-8.
    static std::optional<Bytes> dataWithStringMembers(std::span<const StringMember> members,
                                                      Error* error = nullptr);

    /// Parses UTF-8 JSON text. With options 0 only an object or an array is accepted at the top
    /// level; empty or malformed text gives nothing and fills `error`. Nesting depth is not limited
    /// by the call stack.
    static std::optional<JSONDocument> JSONObjectWithData(const Bytes& data, unsigned options,
                                                          Error* error = nullptr);
};

}  // namespace plovendale
