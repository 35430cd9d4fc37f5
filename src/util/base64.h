#pragma once

#include <optional>
#include <string_view>

#include "plovendale/platform/bytes.h"

namespace plovendale {

/// Strict base64 (standard alphabet, "=" padding): nothing for any character outside the alphabet
/// (line breaks included), a length that is not a multiple of four, misplaced padding, or padding
/// bits that are not zero.
std::optional<Bytes> base64Decode(std::string_view text);

/// Standard base64 with "=" padding.
std::string base64Encode(const Bytes& bytes);

}  // namespace plovendale
