#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "plovendale/platform/http_cookie.h"

namespace plovendale {

/// The process-wide shared cookie store. It lives in memory for the process (a desktop host has no
/// system cookie store). Expired cookies are dropped from lookups. Thread-safe.
class HTTPCookieStorage {
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
    /// cookies_ is empty, as last written under mutex_: every request asks, and most stores are
    /// empty, so the answer for them takes no lock.
    std::atomic<bool> empty_{true};
};

}  // namespace plovendale
