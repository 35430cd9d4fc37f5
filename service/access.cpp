#include "access.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace plovendale::attribution_service {
namespace {

struct Rule {
    std::string_view method;  // "" for any
    std::string_view prefix;
    Access access;
};

// Client endpoints are open to the world (apps and landing pages call them); everything that
// reads what was stored, or adds links, is the operator's. Listed once, here, for every route the
// service has, so a new route is decided where all the others are.
constexpr std::array kRules = {
    Rule{"POST", "/api/trace/client/report/", Access::Client},
    Rule{"POST", "/api/trace/client/state/", Access::Client},
    Rule{"POST", "/api/trace/client/events/", Access::Client},
    Rule{"GET", "/l/", Access::Client},       // landing pages /l/{key}/{trace_id}
    Rule{"POST", "/l/", Access::Client},      // their beacon /l/{key}/{trace_id}/beacon
    Rule{"GET", "/console", Access::Client},  // the page alone; its data is the operator's
    Rule{"", "/api/links/", Access::Operator},
    Rule{"", "/api/state/", Access::Operator},
    Rule{"", "/api/installs/", Access::Operator},
    Rule{"", "/api/events/", Access::Operator},
    Rule{"", "/api/clicks/", Access::Operator},
    Rule{"", "/api/apps/", Access::Operator},
    Rule{"", "/api/console", Access::Operator},
};

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

Access accessFor(std::string_view method, std::string_view path) {
    for (const Rule& rule : kRules) {
        if (!rule.method.empty() && rule.method != method) continue;
        // "/console" is a whole path; the others are prefixes of paths with a key after them.
        const bool matches =
            rule.prefix.back() == '/' ? path.starts_with(rule.prefix) : path == rule.prefix;
        if (matches) return rule.access;
    }
    return Access::Operator;
}

bool AllowedHosts::allows(std::string_view host) const {
    std::string_view name = host;
    if (const std::size_t colon = host.rfind(':');
        colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
        const std::string_view port = host.substr(colon + 1);
        if (port.empty() ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        name = host.substr(0, colon);
    }
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return std::any_of(names_.begin(), names_.end(),
                       [name](const std::string& allowed) { return equalsNoCase(name, allowed); });
}

bool AllowedHosts::isOwnOrigin(std::string_view origin) const {
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (origin.size() > scheme.size() && equalsNoCase(origin.substr(0, scheme.size()), scheme))
            return origin.find('/', scheme.size()) == std::string_view::npos &&
                   allows(origin.substr(scheme.size()));
    }
    return false;
}

bool bearerMatches(std::string_view authorization, std::string_view token) {
    constexpr std::string_view kScheme = "Bearer ";
    if (token.empty() || authorization.size() != kScheme.size() + token.size() ||
        !equalsNoCase(authorization.substr(0, kScheme.size()), kScheme))
        return false;
    return CRYPTO_memcmp(authorization.data() + kScheme.size(), token.data(), token.size()) == 0;
}

bool isJsonMediaType(std::string_view contentType) {
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    return equalsNoCase(type, "application/json");
}

}  // namespace plovendale::attribution_service
