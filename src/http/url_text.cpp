#include "http/url_text.h"

#include "util/text.h"

namespace plovendale::http {
std::string fileURLFromPath(const std::string& path) {
    std::string url = "file://";
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto end = slash == std::string::npos ? path.size() : slash;
        url += percentEscape(std::string_view(path).substr(start, end - start));
        if (slash == std::string::npos) break;
        url += '/';
        start = slash + 1;
    }
    return url;
}

std::optional<std::string> pathFromFileURL(const std::string& url) {
    static constexpr std::string_view kPrefix = "file://";
    if (url.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
    const std::string path = percentDecodeLenient(std::string_view(url).substr(kPrefix.size()));
    if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

}  // namespace plovendale::http
