#include "util/utf16.h"

#include <climits>

namespace plovendale {

icu::UnicodeString toUTF16(const std::string& utf8) {
    icu::UnicodeString text;
    // A UTF-8 text never has more UTF-16 units than bytes, so this bound is enough.
    if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) {
        text.setToBogus();
        return text;
    }
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string utf16Substring(const icu::UnicodeString& text, std::int32_t start,
                           std::int32_t length) {
    std::string out;
    if (start < 0 || length <= 0 || start >= text.length()) return out;
    if (length > text.length() - start) length = text.length() - start;
    text.tempSubString(start, length).toUTF8String(out);
    return out;
}

}  // namespace plovendale
