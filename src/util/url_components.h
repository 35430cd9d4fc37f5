#pragma once

#include <optional>
#include <string>
#include <vector>

namespace plovendale {

/// One "name=value" piece of a query, both percent-decoded ("+" stays "+"). The value is nothing
/// when the piece has no "=" or its value is not a well-formed escape of UTF-8 text.
struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;
};

/// The parts of a URL that link handling reads, parsed by libcurl's URL API (any scheme).
struct URLComponents {
    /// The path with its escapes decoded; nothing when they do not decode to UTF-8 text.
    std::optional<std::string> path;
    /// The query split on "&" and then at the first "="; nothing when the URL has no query.
    std::optional<std::vector<URLQueryItem>> queryItems;

    /// Nothing when the text is not an absolute URL (or holds a NUL byte).
    static std::optional<URLComponents> parse(const std::string& url);
};

}  // namespace plovendale
