#pragma once

// The library's one home for byte-level text helpers: ASCII case, hexadecimal digits,
// percent-escapes, strict base64 and UTF-8 checks. No locale anywhere: HTTP, URLs and the service
// speak ASCII, and a locale would make "I" and "i" differ by machine.
//
// Pure functions of their arguments: callable from any thread.

#include <optional>
#include <string>
#include <string_view>

#include "plovendale/platform/bytes.h"

namespace plovendale {

// ---- ASCII case -----------------------------------------------------------------------------

inline char lowerASCII(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline bool isAlphaASCII(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool isDigitASCII(char c) {
    return c >= '0' && c <= '9';
}
std::string lowercasedASCII(std::string_view text);
bool sameLengthEqualsIgnoringASCIICase(std::string_view a, std::string_view b);
/// The lengths, compared inline, tell most texts apart without a call (every field name of every
/// request and response is matched against a few names).
inline bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sameLengthEqualsIgnoringASCIICase(a, b);
}

// ---- Hexadecimal ------------------------------------------------------------------------------

inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";
inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
/// The value of a hexadecimal digit of either case, or -1.
int hexValue(char c);

// ---- Percent-escapes ----------------------------------------------------------------------------

/// The unreserved characters of RFC 3986: ASCII letters, digits and "-._~".
bool isUnreserved(unsigned char c);
/// Every byte but the unreserved characters as "%XX" with upper-case hexadecimal digits.
std::string percentEscape(std::string_view bytes);
/// Turns each "%" followed by two hexadecimal digits into its byte and reads the result as UTF-8.
/// "+" stays "+". Nothing for a "%" without two hexadecimal digits after it, or when the result
/// is not valid UTF-8.
std::optional<std::string> percentUnescape(std::string_view text);
/// Decodes every well-formed "%XX" and keeps anything else as written (file URLs, where a stray
/// "%" is part of a name).
std::string percentDecodeLenient(std::string_view text);

// ---- Base64 (RFC 4648) --------------------------------------------------------------------------

enum class Base64Alphabet { Standard, URLSafe };
/// The standard alphabet with "=" padding unless told otherwise; no line breaks.
std::string base64Encode(std::string_view bytes, Base64Alphabet alphabet = Base64Alphabet::Standard,
                         bool pad = true);
std::string base64Encode(const Bytes& bytes);
/// Strict base64 (standard alphabet, "=" padding): nothing for any character outside the alphabet
/// (line breaks included), a length that is not a multiple of four, misplaced padding, or padding
/// bits that are not zero.
std::optional<Bytes> base64Decode(std::string_view text);

// ---- UTF-8 --------------------------------------------------------------------------------------

/// Whether `text` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUTF8(std::string_view text);

}  // namespace plovendale
