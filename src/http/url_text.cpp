#include "http/url_text.h"

#include <curl/curl.h>

#include <memory>

#include "util/text.h"

namespace plovendale::http {
namespace {

struct URLHandleCloser {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

}  // namespace

std::optional<URLParts> parseURL(const std::string& text) {
    if (text.find('\0') != std::string::npos) return std::nullopt;
    std::unique_ptr<CURLU, URLHandleCloser> handle(curl_url());
    if (!handle) return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK) {
        return std::nullopt;
    }
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    URLParts parts;
    parts.scheme = text.substr(0, colon);
    parts.resourceSpecifier = text.substr(colon + 1);
    char* host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host) {
        std::string value(host);
        if (value.size() >= 2 && value.front() == '[' && value.back() == ']')
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) parts.host = std::move(value);
    }
    curl_free(host);
    return parts;
}

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
