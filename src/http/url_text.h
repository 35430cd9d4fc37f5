#pragma once

#include <optional>
#include <string>

namespace plovendale::http {

/// "file://" and the path, each byte of a path segment escaped as in percentEscape.
std::string fileURLFromPath(const std::string& path);
/// The path of a "file://" URL (escapes undone), or nothing for any other text.
std::optional<std::string> pathFromFileURL(const std::string& url);

}  // namespace plovendale::http
