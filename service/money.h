#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace plovendale::attribution_service {

/// An amount of money in millionths of a unit. 128 bits, because the largest amount an event may
/// carry (15 integer and 6 fraction digits) is already past 64 bits, and sums must never wrap nor
/// round: revenue is added as exact decimals, never as doubles.
__extension__ using Micros = __int128;

/// The amount written as ^-?[0-9]{1,15}(\.[0-9]{1,6})?$, or nothing for any other text.
std::optional<Micros> parseAmount(std::string_view text);

/// Decimal text of an amount: no exponent, no trailing zeros in the fraction, no fraction when it
/// is whole ("19.98", "10", "-0.5").
std::string formatAmount(Micros amount);

/// A sum of micros as integer decimal text ("-1500000"), for a database to keep exactly: 64-bit
/// integers would overflow and floating point would round.
std::string microsDigits(Micros value);
/// The sum microsDigits wrote.
Micros microsOfDigits(std::string_view text);

/// Three upper-case ASCII letters, the shape of an ISO 4217 code.
bool isCurrencyCode(std::string_view text);

}  // namespace plovendale::attribution_service
