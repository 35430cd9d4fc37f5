#include "http_test_util.h"
#include "plovendale/platform/platform.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

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
    full->setRequest(full->prepareURLRequest());
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
