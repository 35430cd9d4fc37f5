#pragma once

#include <optional>
#include <string>

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

/// "file://" and the path, each byte of a path segment escaped as in percentEscape.
std::string fileURLFromPath(const std::string& path);
/// The path of a "file://" URL (escapes undone), or nothing for any other text.
std::optional<std::string> pathFromFileURL(const std::string& url);

}  // namespace plovendale::http
