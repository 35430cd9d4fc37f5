#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "plovendale/platform/bytes.h"

namespace plovendale::http {

/// The parts of an absolute URL text, as written (nothing is normalised).
struct URLParts {
    std::string scheme;  ///< the text before the first ":"
    std::optional<std::string>
        host;                       ///< without the brackets of an IPv6 literal; nothing when none
    std::string resourceSpecifier;  ///< everything after the scheme's ":"
};

/// The parts of the text when it is an absolute URL (libcurl's parser decides), otherwise nothing.
std::optional<URLParts> parseURL(const std::string& text);

/// Every byte but ASCII letters, digits and "-._~" as "%XX" with upper-case hexadecimal digits.
std::string percentEscape(std::string_view text);

/// RFC 4648 Base64 with padding and no line breaks.
std::string base64Encode(std::string_view bytes);

/// "file://" and the path, each byte of a path segment escaped as in percentEscape.
std::string fileURLFromPath(const std::string& path);
/// The path of a "file://" URL (escapes undone), or nothing for any other text.
std::optional<std::string> pathFromFileURL(const std::string& url);

}  // namespace plovendale::http
