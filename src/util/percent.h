#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plovendale {

/// Turns each "%" followed by two hexadecimal digits into its byte and reads the result as UTF-8.
/// "+" stays "+". Nothing for a "%" without two hexadecimal digits after it, or when the result
/// is not valid UTF-8.
std::optional<std::string> percentUnescape(std::string_view text);

/// Escapes every byte outside the unreserved set (ALPHA, DIGIT, "-", ".", "_", "~") as "%XX".
std::string percentEscape(std::string_view text);

}  // namespace plovendale
