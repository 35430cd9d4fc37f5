#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plovendale/export.h"

namespace plovendale {

/// A cookie record. A plain value.
struct PLOVENDALE_API HTTPCookie {
    std::string name, value, domain, path = "/";
    /// Seconds since 1970; nothing = session-only.
    std::optional<double> expiresDate;
    bool secure = false, httpOnly = false;
    /// True when the cookie goes only to the host named in domain (no Domain attribute was given);
    /// false when it also goes to that domain's subdomains.
    bool hostOnly = true;
    int version = 0;

    bool isSessionOnly() const { return !expiresDate; }

    /// RFC 6265 parsing of every "Set-Cookie" field of a response received for url (field names
    /// compared case-insensitively; invalid or foreign-domain cookies are skipped). Never throws;
    /// hostile text yields fewer cookies, nothing worse. Any thread.
    ///
    /// Fields as received, one line each (rawHeaderFields): each Set-Cookie line is one cookie,
    /// commas included.
    static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(
        const std::vector<std::pair<std::string, std::string>>& headerFields,
        const std::string& url);
    /// Fields as a dictionary (allHeaderFields), where several Set-Cookie lines stand joined with
    /// ", ": the value is split again where a comma is followed by a new "name=".
    static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(
        const std::map<std::string, std::string>& headerFields, const std::string& url);

    /// {"Cookie": "a=1; b=2"} for the cookies given, in order; an empty map when there are none.
    static std::map<std::string, std::string> requestHeaderFieldsWithCookies(
        const std::vector<HTTPCookie>& cookies);
};

}  // namespace plovendale
