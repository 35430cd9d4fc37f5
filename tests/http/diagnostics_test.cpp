#include "http_test_util.h"
#include "plovendale/platform/platform.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

class Diagnostics : public test::HTTPClientTest {};

const std::string kCurl = "\xF0\x9F\x8C\x80 curl -i";
const std::string kJoin = " \\\n";

TEST_F(Diagnostics, CurlDescription) {
    auto plain = STHTTPRequest::requestWithURLString("http://h.example/p");
    EXPECT_EQ(plain->curlDescription(), kCurl + kJoin + "\"http://h.example/p\"");

    auto lower = STHTTPRequest::requestWithURLString("http://h.example/p");
    lower->setHTTPMethod("get");
    EXPECT_EQ(lower->curlDescription(),
              kCurl + kJoin + "-X get" + kJoin + "\"http://h.example/p\"");

    auto full = STHTTPRequest::requestWithURLString("http://h.example/p");
    full->setUsername("u", "p\"w");
    full->setPOSTDictionary(STHTTPDictionary{{"b", 2}, {"a", "x"}});
    full->setRawPOSTData(toBytes("[1,2]"));
    full->addFileToUpload("/tmp/one.txt", "f1");
    full->addFileToUpload("/tmp/two.txt", "f2");
    full->addDataToUpload(toBytes("12345"), "d");
    full->setEncodePOSTDictionary(false);
    full->setRequest(full->prepareURLRequest());
    const std::string expected =
        kCurl + kJoin + "-X POST" + kJoin + "-u \"u:p\"w\"" + kJoin + "-d \"a=x&b=2\"" + kJoin +
        "-d '[1,2]'" + kJoin + "-F \"f1=@/tmp/one.txt\"" + kJoin + "-F \"f2=@/tmp/two.txt\"" +
        kJoin +
        "-H \"Content-Type: multipart/form-data; boundary=----------kStHtTpReQuEsTbOuNdArY\"" +
        kJoin + "-H \"Content-Length: " +
        full->request()->headerFields.get("Content-Length").value_or("?") + "\"" + kJoin +
        "-H \"Authorization: Basic dTpwInc=\"" + kJoin + "\"http://h.example/p\"";
    EXPECT_EQ(full->curlDescription(), expected);

    auto text = STHTTPRequest::requestWithURLString("http://other.example/p");
    text->setRawPOSTData(toBytes("plain text"));
    auto empty = STHTTPRequest::requestWithURLString("http://other.example/p");
    empty->setPOSTDictionary(STHTTPDictionary{});
    EXPECT_EQ(text->curlDescription(), kCurl + kJoin + "\"http://other.example/p\"");
    EXPECT_EQ(empty->curlDescription(),
              kCurl + kJoin + "-d \"\"" + kJoin + "\"http://other.example/p\"");
}

TEST_F(Diagnostics, DebugDescription) {
    auto put = STHTTPRequest::requestWithURLString("http://h.example/p");
    put->setHTTPMethod("PUT");
    EXPECT_EQ(put->debugDescription(), "GET http://h.example/p\n");
    EXPECT_NE(put->curlDescription().find("-X PUT"), std::string::npos);

    auto request = STHTTPRequest::requestWithURLString("http://h.example/p");
    request->setPOSTDictionary(STHTTPDictionary{{"b", 2}, {"a", "x"}});
    request->setEncodePOSTDictionary(false);
    request->addFileToUpload("/tmp/one.txt", "f1");
    request->addFileToUpload("/tmp/two.txt", "f2");
    request->addDataToUpload(toBytes("12345"), "p");
    request->setRawPOSTData(toBytes("never shown"));
    EXPECT_EQ(request->debugDescription(),
              "POST http://h.example/p\n"
              "POST DATA\n\t a = x\n\t b = 2\n"
              "UPLOAD FILE\n\t f1 = /tmp/one.txt\n"
              "UPLOAD FILE\n\t f2 = /tmp/two.txt\n"
              "UPLOAD DATA\n\t p = [5 bytes]\n");

    auto prepared = STHTTPRequest::requestWithURLString("http://h.example/p");
    prepared->setHeaderWithName("X-A", "1");
    prepared->setGETDictionary(STHTTPDictionary{{"q", "1"}});
    prepared->setRequest(prepared->prepareURLRequest());
    EXPECT_EQ(prepared->debugDescription(), "GET http://h.example/p?q=1\nHEADERS\n\t X-A = 1\n");
}

TEST_F(Diagnostics, LogBlockPerSwitch) {
    test::TestPlatform platform;
    platform.configure();
    auto store = Platform::keyValueStore();

    auto startFailing = [] {
        // No credential for the host: the start fails at once, after writing its diagnostics.
        auto request = STHTTPRequest::requestWithURLString("http://diag.example/x");
        request->setAddCredentialsToURL(true);
        request->startAsynchronous();
        return request;
    };
    startFailing();
    EXPECT_TRUE(platform.log().lines().empty());

    store->setBool(true, "STHTTPRequestShowDebugDescription");
    auto request = startFailing();
    ASSERT_EQ(platform.log().lines().size(), 1u);
    EXPECT_EQ(platform.log().lines()[0],
              "\n----------\n" + request->debugDescription() + "\n----------\n");

    store->setBool(true, "STHTTPRequestShowCurlDescription");
    request = startFailing();
    ASSERT_EQ(platform.log().lines().size(), 2u);
    EXPECT_EQ(platform.log().lines()[1], "\n----------\nGET http://diag.example/x\n\n" + kCurl +
                                             kJoin + "\"http://diag.example/x\"\n----------\n");

    store->setBool(false, "STHTTPRequestShowDebugDescription");
    request = startFailing();
    ASSERT_EQ(platform.log().lines().size(), 3u);
    EXPECT_EQ(platform.log().lines()[2],
              "\n----------\n" + request->curlDescription() + "\n----------\n");
    // Failed starts release their sessions on the session's own queue; let them finish.
    EXPECT_TRUE(test::runMainQueueUntil([] { return URLSession::liveSessionCount() == 0; }));
}

}  // namespace
}  // namespace plovendale
