#pragma once

#include <string_view>

namespace plovendale {

/// Whether `text` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUTF8(std::string_view text);

}  // namespace plovendale
