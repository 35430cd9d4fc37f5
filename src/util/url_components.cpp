#include "util/url_components.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "util/text.h"

namespace plovendale {
namespace {

struct CurlURLFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlURL = std::unique_ptr<CURLU, CurlURLFree>;

std::optional<std::string> getPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || !text) return std::nullopt;
    std::string value(text);
    curl_free(text);
    return value;
}

/// Length of the scheme at the start of `url` (letters, digits, "+", "-", "." after a letter,
/// then ":"), or 0 when there is none.
std::size_t schemeLength(std::string_view url) {
    if (url.empty() || !std::isalpha(static_cast<unsigned char>(url[0]))) return 0;
    for (std::size_t i = 1; i < url.size(); ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        if (c == ':') return i;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
    }
    return 0;
}

struct Prepared {
    std::string text;
    bool dropLeadingSlash = false;
};

// libcurl insists on an authority and reads "app:/c" and "app:///c" as host "c"; a URL without
// one keeps its whole path as written. Such URLs get a stand-in host so that the path and query
// come out as they stand in the text.
Prepared withAuthority(const std::string& url, std::size_t scheme) {
    const std::string_view rest = std::string_view(url).substr(scheme + 1);
    const std::string head = url.substr(0, scheme) + "://localhost";
    if (rest.starts_with("//") && !rest.starts_with("///")) return {url, false};
    if (rest.starts_with("///")) return {head + std::string(rest.substr(2)), false};
    if (rest.starts_with("/")) return {head + std::string(rest), false};
    return {head + "/" + std::string(rest), true};
}

std::vector<URLQueryItem> splitQuery(std::string_view query) {
    std::vector<URLQueryItem> items;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view piece = query.substr(start, end - start);
        const std::size_t equals = piece.find('=');
        URLQueryItem item;
        const std::string_view rawName = piece.substr(0, equals);
        item.name = percentUnescape(rawName).value_or(std::string(rawName));
        if (equals != std::string_view::npos)
            item.value = percentUnescape(piece.substr(equals + 1));
        items.push_back(std::move(item));
        if (end == query.size()) break;
        start = end + 1;
    }
    return items;
}

}  // namespace

std::optional<URLComponents> URLComponents::parse(const std::string& url) {
    // libcurl reads C strings: a NUL byte would silently cut the URL short.
    if (url.find('\0') != std::string::npos) return std::nullopt;
    const std::size_t scheme = schemeLength(url);
    if (scheme == 0) return std::nullopt;
    const Prepared prepared = withAuthority(url, scheme);

    CurlURL handle(curl_url());
    if (!handle) return std::nullopt;
    if (curl_url_set(handle.get(), CURLUPART_URL, prepared.text.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
        return std::nullopt;
    }
    URLComponents components;
    if (auto rawPath = getPart(handle.get(), CURLUPART_PATH)) {
        std::string_view path = *rawPath;
        if (prepared.dropLeadingSlash && path.starts_with("/")) path.remove_prefix(1);
        components.path = percentUnescape(path);
    }
    if (auto query = getPart(handle.get(), CURLUPART_QUERY))
        components.queryItems = splitQuery(*query);
    return components;
}

}  // namespace plovendale
