#include "http/url_text.h"

#include <curl/curl.h>

#include <memory>

namespace plovendale::http {
namespace {

struct URLHandleCloser {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

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

std::string percentEscape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
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
    std::string path;
    for (std::size_t i = kPrefix.size(); i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size() && hexValue(url[i + 1]) >= 0 &&
            hexValue(url[i + 2]) >= 0) {
            path += static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
            i += 2;
        } else {
            path += url[i];
        }
    }
    if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

}  // namespace plovendale::http
