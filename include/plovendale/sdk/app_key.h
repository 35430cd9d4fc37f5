#pragma once

#include <cstddef>
#include <string_view>

namespace plovendale {

/// The one rule for application keys, shared by the library, its tools and the reference
/// service: 1 to 128 ASCII letters, digits, "-" and "_". The key stands unescaped in a host label
/// ("clb-<key>") and as a URL path segment; characters a label cannot carry ("." splits it, "~"
/// is refused by DNS) would make every query fail far from the cause.
inline constexpr std::size_t MAX_APP_KEY_LENGTH = 128;
inline constexpr const char* APP_KEY_RULE =
    "1 to 128 letters, digits, \"-\" and \"_\" (no \".\", \"~\" or spaces)";

/// Whether `key` follows the rule above. Any thread.
constexpr bool isValidAppKey(std::string_view key) {
    if (key.empty() || key.size() > MAX_APP_KEY_LENGTH) return false;
    for (const char c : key) {
        const bool letterOrDigit =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '-' && c != '_') return false;
    }
    return true;
}

}  // namespace plovendale
