#pragma once

// HTTP syntax for header fields and cookies (ASCII; no locale). Case and escapes: util/text.h.

#include <algorithm>
#include <string>
#include <string_view>

#include "util/text.h"

namespace plovendale::curl {

inline std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

/// RFC 9110 token: field names and methods.
inline bool isToken(std::string_view text) {
    if (text.empty()) return false;
    static constexpr std::string_view kSeparators = "\"(),/:;<=>?@[\\]{}";
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && kSeparators.find(c) == std::string_view::npos;
    });
}

/// A value that can go into a request header line without changing the message's framing.
inline bool isSafeFieldValue(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

}  // namespace plovendale::curl
