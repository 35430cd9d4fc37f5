#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/curl_exchange.h"
#include "transport/curl_handles.h"
#include "util/url_components.h"

namespace plovendale::curl {

// The header lines handed to libcurl for a request's fields.
struct HeaderLines {
    std::vector<std::pair<std::string, std::string>> fields;  ///< those that made the lines
    Slist lines;
    std::optional<std::string> acceptEncoding;  ///< announced by libcurl, which then decodes
    bool refusesContinue = false;               ///< holds the empty Expect line
};

/// The path an upload file names (a plain path, or a file: URL).
std::string filePathOf(const std::string& text);
/// The size of the regular file at `path`; nothing for anything else.
std::optional<std::int64_t> fileSize(const std::string& path);
/// Whether `method` is the method `name` (a literal).
bool isMethod(const std::string& method, std::string_view name);
/// The hosts libcurl is to reach without a proxy; `built` keeps a list made for the call.
const char* noProxyList(std::string& built);
/// The URL read for a transfer, shared with the exchanges that went to it lately on this thread.
URLCheck readHTTPURL(const std::string& url, std::shared_ptr<const ReadURL>& read);
/// The header lines for `fields`, shared with the exchanges that sent the same lately on this
/// thread; null when libcurl is out of memory. bodyReadOut: the body is read out piece by piece.
std::shared_ptr<const HeaderLines> headerLinesFor(const HTTPHeaderFields& fields, bool bodyReadOut);

template <typename T>
void setOption(CURL* easy, CURLoption option, T value) {
    // Options set here are all known to this libcurl (checked at start-up); a failure would only be
    // out of memory, which the transfer then reports.
    (void)curl_easy_setopt(easy, option, value);
}

}  // namespace plovendale::curl
