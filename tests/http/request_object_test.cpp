#include <gtest/gtest.h>

#include "plovendale/http/st_http_request.h"
#include "util/text.h"

namespace plovendale {
namespace {

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

TEST(STHTTPRequestObject, ValueTextualForms) {
    EXPECT_EQ(STHTTPValue("x y").textualForm(), "x y");
    EXPECT_EQ(STHTTPValue(2).textualForm(), "2");
    EXPECT_EQ(STHTTPValue(-7L).textualForm(), "-7");
    EXPECT_EQ(STHTTPValue(18446744073709551615ULL).textualForm(), "18446744073709551615");
    EXPECT_EQ(STHTTPValue(true).textualForm(), "1");
    EXPECT_EQ(STHTTPValue(0.1).textualForm(), "0.1");
    EXPECT_EQ(STHTTPValue(2.0).textualForm(), "2");
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
    request->setResponseData(Bytes{0xFF});
    EXPECT_EQ(request->responseString(), std::nullopt);  // invalid: tried again on the next read
    request->setResponseData(toBytes("ab"));
    EXPECT_EQ(request->responseString(), "ab");
    request->setResponseData(toBytes("abcd"));  // more bytes arrived: the kept text stays
    EXPECT_EQ(request->responseString(), "ab");
}

}  // namespace
}  // namespace plovendale
