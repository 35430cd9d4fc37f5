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

constexpr const char* shortEscape(unsigned char c) {
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

// One JSON string as nlohmann's dump writes it: quote, backslash and the five short control
// escapes, every other control character as \u00xx, everything else (non-ASCII included) as is.
// Kept beside dump for the install query's parameters, its state report and the outbox entry:
// going through a json object and dump there costs the query with its report about 100,000 more
// instructions (install_trace_bench: 2.24x raw libcurl's two requests instead of 1.7x). The json
// fuzz target holds the two to the same text.

// What escaping adds to a byte: one for a short escape, five for \u00xx.
constexpr std::array<std::uint8_t, 256> kEscapeGrowth = [] {
    std::array<std::uint8_t, 256> growth{};
    for (unsigned char c = 0; c < 0x20; ++c) growth[c] = shortEscape(c) ? 1 : 5;
    growth['"'] = growth['\\'] = 1;
    return growth;
}();

// The written length of `text`, quotes included; nothing when it is not valid UTF-8.
std::optional<std::size_t> quotedLength(std::string_view text) {
    std::size_t escapes = 0;
    unsigned bits = 0;  // of every byte: its top bit tells of text beyond ASCII
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        escapes += kEscapeGrowth[c];
        bits |= c;
    }
    if ((bits & 0x80) != 0 && !isValidUTF8(text)) return std::nullopt;
    return text.size() + escapes + 2;
}

// Writes `text` quoted at `out`, which has room for its `quotedLength`; answers the end. `plain`:
// nothing in it needs escaping.
char* writeQuoted(char* out, std::string_view text, bool plain) {
    *out++ = '"';
    if (plain) {
        out = std::copy(text.begin(), text.end(), out);
    } else {
        for (const char byte : text) {
            const auto c = static_cast<unsigned char>(byte);
            if (kEscapeGrowth[c] == 0) {
                *out++ = byte;
            } else if (const char* escaped = shortEscape(c)) {
                *out++ = escaped[0];
                *out++ = escaped[1];
            } else {
                const char unicode[] = {
                    '\\', 'u', '0', '0', kLowerHexDigits[c >> 4], kLowerHexDigits[c & 0xF]};
                out = std::copy(std::begin(unicode), std::end(unicode), out);
            }
        }
    }
    *out++ = '"';
    return out;
}

}  // namespace

bool appendJSONString(std::string& out, std::string_view text) {
    const auto quoted = quotedLength(text);
    if (!quoted) return false;
    const std::size_t start = out.size();
    out.resize(start + *quoted);
    writeQuoted(out.data() + start, text, *quoted == text.size() + 2);
    return true;
}

std::optional<Bytes> JSONSerialization::dataWithStringMembers(std::span<const StringMember> members,
                                                              Error* error) {
    // Measured whole first, so that the bytes are written once into room made for them.
    std::size_t size = members.empty() ? 2 : 1 + 2 * members.size();  // braces, colons, commas
    std::size_t plainSize = size;
    for (const auto& [key, value] : members) {
        const auto keyLength = quotedLength(key);
        if (!keyLength) {
            fill(error, kWriteInapplicableError, "Invalid UTF-8 text in JSON write (a key)");
            return std::nullopt;
        }
        const auto valueLength = quotedLength(value);
        if (!valueLength) {
            fill(error, kWriteInapplicableError,
                 "Invalid UTF-8 text in JSON write (the value of \"" + std::string(key) + "\")");
            return std::nullopt;
        }
        size += *keyLength + *valueLength;
        plainSize += key.size() + value.size() + 4;
    }
    const bool plain = size == plainSize;
    Bytes bytes(size);
    char* const first = reinterpret_cast<char*>(bytes.data());
    char* out = first;
    *out++ = '{';
    for (const auto& [key, value] : members) {
        if (out != first + 1) *out++ = ',';
        out = writeQuoted(out, key, plain);
        *out++ = ':';
        out = writeQuoted(out, value, plain);
    }
    *out = '}';
    return bytes;
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
