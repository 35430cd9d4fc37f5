#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "plovendale/export.h"

namespace plovendale {

/// A value of a form or query dictionary: a text or a number. Wherever it is written into a
/// request its textual form is used: a text unchanged, an integer in decimal (a boolean as 1 or 0),
/// a fraction in the shortest decimal form that reads back to the same number.
class PLOVENDALE_API STHTTPValue {
  public:
    STHTTPValue() : value_(std::string()) {}
    STHTTPValue(std::string text) : value_(std::move(text)) {}
    STHTTPValue(const char* text) : value_(std::string(text ? text : "")) {}
    template <std::signed_integral T>
    STHTTPValue(T number) : value_(static_cast<std::int64_t>(number)) {}
    template <std::unsigned_integral T>
    STHTTPValue(T number) : value_(static_cast<std::uint64_t>(number)) {}
    STHTTPValue(bool flag) : value_(static_cast<std::int64_t>(flag ? 1 : 0)) {}
    STHTTPValue(double number) : value_(number) {}

    bool isText() const { return std::holds_alternative<std::string>(value_); }
    std::string textualForm() const;

    bool operator==(const STHTTPValue&) const = default;

  private:
    std::variant<std::string, std::int64_t, std::uint64_t, double> value_;
};

/// Form fields or query parameters: text keys, kept (and iterated) in ascending key order.
using STHTTPDictionary = std::map<std::string, STHTTPValue>;

}  // namespace plovendale
