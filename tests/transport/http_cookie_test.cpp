#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "transport/http_cookie_storage.h"

namespace plovendale {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

std::vector<HTTPCookie> parse(const std::vector<std::string>& lines, const std::string& url) {
    Fields fields;
    for (const auto& line : lines) fields.emplace_back("Set-Cookie", line);
    return HTTPCookie::cookiesWithResponseHeaderFields(fields, url);
}

std::vector<std::string> names(const std::vector<HTTPCookie>& cookies) {
    std::vector<std::string> result;
    for (const auto& cookie : cookies) result.push_back(cookie.name);
    return result;
}

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

HTTPCookie cookie(std::string name, std::string domain, std::string path = "/",
                  bool hostOnly = true) {
    HTTPCookie made;
    made.name = std::move(name);
    made.value = "v";
    made.domain = std::move(domain);
    made.path = std::move(path);
    made.hostOnly = hostOnly;
    return made;
}

TEST(HTTPCookieTest, ReadsEachSetCookieFieldForTheURLThatSetIt) {
    Fields fields = {{"Set-Cookie", "a=1"},
                     {"Content-Type", "text/plain"},
                     {"set-cookie", " b = two words ; Path=/docs; Secure; HttpOnly; Version=1"}};
    auto cookies =
        HTTPCookie::cookiesWithResponseHeaderFields(fields, "https://WWW.Example.com/app/page?q=1");
    ASSERT_EQ(cookies.size(), 2u);
    EXPECT_EQ(cookies[0].value, "1");
    EXPECT_EQ(cookies[0].domain, "www.example.com");
    EXPECT_TRUE(cookies[0].hostOnly);
    EXPECT_EQ(cookies[0].path, "/app");
    EXPECT_TRUE(cookies[0].isSessionOnly());
    EXPECT_FALSE(cookies[0].secure);
    EXPECT_EQ(cookies[1].name, "b");
    EXPECT_EQ(cookies[1].value, "two words");
    EXPECT_EQ(cookies[1].path, "/docs");
    EXPECT_TRUE(cookies[1].secure);
    EXPECT_TRUE(cookies[1].httpOnly);
    EXPECT_EQ(cookies[1].version, 1);

    auto dated = parse({"e=1; Expires=Wed, 21 Oct 2037 07:28:00 GMT",
                        "m=1; Max-Age=60; Expires=Wed, 21 Oct 2037 07:28:00 GMT",
                        "gone=1; Max-Age=0", "bad=1; Expires=someday; Max-Age=soon"},
                       "http://example.com/");
    ASSERT_EQ(names(dated), (std::vector<std::string>{"e", "m", "gone", "bad"}));
    EXPECT_EQ(dated[0].expiresDate, 2139722880.0);
    EXPECT_NEAR(*dated[1].expiresDate, now() + 60, 5) << "Max-Age wins over Expires";
    EXPECT_LE(*dated[2].expiresDate, now());
    EXPECT_TRUE(dated[3].isSessionOnly());

    // Cookie dates (RFC 6265, 5.1.1): any separators, time zones and unknown words ignored,
    // two-digit years 70-99 in the 1900s and 0-69 in the 2000s, a part out of range: no date.
    const std::pair<const char*, std::optional<double>> dates[] = {
        {"Wed, 21 Oct 2015 07:28:00 GMT", 1445412480},
        {"Wed, 21-Oct-2015 07:28:00 PST", 1445412480},
        {"21 Oct 15 07:28:00", 1445412480},
        {"Thu, 01-Jan-70 00:00:00", 0},
        {"31 dec 69 23:59:59 +0100", 3155759999},
        {"2016 february 29 0:0:0", 1456704000},
        {"32 Oct 2015 07:28:00", std::nullopt},
        {"21 Oct 2015 24:00:00", std::nullopt},
        {"29 Feb 2015 00:00:00", std::nullopt},
        {"21 Oct 1600 07:28:00", std::nullopt},
        {"21 Oct 2015", std::nullopt},
    };
    for (const auto& [date, expected] : dates) {
        auto read = parse({std::string("d=1; Expires=") + date}, "http://example.com/");
        ASSERT_EQ(read.size(), 1u) << date;
        EXPECT_EQ(read[0].expiresDate, expected) << date;
    }

    // Each line as received is one cookie, commas and all.
    auto lines = parse({"z=y; foo=bar, a=b", "id=1; Secure; HttpOnly; Path=/, tracker=2",
                        "pref=\"a, theme=dark\"; Max-Age=60"},
                       "https://example.com/");
    EXPECT_EQ(names(lines), (std::vector<std::string>{"z", "id", "pref"}));
    EXPECT_EQ(lines[2].value, "\"a, theme=dark\"");

    // Joined the way allHeaderFields joins repeated fields; the comma of a date or of a quoted
    // value does not split.
    auto joined = HTTPCookie::cookiesWithResponseHeaderFields(
        std::map<std::string, std::string>{
            {"Set-Cookie",
             "x=1; Expires=Wed, 21 Oct 2037 07:28:00 GMT, y=2; Path=/, q=\"a, b=c\", z=3"}},
        "http://example.com/");
    EXPECT_EQ(names(joined), (std::vector<std::string>{"x", "y", "q", "z"}));
    EXPECT_EQ(joined[0].expiresDate, 2139722880.0);
}

TEST(HTTPCookieTest, KeepsCookiesInsideTheDomainThatSetThem) {
    auto cookies = parse({"parent=1; Domain=.EXAMPLE.com", "self=1; Domain=www.example.com",
                          "foreign=1; Domain=other.com", "suffix=1; Domain=com",
                          "sibling=1; Domain=api.example.com"},
                         "http://www.example.com/");
    ASSERT_EQ(names(cookies), (std::vector<std::string>{"parent", "self"}));
    EXPECT_EQ(cookies[0].domain, ".example.com");
    EXPECT_FALSE(cookies[0].hostOnly);
    EXPECT_EQ(cookies[1].domain, ".www.example.com");

    auto onIP =
        parse({"ip=1; Domain=127.0.0.1", "wider=1; Domain=0.0.1"}, "http://127.0.0.1:8080/");
    ASSERT_EQ(names(onIP), (std::vector<std::string>{"ip"}));
    EXPECT_TRUE(onIP[0].hostOnly);

    EXPECT_TRUE(parse({"s=1; Secure"}, "http://example.com/").empty())
        << "no secure cookie from plain HTTP";
    EXPECT_EQ(names(parse(
                  {"__Secure-a=1", "__Secure-b=1; Secure", "__Host-c=1; Secure; Path=/",
                   "__Host-d=1; Secure; Domain=example.com; Path=/", "__Host-e=1; Secure; Path=/x"},
                  "https://example.com/x/y")),
              (std::vector<std::string>{"__Secure-b", "__Host-c"}));
    EXPECT_TRUE(parse({"a=1"}, "not a url").empty());
}

TEST(HTTPCookieTest, SkipsMalformedAndHostileText) {
    const std::string url = "http://example.com/";
    EXPECT_TRUE(parse({"", "noequals", "=value", "  ; Path=/", std::string("a=b\x01", 4),
                       std::string("a\0b=c", 5), "big=" + std::string(5000, 'x')},
                      url)
                    .empty());
    auto tolerated =
        parse({"a=1; Path=" + std::string(2000, '/'), "b=\"quoted\"; ;;; Unknown=1; Path",
               "c=1; Max-Age=99999999999999999999"},
              url);
    ASSERT_EQ(names(tolerated), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(tolerated[0].path, "/") << "an oversized attribute is ignored";
    EXPECT_EQ(tolerated[1].value, "\"quoted\"");
    EXPECT_GT(*tolerated[2].expiresDate, now());
}

TEST(HTTPCookieStorageTest, MatchesDomainPathSecurityAndExpiry) {
    HTTPCookieStorage store;
    store.setCookie(cookie("host", "example.com"));
    store.setCookie(cookie("domain", ".example.com", "/", false));
    store.setCookie(cookie("docs", "example.com", "/docs"));
    auto secure = cookie("secure", "example.com");
    secure.secure = true;
    store.setCookie(secure);
    auto expired = cookie("expired", "example.com");
    expired.expiresDate = now() - 10;
    store.setCookie(expired);
    auto lasting = cookie("lasting", "EXAMPLE.COM");
    lasting.expiresDate = now() + 3600;
    store.setCookie(lasting);

    EXPECT_EQ(names(store.cookiesForURL("http://example.com/")),
              (std::vector<std::string>{"host", "domain", "lasting"}));
    EXPECT_EQ(names(store.cookiesForURL("https://example.com/docs/page")),
              (std::vector<std::string>{"docs", "host", "domain", "secure", "lasting"}));
    EXPECT_EQ(names(store.cookiesForURL("http://example.com/docsearch")),
              (std::vector<std::string>{"host", "domain", "lasting"}));
    EXPECT_EQ(names(store.cookiesForURL("http://www.example.com/docs")),
              (std::vector<std::string>{"domain"}));
    EXPECT_TRUE(store.cookiesForURL("http://badexample.com/").empty());
    EXPECT_TRUE(store.cookiesForURL("ftp://example.com/").empty());
    EXPECT_TRUE(store.cookiesForURL("").empty());

    auto replacement = cookie("host", "example.com");
    replacement.value = "new";
    store.setCookie(replacement);
    EXPECT_EQ(names(store.cookies()),
              (std::vector<std::string>{"host", "domain", "docs", "secure", "lasting"}));
    EXPECT_EQ(store.cookies()[0].value, "new");

    auto removal = cookie("lasting", "example.com");
    removal.expiresDate = 0;
    store.setCookie(removal);
    store.deleteCookie(cookie("docs", "example.com", "/docs"));
    store.deleteCookie(cookie("docs", "example.com", "/"));  // different path: nothing
    EXPECT_EQ(names(store.cookies()), (std::vector<std::string>{"host", "domain", "secure"}));
}

TEST(HTTPCookieStorageTest, StaysConsistentUnderConcurrentUseAndBounded) {
    HTTPCookieStorage store;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 1000; ++i) {
                store.setCookie(cookie("c" + std::to_string(t * 1000 + i), "example.com"));
                if (i % 50 == 0) (void)store.cookiesForURL("http://example.com/");
                if (i % 3 == 0)
                    store.deleteCookie(
                        cookie("c" + std::to_string(t * 1000 + i - 3), "example.com"));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const auto all = store.cookies();
    EXPECT_LE(all.size(), 3000u);
    EXPECT_GT(all.size(), 2000u);
    EXPECT_EQ(store.cookiesForURL("http://example.com/").size(), all.size());
}

}  // namespace
}  // namespace plovendale
