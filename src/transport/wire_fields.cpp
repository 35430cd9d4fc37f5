// The request as it goes on the wire, the request proposed for a redirection, and the response
// read from a header block.

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "transport/curl_exchange.h"
#include "transport/curl_text.h"
#include "transport/http_cookie_storage.h"

namespace plovendale::curl {
namespace {

std::optional<std::string> charsetOf(std::string_view contentType) {
    std::size_t start = contentType.find(';');
    while (start != std::string_view::npos) {
        const std::size_t end = contentType.find(';', start + 1);
        std::string_view parameter =
            contentType.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
        start = end;
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos ||
            !equalsIgnoringASCIICase(trimmed(parameter.substr(0, equals)), "charset")) {
            continue;
        }
        std::string_view value = trimmed(parameter.substr(equals + 1));
        if (!value.empty() && value.front() == '"') {
            value.remove_prefix(1);
            value = value.substr(0, value.find('"'));
        }
        value = trimmed(value);
        if (value.empty()) return std::nullopt;
        return lowercasedASCII(value);
    }
    return std::nullopt;
}

std::int64_t contentLengthOf(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || text.size() > 18) return -1;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Names every request is checked for, as views made once (a literal would be measured each time).
constexpr std::string_view kContentLength = "Content-Length";
constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kTransferEncoding = "Transfer-Encoding";
constexpr std::string_view kExpect = "Expect";
constexpr std::string_view kCookie = "Cookie";

// The fields as sent, or nothing when they are the request's own unchanged (as those of a request
// prepared before are): most requests are sent without a copy of their fields.
std::optional<HTTPHeaderFields> changedWireFields(const URLRequest& request,
                                                  std::optional<std::int64_t> bodySize,
                                                  const HTTPCookieStorage* jar) {
    std::optional<HTTPHeaderFields> changed;
    const auto edit = [&]() -> HTTPHeaderFields& {
        if (!changed) changed = request.headerFields;
        return *changed;
    };
    // The caller's fields, less those refused. Names are already unique, so the set keeps its
    // order. A length keeps its place only to be replaced by the true one below. The fields the
    // steps below look for are noted on the way (those kept are the same in an edited copy).
    bool hasCookie = false;
    bool hasContentType = false;
    const std::string* sentLength = nullptr;
    for (const auto& [name, value] : request.headerFields.entries()) {
        const bool isLength = equalsIgnoringASCIICase(name, kContentLength);
        // Framing is the service's: a caller's length or coding could split or smuggle messages.
        if (!isToken(name) || !isSafeFieldValue(value) || (!bodySize && isLength) ||
            equalsIgnoringASCIICase(name, kTransferEncoding) ||
            equalsIgnoringASCIICase(name, kExpect)) {
            edit().remove(name);
        } else if (isLength) {
            sentLength = &value;
        } else {
            hasCookie = hasCookie || equalsIgnoringASCIICase(name, kCookie);
            hasContentType = hasContentType || equalsIgnoringASCIICase(name, kContentType);
        }
    }
    if (request.httpShouldHandleCookies && jar && !hasCookie) {
        std::vector<HTTPCookie> cookies = jar->cookiesForURL(request.url);
        std::erase_if(cookies, [](const HTTPCookie& cookie) {
            return !isSafeFieldValue(cookie.name) || !isSafeFieldValue(cookie.value);
        });
        if (!cookies.empty()) {  // most requests have none to send
            for (const auto& [name, value] : HTTPCookie::requestHeaderFieldsWithCookies(cookies))
                edit().set(name, value);
        }
    }
    if (bodySize) {
        if (*bodySize > 0 && !hasContentType) {
            edit().set("Content-Type", "application/x-www-form-urlencoded");
        }
        // Written into a buffer: most requests already carry this very length.
        std::array<char, 24> digits{};
        const char* end =
            std::to_chars(digits.data(), digits.data() + digits.size(), *bodySize).ptr;
        const std::string_view length(digits.data(), static_cast<std::size_t>(end - digits.data()));
        if (!sentLength || *sentLength != length) edit().set("Content-Length", std::string(length));
    }
    return changed;
}

URLRequest withFields(const URLRequest& request, HTTPHeaderFields fields) {
    URLRequest prepared;
    prepared.url = request.url;
    prepared.httpMethod = request.httpMethod.empty() ? "GET" : request.httpMethod;
    prepared.cachePolicy = request.cachePolicy;
    prepared.timeoutInterval = request.timeoutInterval;
    prepared.httpBody = request.httpBody;
    prepared.httpShouldHandleCookies = request.httpShouldHandleCookies;
    prepared.headerFields = std::move(fields);
    return prepared;
}

}  // namespace

URLRequest prepareRequest(const URLRequest& request, std::optional<std::int64_t> bodySize,
                          const HTTPCookieStorage* jar) {
    auto changed = changedWireFields(request, bodySize, jar);
    if (!changed) return withFields(request, request.headerFields);
    return withFields(request, std::move(*changed));
}

std::shared_ptr<const URLRequest> prepareRequest(std::shared_ptr<const URLRequest> request,
                                                 std::optional<std::int64_t> bodySize,
                                                 const HTTPCookieStorage* jar) {
    auto changed = changedWireFields(*request, bodySize, jar);
    // A request prepared before (by the request object, say) goes as it is, body not copied.
    if ((!changed || *changed == request->headerFields) && !request->httpMethod.empty())
        return request;
    if (!changed) changed = request->headerFields;  // only a request without a method
    return std::make_shared<const URLRequest>(withFields(*request, std::move(*changed)));
}

std::optional<URLRequest> redirectRequest(const URLRequest& request,
                                          const HTTPURLResponse& response) {
    const auto status = response.statusCode;
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return std::nullopt;
    const auto location = response.valueForHTTPHeaderField("Location");
    if (!location) return std::nullopt;
    const auto target = resolveLocation(response.url, *location);
    if (!target) return std::nullopt;

    URLRequest next = request;
    next.url = *target;
    if ((status == 303 && request.httpMethod != "HEAD") ||
        ((status == 301 || status == 302) && request.httpMethod == "POST")) {
        next.httpMethod = "GET";
        next.httpBody.reset();
        next.headerFields.remove("Content-Type");
        next.headerFields.remove("Content-Length");
    }
    ParsedURL from, to;
    const bool sameOrigin = parseHTTPURL(response.url, from) == URLCheck::Ok &&
                            parseHTTPURL(*target, to) == URLCheck::Ok && from.scheme == to.scheme &&
                            from.host == to.host && from.port == to.port;
    if (!sameOrigin) {
        // Credentials and cookies the caller wrote for one origin must not be handed to another.
        next.headerFields.remove("Authorization");
        next.headerFields.remove("Cookie");
    } else if (request.httpShouldHandleCookies) {
        // The store decides for every hop: it now holds what this response set, and it knows the
        // new path. The field of the first hop would repeat stale cookies and miss the new ones.
        next.headerFields.remove("Cookie");
    }
    return next;
}

HeadLine readHeadLine(std::string_view line,
                      std::vector<std::pair<std::string, std::string>>& fields) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {  // a new block: an informational one came before
        fields.clear();
        return HeadLine::StatusLine;
    }
    if (line.empty()) return HeadLine::End;
    if (line.front() == ' ' || line.front() == '\t') {  // obsolete line folding
        if (!fields.empty()) {
            fields.back().second += ' ';
            fields.back().second += trimmed(line);
        }
        return HeadLine::Field;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return HeadLine::Field;
    fields.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
    return HeadLine::Field;
}

HTTPURLResponse makeResponse(const std::string& url, std::int64_t statusCode,
                             std::vector<std::pair<std::string, std::string>> fields) {
    HTTPURLResponse response;
    fillResponse(response, url, statusCode, std::move(fields));
    return response;
}

void fillResponse(HTTPURLResponse& response, const std::string& url, std::int64_t statusCode,
                  std::vector<std::pair<std::string, std::string>> fields) {
    response.url = url;
    response.statusCode = statusCode;
    // The key of a field in allHeaderFields is the spelling of its first occurrence. A usual block
    // has a dozen fields or so, matched by scanning; a long one goes through a table of lower-case
    // names, so that a hostile block cannot make this quadratic.
    constexpr std::size_t kScannedFields = 32;
    const bool scanned = fields.size() <= kScannedFields;
    // Each name's entry, found again without a search of the map (its iterators stay valid).
    using Entry = std::map<std::string, std::string>::iterator;
    std::array<Entry, kScannedFields> entries{};  // scanned blocks
    std::size_t entryCount = 0;
    std::unordered_map<std::string, Entry> entryOfLowered;  // long blocks
    const auto entryOf = [&](std::string_view name) -> std::optional<Entry> {
        if (scanned) {
            for (std::size_t i = 0; i < entryCount; ++i) {
                if (equalsIgnoringASCIICase(entries[i]->first, name)) return entries[i];
            }
            return std::nullopt;
        }
        const auto it = entryOfLowered.find(lowercasedASCII(name));
        if (it == entryOfLowered.end()) return std::nullopt;
        return it->second;
    };
    // The two fields read below, noted as they are added rather than looked for again.
    std::optional<Entry> contentType;
    std::optional<Entry> contentLength;
    for (const auto& [name, value] : fields) {
        if (const auto entry = entryOf(name)) {
            std::string& joined = (*entry)->second;
            joined += ", ";
            joined += value;
            continue;
        }
        const Entry added = response.allHeaderFields.emplace(name, value).first;
        if (scanned) {
            entries[entryCount++] = added;
        } else {
            entryOfLowered.emplace(lowercasedASCII(name), added);
        }
        if (equalsIgnoringASCIICase(name, kContentType)) {
            contentType = added;
        } else if (equalsIgnoringASCIICase(name, kContentLength)) {
            contentLength = added;
        }
    }
    if (contentType) response.textEncodingName = charsetOf((*contentType)->second);
    if (contentLength) response.expectedContentLength = contentLengthOf((*contentLength)->second);
    response.rawHeaderFields = std::move(fields);
}

}  // namespace plovendale::curl
