#include "util/base64.h"

#include <array>
#include <string>

namespace plovendale {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr auto kDecodeTable = makeDecodeTable();

}  // namespace

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

std::string base64Encode(const Bytes& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 0x3f];
        out += kAlphabet[(group >> 6) & 0x3f];
        out += kAlphabet[group & 0x3f];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        const std::uint32_t group = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 0x3f];
        out += rest == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
        out += '=';
    }
    return out;
}

}  // namespace plovendale
