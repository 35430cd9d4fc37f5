#pragma once

// HTTP syntax for header fields and cookies (ASCII; no locale). Case and escapes: util/text.h.

#include <algorithm>
#include <array>
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
    // Visible ASCII but the separators, as a table: every field name of every response goes
    // through here.
    static constexpr auto kTokenCharacters = [] {
        std::array<bool, 256> table{};
        constexpr std::string_view kSeparators = "\"(),/:;<=>?@[\\]{}";
        for (int c = 0x21; c < 0x7F; ++c) {
            table[static_cast<std::size_t>(c)] =
                kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
        }
        return table;
    }();
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return kTokenCharacters[static_cast<unsigned char>(c)]; });
}

/// A value that can go into a request header line without changing the message's framing.
inline bool isSafeFieldValue(std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

}  // namespace plovendale::curl
