#include "money.h"

#include <algorithm>

namespace plovendale::attribution_service {
namespace {

constexpr int kMaxIntegerDigits = 15;
constexpr int kFractionDigits = 6;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<Micros> parseAmount(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || whole.size() > kMaxIntegerDigits) return std::nullopt;
    if (point != std::string_view::npos && (fraction.empty() || fraction.size() > kFractionDigits))
        return std::nullopt;
    if (!std::all_of(whole.begin(), whole.end(), isDigit) ||
        !std::all_of(fraction.begin(), fraction.end(), isDigit))
        return std::nullopt;
    Micros value = 0;
    for (const char c : whole) value = value * 10 + (c - '0');
    for (int i = 0; i < kFractionDigits; ++i) {
        value = value * 10 + (i < static_cast<int>(fraction.size()) ? fraction[i] - '0' : 0);
    }
    return negative ? -value : value;
}

std::string formatAmount(Micros amount) {
    const bool negative = amount < 0;
    Micros magnitude = negative ? -amount : amount;
    std::string digits;
    for (int i = 0; i < kFractionDigits || magnitude > 0; ++i) {
        digits.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    }
    if (digits.size() == kFractionDigits) digits.push_back('0');
    std::reverse(digits.begin(), digits.end());
    std::string fraction = digits.substr(digits.size() - kFractionDigits);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    std::string text = negative ? "-" : "";
    text += digits.substr(0, digits.size() - kFractionDigits);
    if (!fraction.empty()) text += "." + fraction;
    return text;
}

bool isCurrencyCode(std::string_view text) {
    return text.size() == 3 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::string microsDigits(Micros value) {
    if (value == 0) return "0";
    const bool negative = value < 0;
    std::string digits;
    while (value != 0) {
        const auto digit = static_cast<int>(value % 10);
        digits.insert(digits.begin(), static_cast<char>('0' + (negative ? -digit : digit)));
        value /= 10;
    }
    return negative ? "-" + digits : digits;
}

Micros microsOfDigits(std::string_view text) {
    Micros value = 0;
    const bool negative = !text.empty() && text.front() == '-';
    for (std::size_t i = negative ? 1 : 0; i < text.size(); ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

}  // namespace plovendale::attribution_service
