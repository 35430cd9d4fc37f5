#pragma once

#include <string>
#include <string_view>

namespace plovendale::attribution_service {

/// Makes request-supplied text safe for a one-line, space-separated log: control characters,
/// spaces, quotes, backslashes and bytes outside ASCII become \xHH (a decoded "%0A" in a path must
/// not start a forged log line, nor "%20" forge a field), and text beyond maxBytes is cut with
/// "...".
std::string escapeForLog(std::string_view text, std::size_t maxBytes = 256);

/// "<UTC time> <METHOD> <path> <status> <elapsed>ms", method and path escaped.
std::string requestLogLine(std::string_view method, std::string_view path, int status,
                           double elapsedMs);

/// Writes one line to stderr in a single call, so concurrent lines never interleave.
void writeLogLine(const std::string& line);

}  // namespace plovendale::attribution_service
