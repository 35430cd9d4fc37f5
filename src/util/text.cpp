#include "util/text.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace plovendale {
namespace {

constexpr char kStandardAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURLSafeAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kStandardAlphabet[i])] = i;
    return table;
}

constexpr auto kDecodeTable = makeDecodeTable();

}  // namespace

std::string lowercasedASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerASCII(c);
    return out;
}

bool sameLengthEqualsIgnoringASCIICase(std::string_view a, std::string_view b) {
    // Header names are nearly always compared with the spelling they were written in: one block
    // compare answers those, and only a near miss is walked byte by byte.
    if (a == b) return true;
    return std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return lowerASCII(x) == lowerASCII(y); });
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreserved(unsigned char c) {
    return isAlphaASCII(static_cast<char>(c)) || isDigitASCII(static_cast<char>(c)) || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percentEscape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (isUnreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kUpperHexDigits[c >> 4];
            out += kUpperHexDigits[c & 0x0f];
        }
    }
    return out;
}

std::optional<std::string> percentUnescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!isValidUTF8(out)) return std::nullopt;
    return out;
}

std::string percentDecodeLenient(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string base64Encode(std::string_view bytes, Base64Alphabet alphabet, bool pad) {
    const char* digits = alphabet == Base64Alphabet::URLSafe ? kURLSafeAlphabet : kStandardAlphabet;
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (k < count ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            if (k <= count) {
                out += digits[(group >> (18 - 6 * k)) & 0x3f];
            } else if (pad) {
                out += '=';
            }
        }
    }
    return out;
}

std::string base64Encode(const Bytes& bytes) {
    return base64Encode(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t accumulator = 0;
    const std::size_t dataLength = text.size() - padding;
    for (std::size_t i = 0; i < dataLength; ++i) {
        const std::uint8_t value = kDecodeTable[static_cast<unsigned char>(text[i])];
        if (value == kInvalid) return std::nullopt;  // also catches "=" before the end
        accumulator = (accumulator << 6) | value;
        if (i % 4 == 3) {
            out.push_back(static_cast<std::uint8_t>(accumulator >> 16));
            out.push_back(static_cast<std::uint8_t>(accumulator >> 8));
            out.push_back(static_cast<std::uint8_t>(accumulator));
            accumulator = 0;
        }
    }
    // A padded final group carries 12 or 18 bits; the bits beyond its bytes must be zero.
    if (padding == 2) {
        if (accumulator & 0x0f) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(accumulator >> 4));
    } else if (padding == 1) {
        if (accumulator & 0x03) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(accumulator >> 10));
        out.push_back(static_cast<std::uint8_t>(accumulator >> 2));
    }
    return out;
}

bool isValidUTF8(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t offset = 0;
    while (offset < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0) return false;
    }
    return true;
}

}  // namespace plovendale
