#include "host/clock.h"
#include "http_test_util.h"
#include "transport/http_cookie_storage.h"

namespace plovendale {
namespace {

class CookiesAndCredentials : public test::HTTPClientTest {};

HTTPCookie sessionCookie(const std::string& name, const std::string& domain) {
    HTTPCookie cookie;
    cookie.name = name;
    cookie.value = "v";
    cookie.domain = domain;
    return cookie;
}

TEST_F(CookiesAndCredentials, CreatedCookies) {
    const double before = Date::timeIntervalSince1970();
    auto cookie =
        STHTTPRequest::createCookieWithName("n", "v", "https://Shop.example:8443/cart?x=1");
    ASSERT_TRUE(cookie);
    EXPECT_EQ(cookie->domain, "Shop.example");
    EXPECT_EQ(cookie->path, "/");
    EXPECT_NEAR(cookie->expiresDate.value_or(0) - before, 2592000, 5);
    EXPECT_FALSE(STHTTPRequest::createCookieWithName("n", "v", std::nullopt));
    EXPECT_FALSE(STHTTPRequest::createCookieWithName("n", "v", "myapp:nohost"));

    auto request = STHTTPRequest::requestWithURLString("http://h.example/");
    request->setCookieStoragePolicyForInstance(CookieStorageLocal);
    request->addCookieWithName("n", "v", std::nullopt);
    request->addCookie(std::nullopt);
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
}

TEST_F(CookiesAndCredentials, LocalStoreMatchesTheExactHost) {
    auto request = STHTTPRequest::requestWithURLString("http://h.example/");
    request->setCookieStoragePolicyForInstance(CookieStorageLocal);
    request->addCookieWithName("a", "1");
    request->addCookie(sessionCookie("dot", ".h.example"));
    request->addCookie(sessionCookie("s", "h.example"));

    auto names = [](const std::vector<HTTPCookie>& cookies) {
        std::vector<std::string> result;
        for (const auto& cookie : cookies) result.push_back(cookie.name);
        return result;
    };
    auto to = [](const std::string& url) {
        auto other = STHTTPRequest::requestWithURLString(url);
        other->setCookieStoragePolicyForInstance(CookieStorageLocal);
        return other;
    };
    EXPECT_EQ(names(to("https://h.example:9/any/path")->requestCookies()),
              (std::vector<std::string>{"a", "s"}));
    EXPECT_TRUE(to("http://sub.h.example/")->requestCookies().empty());
    EXPECT_TRUE(to("http://H.example/")->requestCookies().empty());
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
    EXPECT_EQ(names(request->sessionCookies()), (std::vector<std::string>{"dot", "s"}));
    request->deleteSessionCookies();
    EXPECT_EQ(names(STHTTPRequest::localCookiesStorage()), (std::vector<std::string>{"a"}));
    request->deleteAllCookies();
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
    request->addCookieWithName("b", "2");
    STHTTPRequest::deleteAllCookiesFromLocalCookieStorage();
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
}

TEST_F(CookiesAndCredentials, EphemeralCookiesStayWithTheRequest) {
    auto request = STHTTPRequest::requestWithURLString("http://h.example/");
    request->setCookieStoragePolicyForInstance(CookieStorageEphemeral);
    request->addCookieWithName("e", "1");
    request->addCookie(sessionCookie("other", "elsewhere.example"));
    EXPECT_EQ(request->requestCookies().size(), 2u);  // all of them, unfiltered
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
    request->deleteAllCookies();
    request->deleteSessionCookies();
    EXPECT_EQ(request->ephemeralRequestCookies().size(), 2u);
    EXPECT_TRUE(request->sessionCookies().empty());
}

TEST_F(CookiesAndCredentials, SharedStoreOperations) {
    STHTTPRequest::addCookieToSharedCookiesStorageWithName("kept", "1", "http://h.example/");
    STHTTPRequest::addCookieToSharedCookiesStorage(sessionCookie("session", "h.example"));
    STHTTPRequest::addCookieToSharedCookiesStorageWithName("x", "1", std::nullopt);
    EXPECT_EQ(HTTPCookieStorage::shared().cookies().size(), 2u);
    EXPECT_EQ(STHTTPRequest::sessionCookiesInSharedCookiesStorage().at(0).name, "session");

    auto request = STHTTPRequest::requestWithURLString("http://h.example/");
    EXPECT_EQ(request->sessionCookies().size(), 1u);
    request->deleteSessionCookies();
    ASSERT_EQ(HTTPCookieStorage::shared().cookies().size(), 1u);
    EXPECT_EQ(HTTPCookieStorage::shared().cookies()[0].name, "kept");
    request->deleteAllCookies();
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
}

TEST_F(CookiesAndCredentials, CredentialTable) {
    auto first = STHTTPRequest::requestWithURLString("http://api.example/a");
    auto second = STHTTPRequest::requestWithURLString("https://api.example:444/b");
    EXPECT_FALSE(first->username());
    first->setUsername("me", "secret");
    EXPECT_EQ(second->username(), "me");
    EXPECT_EQ(second->password(), "secret");
    EXPECT_EQ(STHTTPRequest::sessionAuthenticationCredentialsForURL("ftp://api.example/")->user,
              "me");
    EXPECT_FALSE(STHTTPRequest::sessionAuthenticationCredentialsForURL("http://API.example/"));
    EXPECT_FALSE(STHTTPRequest::sessionAuthenticationCredentialsForURL("not a url"));
    second->setCredentialForCurrentHost(URLCredential{"you", "pw"});
    EXPECT_EQ(first->credentialForCurrentHost()->user, "you");
    EXPECT_EQ(STHTTPRequest::sharedCredentialsStorage().size(), 1u);

    STHTTPRequest::addCookieToSharedCookiesStorageWithName("c", "1", "http://api.example/");
    auto local = STHTTPRequest::requestWithURLString("http://api.example/");
    local->setCookieStoragePolicyForInstance(CookieStorageLocal);
    local->addCookieWithName("l", "1");
    STHTTPRequest::clearSession();
    EXPECT_FALSE(first->credentialForCurrentHost());
    EXPECT_TRUE(STHTTPRequest::sharedCredentialsStorage().empty());
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
    EXPECT_TRUE(STHTTPRequest::localCookiesStorage().empty());
}

}  // namespace
}  // namespace plovendale
