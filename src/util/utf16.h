#pragma once

#include <unicode/unistr.h>

#include <cstdint>
#include <string>

namespace plovendale {

/// The UTF-16 form of UTF-8 text; ill-formed sequences become U+FFFD. Text too long for one
/// UTF-16 string gives a bogus string (test with isBogus()).
icu::UnicodeString toUTF16(const std::string& utf8);

/// The UTF-8 text of `length` code units of `text` from `start`; the part outside `text` is
/// left out, so a bad range never reads out of bounds.
std::string utf16Substring(const icu::UnicodeString& text, std::int32_t start, std::int32_t length);

}  // namespace plovendale
