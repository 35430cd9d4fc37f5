#include <algorithm>

#include "host/clock.h"
#include "http/process_state.h"
#include "http/st_http_request_impl.h"
#include "plovendale/http/st_http_request.h"
#include "transport/http_cookie_storage.h"
#include "util/url_components.h"

namespace plovendale {
namespace {

constexpr double kCreatedCookieLifetime = 2592000;  // 30 days

std::optional<std::string> hostOf(const std::string& url) {
    auto parts = ParsedURL::parse(url);
    if (!parts || parts->host.empty()) return std::nullopt;
    std::string& host = parts->host;
    if (host.front() == '[') host = host.substr(1, host.size() - 2);  // an IPv6 literal
    return host;
}

}  // namespace

void STHTTPRequest::setGlobalCookiesStoragePolicy(STHTTPRequestCookieStoragePolicy policy) {
    http::processState().globalCookiesStoragePolicy = policy;
}

STHTTPRequestCookieStoragePolicy STHTTPRequest::globalCookiesStoragePolicy() {
    return static_cast<STHTTPRequestCookieStoragePolicy>(
        http::processState().globalCookiesStoragePolicy.load());
}

STHTTPRequestCookieStoragePolicy STHTTPRequest::cookieStoragePolicy() const {
    if (impl_->cookieStoragePolicyForInstance == CookieStorageUnset)
        return globalCookiesStoragePolicy();
    return impl_->cookieStoragePolicyForInstance;
}

std::vector<HTTPCookie> STHTTPRequest::localCookiesStorage() {
    auto& state = http::processState();
    std::lock_guard lock(state.mutex);
    return state.localCookiesLocked();
}

std::vector<HTTPCookie> STHTTPRequest::requestCookies() const {
    switch (cookieStoragePolicy()) {
        case CookieStorageShared:
            return HTTPCookieStorage::shared().cookiesForURL(impl_->url);
        case CookieStorageLocal: {
            const auto host = hostOf(impl_->url);
            if (!host) return {};
            auto& state = http::processState();
            std::lock_guard lock(state.mutex);
            std::vector<HTTPCookie> cookies;
            for (const auto& cookie : state.localCookiesLocked()) {
                if (cookie.domain == *host) cookies.push_back(cookie);
            }
            return cookies;
        }
        case CookieStorageEphemeral:
            return impl_->ephemeralRequestCookies;
        default:
            return {};
    }
}

void STHTTPRequest::addCookie(const std::optional<HTTPCookie>& cookie) {
    if (!cookie) return;
    switch (cookieStoragePolicy()) {
        case CookieStorageShared:
            HTTPCookieStorage::shared().setCookie(*cookie);
            break;
        case CookieStorageLocal: {
            auto& state = http::processState();
            std::lock_guard lock(state.mutex);
            state.localCookiesLocked().push_back(*cookie);
            break;
        }
        case CookieStorageEphemeral:
            impl_->ephemeralRequestCookies.push_back(*cookie);
            break;
        default:
            break;
    }
}

void STHTTPRequest::addCookieWithName(const std::string& name, const std::string& value,
                                      const std::optional<std::string>& url) {
    addCookie(createCookieWithName(name, value, url));
}

void STHTTPRequest::addCookieWithName(const std::string& name, const std::string& value) {
    addCookieWithName(name, value, impl_->url);
}

std::optional<HTTPCookie> STHTTPRequest::createCookieWithName(
    const std::string& name, const std::string& value, const std::optional<std::string>& url) {
    if (!url) return std::nullopt;
    auto host = hostOf(*url);
    // A cookie without a domain cannot be made.
    if (!host) return std::nullopt;
    HTTPCookie cookie;  // path "/" and version 0
    cookie.name = name;
    cookie.value = value;
    cookie.domain = *host;
    cookie.expiresDate = Date::timeIntervalSince1970() + kCreatedCookieLifetime;
    cookie.hostOnly = true;
    return cookie;
}

void STHTTPRequest::addCookieToSharedCookiesStorage(const std::optional<HTTPCookie>& cookie) {
    if (cookie) HTTPCookieStorage::shared().setCookie(*cookie);
}

void STHTTPRequest::addCookieToSharedCookiesStorageWithName(const std::string& name,
                                                            const std::string& value,
                                                            const std::optional<std::string>& url) {
    addCookieToSharedCookiesStorage(createCookieWithName(name, value, url));
}

std::vector<HTTPCookie> STHTTPRequest::sessionCookiesInSharedCookiesStorage() {
    std::vector<HTTPCookie> cookies = HTTPCookieStorage::shared().cookies();
    std::erase_if(cookies, [](const HTTPCookie& cookie) { return !cookie.isSessionOnly(); });
    return cookies;
}

std::vector<HTTPCookie> STHTTPRequest::sessionCookies() const {
    switch (cookieStoragePolicy()) {
        case CookieStorageShared:
            return sessionCookiesInSharedCookiesStorage();
        case CookieStorageLocal: {
            std::vector<HTTPCookie> cookies = localCookiesStorage();
            std::erase_if(cookies,
                          [](const HTTPCookie& cookie) { return !cookie.isSessionOnly(); });
            return cookies;
        }
        default:
            return {};
    }
}

void STHTTPRequest::deleteSessionCookies() {
    const auto policy = cookieStoragePolicy();
    if (policy == CookieStorageShared) {
        for (const auto& cookie : sessionCookies())
            HTTPCookieStorage::shared().deleteCookie(cookie);
    } else if (policy == CookieStorageLocal) {
        auto& state = http::processState();
        std::lock_guard lock(state.mutex);
        std::erase_if(state.localCookiesLocked(),
                      [](const HTTPCookie& cookie) { return cookie.isSessionOnly(); });
    }
}

void STHTTPRequest::deleteAllCookiesFromSharedCookieStorage() {
    auto& storage = HTTPCookieStorage::shared();
    for (const auto& cookie : storage.cookies()) storage.deleteCookie(cookie);
}

void STHTTPRequest::deleteAllCookiesFromLocalCookieStorage() {
    auto& state = http::processState();
    std::lock_guard lock(state.mutex);
    state.localCookies.reset();
}

void STHTTPRequest::deleteAllCookies() {
    const auto policy = cookieStoragePolicy();
    if (policy == CookieStorageShared) {
        deleteAllCookiesFromSharedCookieStorage();
    } else if (policy == CookieStorageLocal) {
        auto& state = http::processState();
        std::lock_guard lock(state.mutex);
        state.localCookiesLocked().clear();
    }
}

void STHTTPRequest::clearSession() {
    deleteAllCookiesFromSharedCookieStorage();
    deleteAllCookiesFromLocalCookieStorage();
    deleteAllCredentials();
}

std::map<std::string, URLCredential> STHTTPRequest::sharedCredentialsStorage() {
    auto& state = http::processState();
    std::lock_guard lock(state.mutex);
    return state.credentials;
}

std::optional<URLCredential> STHTTPRequest::sessionAuthenticationCredentialsForURL(
    const std::string& url) {
    auto& state = http::processState();
    // The common case: no URL to read.
    if (!state.holdsCredentials.load(std::memory_order_acquire)) return std::nullopt;
    const auto host = hostOf(url);
    if (!host) return std::nullopt;
    std::lock_guard lock(state.mutex);
    auto it = state.credentials.find(*host);
    if (it == state.credentials.end()) return std::nullopt;
    return it->second;
}

void STHTTPRequest::deleteAllCredentials() {
    auto& state = http::processState();
    std::lock_guard lock(state.mutex);
    state.credentials.clear();
    state.holdsCredentials.store(false, std::memory_order_release);
}

void STHTTPRequest::setCredentialForCurrentHost(const URLCredential& credential) {
    const auto host = hostOf(impl_->url);
    if (!host) return;
    auto& state = http::processState();
    std::lock_guard lock(state.mutex);
    state.credentials[*host] = credential;
    state.holdsCredentials.store(true, std::memory_order_release);
}

std::optional<URLCredential> STHTTPRequest::credentialForCurrentHost() const {
    return sessionAuthenticationCredentialsForURL(impl_->url);
}

void STHTTPRequest::setUsername(const std::string& user, const std::string& password) {
    setCredentialForCurrentHost(
        URLCredential::credentialWithUser(user, password, URLCredential::PersistenceNone));
}

std::optional<std::string> STHTTPRequest::username() const {
    auto credential = credentialForCurrentHost();
    if (!credential) return std::nullopt;
    return credential->user;
}

std::optional<std::string> STHTTPRequest::password() const {
    auto credential = credentialForCurrentHost();
    if (!credential) return std::nullopt;
    return credential->password;
}

}  // namespace plovendale
