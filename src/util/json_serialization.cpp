#include "util/json_serialization.h"

#include <algorithm>
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

const char* shortEscape(unsigned char c) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            return nullptr;
    }
}

}  // namespace

// One JSON string as the general writer puts it: quote, backslash and the five short control
// escapes, every other control character as \u00xx, everything else (non-ASCII included) as is.
bool appendJSONString(std::string& out, std::string_view text) {
    if (!isValidUTF8(text)) return false;
    out.push_back('"');
    const auto* run = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* const end = run + text.size();
    for (const auto* p = run; p != end; ++p) {
        if (*p >= 0x20 && *p != '"' && *p != '\\') continue;
        out.append(reinterpret_cast<const char*>(run),
                   static_cast<std::size_t>(p - run));  // the plain characters before this one
        run = p + 1;
        if (const char* escaped = shortEscape(*p)) {
            out.append(escaped, 2);
        } else {
            const char unicode[] = {
                '\\', 'u', '0', '0', kLowerHexDigits[*p >> 4], kLowerHexDigits[*p & 0xF]};
            out.append(unicode, sizeof unicode);
        }
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
    out.push_back('"');
    return true;
}

std::optional<Bytes> JSONSerialization::dataWithStringMembers(std::span<const StringMember> members,
                                                              Error* error) {
    std::size_t size = 2;
    for (const auto& [key, value] : members) size += key.size() + value.size() + 6;
    // Written as text, which appends a run in one copy, and handed over as bytes in one more.
    std::string out;
    out.reserve(size);
    out.push_back('{');
    for (const auto& [key, value] : members) {
        if (out.size() > 1) out.push_back(',');
        if (!appendJSONString(out, key)) {
            fill(error, kWriteInapplicableError, "Invalid UTF-8 text in JSON write (a key)");
            return std::nullopt;
        }
        out.push_back(':');
        if (!appendJSONString(out, value)) {
            fill(error, kWriteInapplicableError,
                 "Invalid UTF-8 text in JSON write (the value of \"" + std::string(key) + "\")");
            return std::nullopt;
        }
    }
    out.push_back('}');
    const auto* first = reinterpret_cast<const std::uint8_t*>(out.data());
    return Bytes(first, first + out.size());
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
    // non-throwing form reports malformed text (and invalid UTF-8) as a discarded value. It reads
    // from a std::string, as every other parse in the library does, so that hosts carry one copy
    // of the parser rather than two (about 10 KB).
    auto root = std::make_shared<nlohmann::json>(nlohmann::json::parse(
        std::string(data.begin(), data.end()), nullptr, /*allow_exceptions=*/false));
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
