#include "http/st_http_request_impl.h"
#include "http_test_util.h"
#include "plovendale/platform/platform.h"
#include "support/test_environment.h"
#include "transport/url_session.h"
#include "util/text.h"

namespace plovendale {
namespace {

auto& fields(STHTTPRequest& request) {
    return STHTTPRequestAccess::fields(request);
}

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

TEST(STHTTPRequestObject, CreationRefusesTextThatIsNoURLAndKeepsHeaderSpellings) {
    // What the transport would refuse at start is refused here already.
    for (const char* text :
         {"not a url", "", "http://exa mple.com/", "http://h/k\xc3\xa9y", "http://h/a%zz",
          "http://h/?a=%4", "http://a,b/", "http://a%2Cb/", "http://a%7Fb/", "1http://h/"})
        EXPECT_EQ(STHTTPRequest::requestWithURLString(text), nullptr) << text;
    EXPECT_EQ(STHTTPRequest::requestWithURL(std::nullopt), nullptr);
    EXPECT_NE(STHTTPRequest::requestWithURLString("myapp://open/x"), nullptr);

    auto request = STHTTPRequest::requestWithURLString("https://Example.com/a/b?x=1");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->url(), "https://Example.com/a/b?x=1");
    request->setHeaderWithName("X-A", "1");
    request->setHeaderWithName("X-A", "2");
    request->setHeaderWithName("x-a", "3");  // another spelling is another entry
    EXPECT_EQ(request->requestHeaders(), (STHTTPHeaders{{"X-A", "2"}, {"x-a", "3"}}));
    request->removeHeaderWithName("X-A");
    request->removeHeaderWithName("missing");
    EXPECT_EQ(request->requestHeaders(), (STHTTPHeaders{{"x-a", "3"}}));
}

TEST(STHTTPRequestObject, BodyDecodingByCharacterSetName) {
    auto request = STHTTPRequest::requestWithURLString("http://example.com/");
    const Bytes latin1 = bytesOf({'c', 'a', 'f', 0xE9});
    const Bytes utf8 = toBytes("caf\xC3\xA9");

    EXPECT_EQ(request->stringWithData(utf8, std::nullopt), "caf\xC3\xA9");
    EXPECT_EQ(request->stringWithData(latin1, std::nullopt), std::nullopt);  // not UTF-8: nothing
    EXPECT_EQ(request->stringWithData(latin1, "iso-8859-1"), "caf\xC3\xA9");
    EXPECT_EQ(request->stringWithData(latin1, "ISO-8859-1"), "caf\xC3\xA9");
    EXPECT_EQ(request->stringWithData(latin1, "latin1"), "caf\xC3\xA9");
    EXPECT_EQ(request->stringWithData(bytesOf({0x80}), "windows-1252"), "\xE2\x82\xAC");
    EXPECT_EQ(request->stringWithData(utf8, "no-such-charset"), "caf\xC3\xA9");  // unknown: UTF-8
    EXPECT_EQ(request->stringWithData(latin1, "no-such-charset"), std::nullopt);
    EXPECT_EQ(request->stringWithData(toBytes("abc"), "us-ascii"), "abc");
    EXPECT_EQ(request->stringWithData(latin1, "us-ascii"), std::nullopt);
    EXPECT_EQ(
        request->stringWithData(bytesOf({0xFE, 0xFF, 0x00, 'h', 0xD8, 0x3D, 0xDE, 0x00}), "utf-16"),
        "h\xF0\x9F\x98\x80");
    EXPECT_EQ(request->stringWithData(bytesOf({'h', 0x00, 'i', 0x00}), "utf-16le"), "hi");
    EXPECT_EQ(request->stringWithData(bytesOf({0x00, 'h', 0xD8, 0x3D}), "utf-16be"),
              std::nullopt);  // lone surrogate
    EXPECT_EQ(request->stringWithData(bytesOf({0x00, 'h', 0x00}), "utf-16be"),
              std::nullopt);  // odd length
    EXPECT_EQ(request->stringWithData(toBytes("\xED\xA0\x80"), "utf-8"),
              std::nullopt);  // encoded surrogate
    EXPECT_EQ(request->stringWithData(Bytes(), "utf-8"), "");

    // Hostile names are no names: UTF-8.
    EXPECT_EQ(request->stringWithData(toBytes("ok"), std::string("utf-16\0le", 9)),
              "ok");  // not a name: UTF-8
    EXPECT_EQ(request->stringWithData(toBytes("ok"), std::string(10000, 'x')), "ok");
    EXPECT_EQ(request->stringWithData(toBytes("ok"), "utf-7"),
              "ok");  // a name the client does not map
    EXPECT_EQ(request->stringWithData(toBytes("ok"), ""), "ok");

    // A forced encoding wins over the declared one.
    request->setForcedResponseEncoding(NSISOLatin1StringEncoding);
    EXPECT_EQ(request->stringWithData(latin1, "utf-8"), "caf\xC3\xA9");
    request->setForcedResponseEncoding(NSUTF8StringEncoding);
    EXPECT_EQ(request->stringWithData(latin1, "iso-8859-1"), std::nullopt);
}

TEST(STHTTPRequestObject, ResponseStringIsKeptOnceDecoded) {
    auto request = STHTTPRequest::requestWithURLString("http://example.com/");
    fields(*request).responseData = Bytes{0xFF};
    EXPECT_EQ(request->responseString(), std::nullopt);  // invalid: tried again on the next read
    fields(*request).responseData = toBytes("ab");
    EXPECT_EQ(request->responseString(), "ab");
    fields(*request).responseData = toBytes("abcd");  // more bytes arrived: the kept text stays
    EXPECT_EQ(request->responseString(), "ab");
}

TEST(STHTTPRequestErrors, StatusErrorCarriesHeadersAndBody) {
    auto request = STHTTPRequest::requestWithURLString("http://h/");
    fields(*request).responseStatus = 399;
    EXPECT_FALSE(request->errorDescribingRequestNonfulfillment());
    fields(*request).responseStatus = -1;
    EXPECT_FALSE(request->errorDescribingRequestNonfulfillment());

    fields(*request).responseStatus = 400;
    fields(*request).responseHeaders = STHTTPHeaders{{"Content-Type", "text/plain"}};
    fields(*request).responseData = toBytes("bad input");
    auto error = request->errorDescribingRequestNonfulfillment();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "STHTTPRequest");
    EXPECT_EQ(std::get<Error::Headers>(error->userInfo.at("headers")),
              (STHTTPHeaders{{"Content-Type", "text/plain"}}));

    // A body that does not decode is left out; the rest stays.
    auto binary = STHTTPRequest::requestWithURLString("http://h/");
    fields(*binary).responseStatus = 502;
    fields(*binary).responseData = Bytes{0xFF, 0xFE, 0xFD};
    error = binary->errorDescribingRequestNonfulfillment();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "HTTP Status 502: Bad Gateway");
    EXPECT_FALSE(error->userInfo.count("body"));
}

TEST(STHTTPRequestErrors, AuthenticationAndCancellationTests) {
    EXPECT_TRUE(st_isAuthenticationError(Error::make("STHTTPRequest", 401, "x")));
    EXPECT_TRUE(st_isAuthenticationError(Error::make(kNSURLErrorDomain, -1012, "x")));
    EXPECT_TRUE(st_isAuthenticationError(Error::make(kNSURLErrorDomain, -1013, "x")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make(kNSURLErrorDomain, 401, "x")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make("STHTTPRequest", 403, "x")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make("sthttprequest", 401, "x")));

    EXPECT_TRUE(
        st_isCancellationError(Error::make("STHTTPRequest", 1, "Connection was cancelled.")));
    EXPECT_FALSE(st_isCancellationError(Error::make("Other", 1, "x")));
    EXPECT_FALSE(st_isCancellationError(Error::make(kNSURLErrorDomain, -999, "cancelled")));
    EXPECT_FALSE(st_isAuthenticationError(Error::make("STHTTPRequest", 1, "x")));

    auto request = STHTTPRequest::requestWithURLString("http://h/");
    std::optional<Error> reported;
    request->setErrorBlock([&reported](const Error& error) { reported = error; });
    request->cancel();  // no task yet: only the report
    ASSERT_TRUE(reported);
    EXPECT_TRUE(st_isCancellationError(*reported));
    EXPECT_EQ(reported->localizedDescription(), "Connection was cancelled.");
    EXPECT_EQ(request->error()->code, 1);
}

class Diagnostics : public test::HTTPClientTest {};

const std::string kCurl = "\xF0\x9F\x8C\x80 curl -i";
const std::string kJoin = " \\\n";

TEST_F(Diagnostics, DescriptionsShowWhatWouldBeSent) {
    auto plain = STHTTPRequest::requestWithURLString("http://h.example/p");
    EXPECT_EQ(plain->curlDescription(), kCurl + kJoin + "\"http://h.example/p\"");
    plain->setHTTPMethod("PUT");  // the text form shows the method of the prepared request only
    EXPECT_EQ(plain->debugDescription(), "GET http://h.example/p\n");
    EXPECT_EQ(plain->curlDescription(),
              kCurl + kJoin + "-X PUT" + kJoin + "\"http://h.example/p\"");

    auto full = STHTTPRequest::requestWithURLString("http://h.example/p");
    full->setUsername("u", "p\"w");
    full->setPOSTDictionary(STHTTPDictionary{{"b", 2}, {"a", "x"}});
    full->setRawPOSTData(toBytes("[1,2]"));
    full->addFileToUpload("/tmp/one.txt", "f1");
    full->addDataToUpload(toBytes("12345"), "d");
    full->setEncodePOSTDictionary(false);
    EXPECT_EQ(full->debugDescription(),
              "POST http://h.example/p\nPOST DATA\n\t a = x\n\t b = 2\n"
              "UPLOAD FILE\n\t f1 = /tmp/one.txt\nUPLOAD DATA\n\t d = [5 bytes]\n");
    fields(*full).request = std::make_shared<const URLRequest>(*full->prepareURLRequest());
    const std::string curl = full->curlDescription();
    for (const std::string part :
         {"-X POST", "-u \"u:p\"w\"", "-d \"a=x&b=2\"", "-d '[1,2]'", "-F \"f1=@/tmp/one.txt\"",
          "-H \"Authorization: Basic dTpwInc=\""})
        EXPECT_NE(curl.find(kJoin + part + kJoin), std::string::npos) << part;
    EXPECT_EQ(full->debugDescription().rfind("POST http://h.example/p\nHEADERS\n", 0), 0u);
}

TEST_F(Diagnostics, LogBlockPerSwitch) {
    test::TestPlatform platform;
    platform.configure();
    std::size_t logged = 0;
    for (const auto& [debug, curl] : {std::pair{false, false}, std::pair{true, false},
                                      std::pair{true, true}, std::pair{false, true}}) {
        Platform::keyValueStore()->setBool(debug, "STHTTPRequestShowDebugDescription");
        Platform::keyValueStore()->setBool(curl, "STHTTPRequestShowCurlDescription");
        // No credential for the host: the start fails at once, after writing its diagnostics.
        auto request = STHTTPRequest::requestWithURLString("http://diag.example/x");
        request->setAddCredentialsToURL(true);
        request->startAsynchronous();
        const auto lines = platform.log().lines();
        ASSERT_EQ(lines.size(), logged += (debug || curl) ? 1 : 0);
        if (debug || curl) {
            EXPECT_EQ(lines.back(), "\n----------\n" + (debug ? request->debugDescription() : "") +
                                        (debug && curl ? "\n" : "") +
                                        (curl ? request->curlDescription() : "") +
                                        "\n----------\n");
        }
    }
    // Failed starts release their sessions on the session's own queue; let them finish.
    EXPECT_TRUE(test::runMainQueueUntil([] { return URLSession::liveSessionCount() == 0; }));
}

}  // namespace
}  // namespace plovendale
