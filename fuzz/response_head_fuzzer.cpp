// A response head as a hostile or broken service shapes it, read as the transport reads it: line
// by line (status lines, fields, folding, informational blocks first), made into the response, its
// Set-Cookie fields through the cookie parser (both forms) and its Location through the
// redirection rule. The first two bytes pick the status code, which libcurl reads.

#include "fuzz_support.h"
#include "plovendale/platform/http_cookie.h"
#include "transport/curl_exchange.h"
#include "transport/curl_handles.h"
#include "util/url_components.h"

using namespace plovendale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::int64_t status = 100 + ((input.byte() << 8) | input.byte()) % 500;
    std::vector<std::pair<std::string, std::string>> fields;
    while (!input.empty()) {
        const std::string line = std::string(input.field('\n')) + "\r\n";
        if (curl::readHeadLine(line, fields) == curl::HeadLine::End) break;
    }
    const std::string url = "https://service.example:8443/v1/install-trace";
    const HTTPURLResponse response = curl::makeResponse(url, status, std::move(fields));
    FUZZ_CHECK(response.statusCode == status);
    for (const auto& [name, value] : response.rawHeaderFields)
        FUZZ_CHECK(response.valueForHTTPHeaderField(name).has_value());

    for (const auto& cookies :
         {HTTPCookie::cookiesWithResponseHeaderFields(response.rawHeaderFields, url),
          HTTPCookie::cookiesWithResponseHeaderFields(response.allHeaderFields, url)}) {
        for (const auto& cookie : cookies) FUZZ_CHECK(!cookie.name.empty());
        (void)HTTPCookie::requestHeaderFieldsWithCookies(cookies);
    }

    URLRequest request;
    request.url = url;
    request.httpMethod = "POST";
    request.headerFields.set("Authorization", "Bearer secret");
    if (const auto next = curl::redirectRequest(request, response)) {
        // Credentials go no further than the origin that was given them.
        ParsedURL to;
        const bool sameOrigin = curl::parseHTTPURL(next->url, to) == curl::URLCheck::Ok &&
                                to.scheme == "https" && to.host == "service.example" &&
                                to.port == "8443";
        FUZZ_CHECK(sameOrigin || !next->headerFields.get("Authorization"));
    }
    return 0;
}
