#include "plovendale/platform/http_cookie.h"

namespace plovendale {

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(
    const std::vector<std::pair<std::string, std::string>>& /*headerFields*/, const std::string& /*url*/) {
    return {};
}

std::map<std::string, std::string> HTTPCookie::requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies) {
    if (cookies.empty()) return {};
    std::string text;
    for (const auto& cookie : cookies) {
        if (!text.empty()) text += "; ";
        text += cookie.name + "=" + cookie.value;
    }
    return {{"Cookie", text}};
}

HTTPCookieStorage& HTTPCookieStorage::shared() {
    static HTTPCookieStorage storage;
    return storage;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    std::lock_guard lock(mutex_);
    return cookies_;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const std::string& /*url*/) const { return {}; }

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(mutex_);
    cookies_.push_back(cookie);
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& /*cookie*/) {}

}  // namespace plovendale
