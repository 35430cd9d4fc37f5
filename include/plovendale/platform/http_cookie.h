#pragma once

#include <map>
#include <mutex>
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
    /// hostile text yields fewer cookies, nothing worse.
    static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(
        const std::vector<std::pair<std::string, std::string>>& headerFields,
        const std::string& url);

    /// {"Cookie": "a=1; b=2"} for the cookies given, in order; an empty map when there are none.
    static std::map<std::string, std::string> requestHeaderFieldsWithCookies(
        const std::vector<HTTPCookie>& cookies);
};

/// The process-wide shared cookie store. It lives in memory for the process (a desktop host has no
/// system cookie store). Expired cookies are dropped from lookups. Thread-safe.
class PLOVENDALE_API HTTPCookieStorage {
  public:
    static HTTPCookieStorage& shared();
    /// A private store (an ephemeral session keeps its cookies in one of its own).
    HTTPCookieStorage() = default;
    HTTPCookieStorage(const HTTPCookieStorage&) = delete;
    HTTPCookieStorage& operator=(const HTTPCookieStorage&) = delete;

    /// In insertion order (a replaced cookie keeps its place); expired ones left out.
    std::vector<HTTPCookie> cookies() const;
    /// The cookies to send to url: domain-match (host-only cookies to their host alone),
    /// path-match, secure ones only over https, unexpired; longer paths first, then older first.
    std::vector<HTTPCookie> cookiesForURL(const std::string& url) const;
    /// Replaces one with the same name, domain and path; a cookie already expired only deletes that
    /// one.
    void setCookie(const HTTPCookie& cookie);
    /// By name, domain and path.
    void deleteCookie(const HTTPCookie& cookie);

  private:
    struct Entry {
        explicit Entry(const HTTPCookie& stored);
        bool sameIdentity(const Entry& other) const;
        HTTPCookie cookie;
        std::string domainKey;  // lower-case, without a leading dot
        bool coversSubdomains;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> cookies_;
};

}  // namespace plovendale
