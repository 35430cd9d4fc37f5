// Set-Cookie fields of a response, filed in a cookie store and matched against request URLs.

#include <algorithm>
#include <map>

#include "fuzz_support.h"
#include "transport/http_cookie_storage.h"

using namespace plovendale;

namespace {

const char* const kURLs[] = {
    "http://example.com/a/b",
    "https://www.example.com/",
    "https://sub.www.example.com/a/",
    "http://127.0.0.1:8080/x/y",
    "http://localhost/",
    "https://[::1]:8443/p?q=1#f",
    "http://EXAMPLE.com/A",
    "https://example.com/a/b/c.html",
};
constexpr std::size_t kURLCount = sizeof kURLs / sizeof kURLs[0];

bool isSafeHeaderValue(const std::string& value) {
    return std::none_of(value.begin(), value.end(),
                        [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader input(data, size);
    const std::uint8_t choice = input.byte();
    // The URL that answered: one of the table, or fuzzed text.
    const std::string url =
        (choice & 0x80) ? std::string(input.field('\n')) : kURLs[choice % kURLCount];
    std::vector<std::pair<std::string, std::string>> fields;
    while (fields.size() < 16) {
        const std::string_view line = input.field('\n');
        if (line.empty() && fields.size() > 0) break;
        // Mostly Set-Cookie, sometimes another name (only Set-Cookie may count).
        const bool other = !line.empty() && line.front() == '!';
        fields.emplace_back(
            other ? "X-Set-Cookie" : ((fields.size() % 2) ? "set-cookie" : "Set-Cookie"),
            std::string(other ? line.substr(1) : line));
    }

    const auto cookies = HTTPCookie::cookiesWithResponseHeaderFields(fields, url);
    std::map<std::string, std::string> joined;  // as allHeaderFields joins repeated fields
    for (const auto& [name, value] : fields) {
        auto [entry, added] = joined.try_emplace(name, value);
        if (!added) entry->second += ", " + value;
    }
    for (const auto& cookie : HTTPCookie::cookiesWithResponseHeaderFields(joined, url))
        FUZZ_CHECK(!cookie.name.empty());
    HTTPCookieStorage store;
    for (const auto& cookie : cookies) {
        FUZZ_CHECK(!cookie.name.empty() && !cookie.path.empty());
        store.setCookie(cookie);
    }
    // Two request URLs per input (each lookup parses its URL): the fuzzer varies which.
    for (const char* target :
         {kURLs[choice % kURLCount], kURLs[(choice / kURLCount) % kURLCount]}) {
        const auto matching = store.cookiesForURL(target);
        for (const auto& [name, value] : HTTPCookie::requestHeaderFieldsWithCookies(matching)) {
            // A cookie must never be able to add a line to a request.
            FUZZ_CHECK(isSafeHeaderValue(value));
        }
    }
    if (choice & 0x80) store.cookiesForURL(url);
    if (!cookies.empty()) store.deleteCookie(cookies.front());
    store.cookies();
    return 0;
}
