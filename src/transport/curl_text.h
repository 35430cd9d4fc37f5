#pragma once

// HTTP syntax for header fields and cookies (ASCII; no locale). Case and escapes: util/text.h.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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
    // Every field of every request is checked: eight bytes at a time, then the rest one by one.
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const auto hasZeroByte = [](std::uint64_t word) { return (word - kOnes) & ~word & kHighs; };
    const char* at = text.data();
    std::size_t left = text.size();
    for (; left >= sizeof(std::uint64_t); left -= sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        at += sizeof word;
        if (hasZeroByte(word) | hasZeroByte(word ^ (kOnes * '\r')) |
            hasZeroByte(word ^ (kOnes * '\n'))) {
            return false;
        }
    }
    return std::none_of(at, at + left, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

}  // namespace plovendale::curl
