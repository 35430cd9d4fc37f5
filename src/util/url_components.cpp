#include "util/url_components.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "util/string_utils.h"
#include "util/text.h"

namespace plovendale {
namespace {

constexpr std::size_t kMaxSchemeLength = 40;

bool isSchemeChar(char c) {
    return isAlphaASCII(c) || isDigitASCII(c) || c == '+' || c == '-' || c == '.';
}

/// Length of the scheme before the ":" that ends it, or 0 when the text starts with none.
std::size_t schemeLength(std::string_view text) {
    std::size_t i = 0;
    while (i < kMaxSchemeLength && i < text.size() && isSchemeChar(text[i])) ++i;
    return i > 0 && i < text.size() && text[i] == ':' ? i : 0;
}

/// "c:" or "c|" followed by a slash, a backslash or the end: a drive letter, refused here.
bool startsWithDrive(std::string_view text) {
    return text.size() >= 2 && isAlphaASCII(text[0]) && (text[1] == ':' || text[1] == '|') &&
           (text.size() == 2 || text[2] == '/' || text[2] == '\\');
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringASCIICase(text.substr(0, prefix.size()), prefix);
}

/// Reads a number as strtoul does with base 0 (hexadecimal after "0x", octal after "0"), from a
/// digit; false past 32 bits.
bool readNumber(std::string_view& text, std::uint64_t& value) {
    unsigned base = 10;
    std::size_t i = 0;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        text.size() > 2 && hexValue(text[2]) >= 0) {
        base = 16;
        i = 2;
    } else if (text[0] == '0') {
        base = 8;
    }
    value = 0;
    for (; i < text.size(); ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) break;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) return false;
    }
    text.remove_prefix(i);
    return true;
}

/// A host of one to four numbers as four decimal numbers ("127.1" is "127.0.0.1"), or nothing when
/// it is a name.
std::optional<std::string> numericIPv4(std::string_view host) {
    std::uint64_t parts[4] = {0, 0, 0, 0};
    int n = 0;
    while (true) {
        if (host.empty() || !isDigitASCII(host.front())) return std::nullopt;
        if (!readNumber(host, parts[n])) return std::nullopt;
        if (host.empty()) break;
        if (host.front() != '.' || n == 3) return std::nullopt;
        host.remove_prefix(1);
        ++n;
    }
    static constexpr std::uint64_t kLastLimit[4] = {0xFFFFFFFF, 0xFFFFFF, 0xFFFF, 0xFF};
    for (int i = 0; i < n; ++i) {
        if (parts[i] > 0xFF) return std::nullopt;
    }
    if (parts[n] > kLastLimit[n]) return std::nullopt;
    std::uint32_t address = 0;
    for (int i = 0; i < n; ++i) address |= static_cast<std::uint32_t>(parts[i]) << (24 - 8 * i);
    address |= static_cast<std::uint32_t>(parts[n]);
    char text[16];
    char* end = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (shift != 24) *end++ = '.';
        end = std::to_chars(end, text + sizeof text, (address >> shift) & 0xFF).ptr;
    }
    return std::string(text, end);
}

/// Four decimal numbers of 0 to 255 without leading zeros, dot-separated: an IPv4 address in the
/// form numericIPv4 writes.
bool isDottedQuad(std::string_view host) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        unsigned value = 0;
        while (i < host.size() && i - start < 4 && isDigitASCII(host[i]))
            value = value * 10 + static_cast<unsigned>(host[i++] - '0');
        const std::size_t digits = i - start;
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && host[start] == '0'))
            return false;
        if (++parts == 4) return i == host.size();
        if (i == host.size() || host[i] != '.') return false;
        ++i;
    }
}

/// An IPv6 literal "[...]" checked, with its zone split off and its address shortened when it can
/// be; false when it is not one.
bool readIPv6(std::string& host, std::string& zone) {
    if (host.size() < 4) return false;
    std::string_view inner = std::string_view(host).substr(1, host.size() - 2);
    const std::size_t length = inner.find_first_not_of("0123456789abcdefABCDEF:.");
    if (length != std::string_view::npos) {
        if (inner[length] != '%') return false;
        std::string_view rest = std::string_view(host).substr(1 + length + 1);
        if (rest.starts_with("25") && rest.size() > 2 && rest[2] != ']') rest.remove_prefix(2);
        const std::size_t end = rest.find(']');
        if (end == 0 || end == std::string_view::npos || end > 15) return false;
        zone = std::string(rest.substr(0, end));
        inner = inner.substr(0, length);
    }
    const std::string address(inner);
    in6_addr binary{};
    if (::inet_pton(AF_INET6, address.c_str(), &binary) != 1) return false;
    char shortest[INET6_ADDRSTRLEN];
    if (::inet_ntop(AF_INET6, &binary, shortest, sizeof shortest) &&
        std::strlen(shortest) < address.size()) {
        host = std::string("[") + shortest + "]";
    } else {
        host = "[" + address + "]";
    }
    return true;
}

bool isControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

/// Escapes decoded; false when one decodes to a control character (DEL included) or the name
/// holds a character that RFC 3986 allows in no host name. Its sub-delimiters ("!$&'()*+,;=") are
/// allowed: a custom-scheme link may name its "host" with them.
bool readHostName(std::string& host) {
    if (host.find('%') != std::string::npos) {
        std::string decoded = percentDecodeLenient(host);
        if (std::any_of(decoded.begin(), decoded.end(), isControl)) return false;
        host = std::move(decoded);
    }
    return !host.empty() && host.find_first_of(" \r\n\t/:#?@{}[]\\\"^`<>") == std::string::npos;
}

/// "[user[:password]@]host[:port]" of a URL with a scheme.
bool readAuthority(std::string_view authority, ParsedURL& url) {
    if (const std::size_t at = authority.find('@'); at != std::string_view::npos) {
        const std::string_view login = authority.substr(0, at);
        const std::size_t colon = login.find(':');
        url.user = std::string(login.substr(0, colon));
        if (colon != std::string_view::npos) url.password = std::string(login.substr(colon + 1));
        authority.remove_prefix(at + 1);
    }
    std::size_t portStart = std::string_view::npos;
    if (authority.starts_with("[")) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return false;
            portStart = close + 1;
        }
    } else {
        portStart = authority.find(':');
    }
    if (portStart != std::string_view::npos) {
        const std::string_view port = authority.substr(portStart + 1);
        authority = authority.substr(0, portStart);
        if (!port.empty()) {
            if (!std::all_of(port.begin(), port.end(), isDigitASCII)) return false;
            const std::size_t digits = port.find_first_not_of('0');
            const std::string_view significant =
                digits == std::string_view::npos ? "0" : port.substr(digits);
            if (significant.size() > 5) return false;
            unsigned long number = 0;
            for (const char digit : significant)
                number = number * 10 + static_cast<unsigned long>(digit - '0');
            if (number > 0xFFFF) return false;
            url.port = std::string(significant);
        }
    }
    if (authority.empty()) return false;
    url.host = std::string(authority);
    if (url.host.front() == '[') return readIPv6(url.host, url.zoneID);
    if (isDottedQuad(url.host)) return true;  // already as numericIPv4 would write it
    if (auto address = numericIPv4(url.host)) {
        url.host = std::move(*address);
        return true;
    }
    return readHostName(url.host);
}

/// Dot segments removed as in RFC 3986, section 5.2.4.
std::string withoutDotSegments(std::string_view input) {
    if (input.size() < 2 || input.find('.') == std::string_view::npos) return std::string(input);
    std::string output;
    const auto dropLastSegment = [&output] {
        const std::size_t slash = output.rfind('/');
        output.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.remove_prefix(3);
        } else if (input.starts_with("./") || input.starts_with("/./")) {
            input.remove_prefix(2);
        } else if (input == "." || input == "..") {
            break;
        } else if (input == "/.") {
            output += '/';
            break;
        } else if (input.starts_with("/../")) {
            input.remove_prefix(3);
            dropLastSegment();
        } else if (input == "/..") {
            dropLastSegment();
            output += '/';
            break;
        } else {
            const std::size_t next = input.find('/', 1);
            const std::size_t end = next == std::string_view::npos ? input.size() : next;
            output.append(input.substr(0, end));
            input.remove_prefix(end);
        }
    }
    return output;
}

struct Prepared {
    std::string text;
    bool dropLeadingSlash = false;
};

// The parser (as libcurl) insists on an authority and reads "app:/c" and "app:///c" as host "c"; a
// URL without one keeps its whole path as written. Such URLs get a stand-in host so that the path
// and query come out as they stand in the text.
Prepared withAuthority(const std::string& url, std::size_t scheme) {
    const std::string_view rest = std::string_view(url).substr(scheme + 1);
    const std::string head = url.substr(0, scheme) + "://localhost";
    if (rest.starts_with("//") && !rest.starts_with("///")) return {url, false};
    if (rest.starts_with("///")) return {head + std::string(rest.substr(2)), false};
    if (rest.starts_with("/")) return {head + std::string(rest), false};
    return {head + "/" + std::string(rest), true};
}

/// Whether the name of a query item, percent-decoded (as written when it does not decode), is
/// `name`. A raw name more than three times as long cannot decode to it, and a shorter one
/// decodes without a heap allocation.
bool itemNameIs(std::string_view raw, std::string_view name) {
    if (raw.size() > 3 * name.size()) return false;
    return percentUnescape(raw).value_or(std::string(raw)) == name;
}

}  // namespace

std::optional<ParsedURL> ParsedURL::parse(std::string_view text) {
    // A NUL would cut the text short for libcurl.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    const std::size_t schemeEnd = schemeLength(text);
    if (schemeEnd == 0) return std::nullopt;
    ParsedURL url;
    url.scheme = lowercasedASCII(text.substr(0, schemeEnd));
    std::string_view rest = text.substr(schemeEnd + 1);
    if (url.scheme == "file") {
        if (text.size() <= 6) return std::nullopt;  // "file:/" names nothing
        if (rest.starts_with("//")) {
            rest.remove_prefix(2);
            if (!rest.starts_with("/") && !startsWithDrive(rest)) {
                // Only this machine can be named.
                if (!startsWithIgnoringCase(rest, "localhost/") &&
                    !startsWithIgnoringCase(rest, "127.0.0.1/")) {
                    return std::nullopt;
                }
                rest.remove_prefix(9);
            }
        }
        if ((rest.starts_with("/") && startsWithDrive(rest.substr(1))) || startsWithDrive(rest))
            return std::nullopt;
    } else {
        std::size_t slashes = 0;
        while (slashes < rest.size() && slashes < 4 && rest[slashes] == '/') ++slashes;
        if (slashes < 1 || slashes > 3) return std::nullopt;
        rest.remove_prefix(slashes);
        std::size_t authorityEnd = 0;
        while (authorityEnd < rest.size() && rest[authorityEnd] != '/' &&
               rest[authorityEnd] != '?' && rest[authorityEnd] != '#')
            ++authorityEnd;
        if (authorityEnd == 0 || !readAuthority(rest.substr(0, authorityEnd), url))
            return std::nullopt;
        rest.remove_prefix(authorityEnd);
    }
    if (const std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        if (hash + 1 < rest.size()) url.fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
        url.query = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    // Control characters and spaces are refused anywhere, also as a path of one character, which
    // libcurl takes for no path at all and would let through ("file:\r?x"): a CR or LF that reached
    // a request line or a log would start a line of its own.
    if (std::any_of(text.begin(), text.end(), [](char c) { return c == ' ' || isControl(c); }))
        return std::nullopt;
    if (rest.size() != 1) url.path = std::string(rest);
    return url;
}

std::optional<ParsedURL> ParsedURL::parseRequestURL(std::string_view text) {
    if (text.empty() || !isAlphaASCII(text.front())) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x7F) return std::nullopt;
        if (c == '%' &&
            (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0))
            return std::nullopt;
    }
    auto url = parse(text);
    if (!url || (!url->host.starts_with("[") &&
                 url->host.find_first_of("!$&'()*+,;=") != std::string::npos))
        return std::nullopt;
    return url;
}

std::string ParsedURL::portOrDefault() const {
    if (!port.empty()) return port;
    if (scheme == "http") return "80";
    if (scheme == "https") return "443";
    return {};
}

std::string ParsedURL::resolvedPath() const {
    if (path.empty()) return "/";
    return withoutDotSegments(path);
}

std::string ParsedURL::normalisedText() const {
    std::string text = scheme + "://";
    if (scheme == "file") return text + path;
    if (user || password) {
        text += user.value_or(std::string());
        if (password) text += ':' + *password;
        text += '@';
    }
    if (zoneID.empty()) {
        // A stray "%" is kept in a name: written as an escape, it reads back as itself.
        for (const char c : host) {
            if (c == '%') {
                text += "%25";
            } else {
                text += c;
            }
        }
    } else {
        text.append(host, 0, host.size() - 1);
        text += "%25" + zoneID + "]";
    }
    if (!port.empty()) text += ':' + port;
    const std::string resolved = resolvedPath();
    if (!resolved.starts_with("/")) text += '/';
    text += resolved;
    if (query && !query->empty()) text += '?' + *query;
    return text;
}

std::optional<URLComponents> URLComponents::parse(const std::string& url) {
    const std::size_t scheme = schemeLength(url);
    if (scheme == 0 || !isAlphaASCII(url[0])) return std::nullopt;
    const Prepared prepared = withAuthority(url, scheme);
    const auto parsed = ParsedURL::parse(prepared.text);
    if (!parsed) return std::nullopt;
    URLComponents components;
    std::string_view path = parsed->path.empty() ? std::string_view("/") : parsed->path;
    if (prepared.dropLeadingSlash && path.starts_with("/")) path.remove_prefix(1);
    components.path = percentUnescape(path);
    components.query = parsed->query;
    return components;
}

std::string URLComponents::lastQueryValue(std::string_view name) const {
    if (!query) return {};
    const std::string_view text = *query;
    std::size_t end = text.size();
    while (true) {
        const std::size_t amp = end == 0 ? std::string_view::npos : text.rfind('&', end - 1);
        const std::size_t start = amp == std::string_view::npos ? 0 : amp + 1;
        const std::string_view piece = text.substr(start, end - start);
        const std::size_t equals = piece.find('=');
        if (equals != std::string_view::npos && itemNameIs(piece.substr(0, equals), name)) {
            auto value = percentUnescape(piece.substr(equals + 1));
            if (!StringUtils::isNullOrEmpty(value)) return std::move(*value);
        }
        if (amp == std::string_view::npos) return {};
        end = amp;
    }
}

}  // namespace plovendale
