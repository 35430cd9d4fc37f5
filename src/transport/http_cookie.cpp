#include <arpa/inet.h>

#include <algorithm>
#include <tuple>

#include "host/clock.h"
#include "transport/curl_handles.h"
#include "transport/curl_text.h"
#include "transport/http_cookie_storage.h"

namespace plovendale {
namespace {

using curl::trimmed;

// Limits from RFC 6265bis: longer cookies or attributes are dropped, not truncated.
constexpr std::size_t kMaxNameValueBytes = 4096;
constexpr std::size_t kMaxAttributeValueBytes = 1024;
// A hostile or careless server must not grow the store without bound.
constexpr std::size_t kMaxStoredCookies = 3000;

// Cookie dates are wall-clock dates: the host's clock decides what has expired.
double secondsNow() {
    return Date::timeIntervalSince1970();
}

bool isExpired(const HTTPCookie& cookie, double now) {
    return cookie.expiresDate && *cookie.expiresDate <= now;
}

bool isIPAddress(const std::string& host) {
    if (host.find(':') != std::string::npos || host.find('[') != std::string::npos) return true;
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

bool domainMatches(const std::string& host, const std::string& domain) {
    if (host == domain) return true;
    return !domain.empty() && host.size() > domain.size() &&
           host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.' && !isIPAddress(host);
}

bool pathMatches(const std::string& requestPath, const std::string& cookiePath) {
    if (requestPath == cookiePath) return true;
    if (cookiePath.empty() || requestPath.compare(0, cookiePath.size(), cookiePath) != 0)
        return false;
    return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string defaultPath(const std::string& requestPath) {
    if (requestPath.empty() || requestPath.front() != '/') return "/";
    const std::size_t slash = requestPath.rfind('/');
    return slash == 0 ? "/" : requestPath.substr(0, slash);
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7F;
    });
}

/// The matching form of a cookie's domain (lower-case, no leading dot) and whether it covers
/// subdomains.
std::pair<std::string, bool> scopeOf(const HTTPCookie& cookie) {
    std::string domain = lowercasedASCII(cookie.domain);
    const bool dotted = !domain.empty() && domain.front() == '.';
    if (dotted) domain.erase(0, 1);
    return {domain, dotted || !cookie.hostOnly};
}

/// The cookies of a header value that joins several Set-Cookie lines with ", " (as allHeaderFields
/// does): a new cookie starts at a comma followed by a token and "=". Commas inside Expires dates
/// are followed by a day number and a space, and commas inside a quoted value are the value's, so
/// neither splits.
std::vector<std::string_view> splitJoinedCookies(std::string_view text) {
    std::vector<std::string_view> cookies;
    std::size_t start = 0;
    bool inPair = true;  // still in the name=value pair of the current cookie
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (inPair && text[i] == '"') quoted = !quoted;
        if (text[i] == ';' && !quoted) inPair = false;
        if (text[i] != ',' || quoted) continue;
        std::size_t j = i + 1;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
        const std::size_t nameStart = j;
        while (j < text.size() && curl::isToken(text.substr(j, 1))) ++j;
        if (j == nameStart) continue;
        while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
        if (j < text.size() && text[j] == '=') {
            cookies.push_back(text.substr(start, i - start));
            start = i + 1;
            inPair = true;
        }
    }
    cookies.push_back(text.substr(start));
    return cookies;
}

// RFC 6265, section 5.1.1: a date is read from its tokens, whatever their order and separators;
// time zones and unknown tokens are skipped (every cookie date is UTC), and a date that lacks a
// part or has one out of range is no date. A general date parser would take "PST" at its word or
// give up on "21-Oct-2015", and a deletion would then not delete.
bool isCookieDateDelimiter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == 0x09 || (u >= 0x20 && u <= 0x2F) || (u >= 0x3B && u <= 0x40) ||
           (u >= 0x5B && u <= 0x60) || (u >= 0x7B && u <= 0x7E);
}

/// minDigits to maxDigits digits at the start of text, not followed by another digit; text is left
/// after them.
bool readDigits(std::string_view& text, std::size_t minDigits, std::size_t maxDigits, int& value) {
    std::size_t n = 0;
    value = 0;
    while (n < text.size() && n <= maxDigits && isDigitASCII(text[n]))
        value = value * 10 + (text[n++] - '0');
    if (n < minDigits || n > maxDigits) return false;
    text.remove_prefix(n);
    return true;
}

bool readTime(std::string_view token, int& hour, int& minute, int& second) {
    if (!readDigits(token, 1, 2, hour) || !token.starts_with(":")) return false;
    token.remove_prefix(1);
    if (!readDigits(token, 1, 2, minute) || !token.starts_with(":")) return false;
    token.remove_prefix(1);
    return readDigits(token, 1, 2, second);
}

std::optional<int> monthOf(std::string_view token) {
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3) return std::nullopt;
    for (int i = 0; i < 12; ++i) {
        if (equalsIgnoringASCIICase(token.substr(0, 3), kMonths[i])) return i + 1;
    }
    return std::nullopt;
}

std::optional<double> parseCookieDate(std::string_view text) {
    std::optional<int> hour, minute, second, day, month, year;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isCookieDateDelimiter(text[i])) ++i;
        std::size_t end = i;
        while (end < text.size() && !isCookieDateDelimiter(text[end])) ++end;
        const std::string_view token = text.substr(i, end - i);
        i = end;
        if (token.empty()) continue;
        int h = 0, m = 0, s = 0, number = 0;
        std::string_view dayDigits = token, yearDigits = token;
        if (!hour && readTime(token, h, m, s)) {
            hour = h, minute = m, second = s;
        } else if (!day && readDigits(dayDigits, 1, 2, number)) {
            day = number;
        } else if (!month && monthOf(token)) {
            month = monthOf(token);
        } else if (!year && readDigits(yearDigits, 2, 4, number)) {
            year = number;
        }
    }
    if (!hour || !day || !month || !year) return std::nullopt;
    if (*year >= 70 && *year <= 99) *year += 1900;
    if (*year <= 69) *year += 2000;
    static constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    if (*year < 1601 || *day < 1 || *day > kDaysInMonth[*month - 1] ||
        (*month == 2 && *day == 29 && !leap) || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    // Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
    const int y = *year - (*month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (*month + (*month > 2 ? -3 : 9)) + 2) / 5 + *day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const double days = era * 146097.0 + dayOfEra - 719468.0;
    return days * 86400.0 + *hour * 3600.0 + *minute * 60.0 + *second;
}

std::optional<double> parseMaxAge(std::string_view value, double now) {
    if (value.empty()) return std::nullopt;
    const bool negative = value.front() == '-';
    std::string_view digits = negative ? value.substr(1) : value;
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    if (negative) return 0.0;
    double seconds = 0;
    for (char c : digits) seconds = std::min(seconds * 10 + (c - '0'), 1e12);
    return seconds <= 0 ? 0.0 : now + seconds;
}

std::optional<HTTPCookie> parseCookie(std::string_view text, const ParsedURL& url, double now) {
    const std::size_t semicolon = text.find(';');
    const std::string_view pair = text.substr(0, semicolon);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view name = trimmed(pair.substr(0, equals));
    const std::string_view value = trimmed(pair.substr(equals + 1));
    if (name.empty() || name.size() + value.size() > kMaxNameValueBytes ||
        hasControlCharacter(name) || hasControlCharacter(value)) {
        return std::nullopt;
    }

    HTTPCookie cookie;
    cookie.name = std::string(name);
    cookie.value = std::string(value);
    std::optional<double> expires, maxAge;
    std::optional<std::string> domainAttribute, pathAttribute;
    std::string_view rest =
        semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon + 1);
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const std::string_view attribute = trimmed(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t eq = attribute.find('=');
        const std::string_view key = trimmed(attribute.substr(0, eq));
        const std::string_view argument =
            eq == std::string_view::npos ? std::string_view() : trimmed(attribute.substr(eq + 1));
        if (argument.size() > kMaxAttributeValueBytes) continue;
        if (equalsIgnoringASCIICase(key, "expires")) {
            if (auto when = parseCookieDate(argument)) expires = when;
        } else if (equalsIgnoringASCIICase(key, "max-age")) {
            if (auto when = parseMaxAge(argument, now)) maxAge = when;
        } else if (equalsIgnoringASCIICase(key, "domain")) {
            std::string_view domain = argument;
            if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
            if (!domain.empty()) domainAttribute = lowercasedASCII(domain);
        } else if (equalsIgnoringASCIICase(key, "path")) {
            pathAttribute = (!argument.empty() && argument.front() == '/')
                                ? std::optional<std::string>(argument)
                                : std::nullopt;
        } else if (equalsIgnoringASCIICase(key, "secure")) {
            cookie.secure = true;
        } else if (equalsIgnoringASCIICase(key, "httponly")) {
            cookie.httpOnly = true;
        } else if (equalsIgnoringASCIICase(key, "version")) {
            if (argument.size() == 1 && argument[0] >= '0' && argument[0] <= '9')
                cookie.version = argument[0] - '0';
        }
    }
    cookie.expiresDate = maxAge ? maxAge : expires;
    cookie.path = pathAttribute.value_or(defaultPath(url.path));

    if (domainAttribute && *domainAttribute != url.host) {
        // Without a public-suffix list, a single label ("com") counts as a public suffix.
        if (!domainMatches(url.host, *domainAttribute) ||
            domainAttribute->find('.') == std::string::npos) {
            return std::nullopt;
        }
        cookie.domain = "." + *domainAttribute;
        cookie.hostOnly = false;
    } else if (domainAttribute && !isIPAddress(url.host) &&
               url.host.find('.') != std::string::npos) {
        cookie.domain = "." + *domainAttribute;
        cookie.hostOnly = false;
    } else {
        cookie.domain = url.host;
        cookie.hostOnly = true;
    }

    // A page served without TLS must not plant cookies that claim to be secure.
    if (cookie.secure && url.scheme != "https") return std::nullopt;
    const std::string_view cookieName = cookie.name;
    if (cookieName.substr(0, 9) == "__Secure-" && !cookie.secure) return std::nullopt;
    if (cookieName.substr(0, 7) == "__Host-" &&
        (!cookie.secure || !cookie.hostOnly || cookie.path != "/")) {
        return std::nullopt;
    }
    return cookie;
}

}  // namespace

namespace {

// Looked for in every response, as a view made once (a literal would be measured each time).
constexpr std::string_view kSetCookie = "Set-Cookie";

template <typename Fields>
std::vector<HTTPCookie> cookiesOfFields(const Fields& headerFields, const std::string& url,
                                        bool joined) {
    std::vector<HTTPCookie> cookies;
    const auto setsCookies = [](const auto& field) {
        return equalsIgnoringASCIICase(field.first, kSetCookie);
    };
    if (std::none_of(headerFields.begin(), headerFields.end(), setsCookies)) return cookies;
    ParsedURL parts;
    if (curl::parseHTTPURL(url, parts) != curl::URLCheck::Ok) return cookies;
    const double now = secondsNow();
    for (const auto& [name, value] : headerFields) {
        if (!equalsIgnoringASCIICase(name, kSetCookie)) continue;
        const std::vector<std::string_view> texts =
            joined ? splitJoinedCookies(value) : std::vector<std::string_view>{value};
        for (std::string_view text : texts) {
            if (auto cookie = parseCookie(text, parts, now)) cookies.push_back(std::move(*cookie));
        }
    }
    return cookies;
}

}  // namespace

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(
    const std::vector<std::pair<std::string, std::string>>& headerFields, const std::string& url) {
    // Each line is one cookie (RFC 6265, section 5.2): a comma in it belongs to that cookie, and
    // splitting there would let "a=1; Secure, b=2" plant a cookie the server never set.
    return cookiesOfFields(headerFields, url, false);
}

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(
    const std::map<std::string, std::string>& headerFields, const std::string& url) {
    return cookiesOfFields(headerFields, url, true);
}

std::map<std::string, std::string> HTTPCookie::requestHeaderFieldsWithCookies(
    const std::vector<HTTPCookie>& cookies) {
    if (cookies.empty()) return {};
    std::string text;
    for (const auto& cookie : cookies) {
        if (!text.empty()) text += "; ";
        text += cookie.name;
        text += '=';
        text += cookie.value;
    }
    return {{"Cookie", text}};
}

HTTPCookieStorage& HTTPCookieStorage::shared() {
    static HTTPCookieStorage storage;
    return storage;
}

HTTPCookieStorage::Entry::Entry(const HTTPCookie& stored) : cookie(stored) {
    std::tie(domainKey, coversSubdomains) = scopeOf(stored);
}

bool HTTPCookieStorage::Entry::sameIdentity(const Entry& other) const {
    return cookie.name == other.cookie.name && cookie.path == other.cookie.path &&
           domainKey == other.domainKey;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    const double now = secondsNow();
    std::lock_guard lock(mutex_);
    std::vector<HTTPCookie> live;
    for (const auto& entry : cookies_) {
        if (!isExpired(entry.cookie, now)) live.push_back(entry.cookie);
    }
    return live;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const std::string& url) const {
    if (empty_.load(std::memory_order_acquire)) return {};  // the common case: no URL to read
    ParsedURL parts;
    if (curl::parseHTTPURL(url, parts) != curl::URLCheck::Ok) return {};
    const double now = secondsNow();
    std::vector<HTTPCookie> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [cookie, domain, coversSubdomains] : cookies_) {
            if (isExpired(cookie, now) || (cookie.secure && parts.scheme != "https")) continue;
            const bool domainOk =
                coversSubdomains ? domainMatches(parts.host, domain) : parts.host == domain;
            if (domainOk && pathMatches(parts.path, cookie.path)) matching.push_back(cookie);
        }
    }
    std::stable_sort(
        matching.begin(), matching.end(),
        [](const HTTPCookie& a, const HTTPCookie& b) { return a.path.size() > b.path.size(); });
    return matching;
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    const double now = secondsNow();
    Entry entry(cookie);
    std::lock_guard lock(mutex_);
    auto existing = std::find_if(cookies_.begin(), cookies_.end(),
                                 [&](const Entry& e) { return e.sameIdentity(entry); });
    if (isExpired(cookie, now)) {  // how a server deletes a cookie
        if (existing != cookies_.end()) cookies_.erase(existing);
        empty_.store(cookies_.empty(), std::memory_order_release);
        return;
    }
    if (existing != cookies_.end()) {
        *existing = std::move(entry);
        return;
    }
    cookies_.push_back(std::move(entry));
    if (cookies_.size() > kMaxStoredCookies) {
        std::erase_if(cookies_, [now](const Entry& e) { return isExpired(e.cookie, now); });
        if (cookies_.size() > kMaxStoredCookies) cookies_.erase(cookies_.begin());
    }
    empty_.store(false, std::memory_order_release);
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
    const Entry entry(cookie);
    std::lock_guard lock(mutex_);
    std::erase_if(cookies_, [&](const Entry& e) { return e.sameIdentity(entry); });
    empty_.store(cookies_.empty(), std::memory_order_release);
}

}  // namespace plovendale
