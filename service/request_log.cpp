#include "request_log.h"

#include <cstdio>
#include <mutex>

#include "identifiers.h"

namespace plovendale::attribution_service {

std::string escapeForLog(std::string_view text, std::size_t maxBytes) {
    const bool cut = text.size() > maxBytes;
    if (cut) text = text.substr(0, maxBytes);
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    if (cut) out += "...";
    return out;
}

std::string requestLogLine(std::string_view method, std::string_view path, int status,
                           double elapsedMs) {
    char tail[64];
    std::snprintf(tail, sizeof tail, " %d %.1fms", status, elapsedMs);
    const std::string shownMethod = method.empty() ? "-" : escapeForLog(method, 16);
    return utcTimestamp() + " " + shownMethod + " " + escapeForLog(path) + tail;
}

void writeLogLine(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace plovendale::attribution_service
