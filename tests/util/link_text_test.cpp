#include <gtest/gtest.h>

#include <string_view>
#include <tuple>

#include "util/text.h"
#include "util/url_components.h"

namespace plovendale {
namespace {

TEST(Base64Test, DecodesOnlyStrictText) {
    EXPECT_EQ(base64Decode(""), Bytes{});
    EXPECT_EQ(base64Decode("QQ=="), toBytes("A"));
    EXPECT_EQ(base64Decode("QUI="), toBytes("AB"));
    EXPECT_EQ(base64Decode("QUJD"), toBytes("ABC"));
    EXPECT_EQ(base64Decode("+/+/"), (Bytes{0xfb, 0xff, 0xbf}));
    for (const char* bad : {"QQ", "QQ=", "QUJ", "Q===", "====", "QQ==QUJD", "QU=D", "QUJD\n",
                            " QUJD", "QU-_", "QR==", "QUJ=\x80", "QUK="}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    EXPECT_FALSE(base64Decode(std::string("QU\0D", 4)));
    const Bytes all = [] {
        Bytes bytes;
        for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
        return bytes;
    }();
    for (std::size_t n = 0; n < 5; ++n) {
        const Bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(base64Decode(base64Encode(part)), part);
    }
    EXPECT_EQ(base64Decode(base64Encode(all)), all);

    // Link signatures go in base64url without padding; Basic authorisation in the standard form.
    struct Row {
        std::string bytes;
        Base64Alphabet alphabet;
        bool pad;
        const char* text;
    };
    for (const auto& [bytes, alphabet, pad, text] : {
             Row{"\xfb\xff\xbf", Base64Alphabet::Standard, true, "+/+/"},
             Row{"\xfb\xff\xbf", Base64Alphabet::URLSafe, false, "-_-_"},
             Row{"\xfb\xff", Base64Alphabet::URLSafe, false, "-_8"},
             Row{"\xfb\xff", Base64Alphabet::URLSafe, true, "-_8="},
             Row{"u:p", Base64Alphabet::Standard, true, "dTpw"},
             Row{"u", Base64Alphabet::Standard, false, "dQ"},
         }) {
        EXPECT_EQ(base64Encode(bytes, alphabet, pad), text) << text;
    }
}

TEST(PercentTest, UnescapesOnlyWellFormedUTF8) {
    EXPECT_EQ(percentUnescape("a%20b+c%7B%7d"), "a b+c{}");
    EXPECT_EQ(percentUnescape("%C3%A9"), "\u00e9");
    EXPECT_EQ(percentUnescape("%00"), std::string(1, '\0'));
    for (const char* bad : {"%", "%4", "%zz", "a%g0", "%C3", "%FF", "\xff"}) {
        EXPECT_FALSE(percentUnescape(bad)) << bad;
    }
    const std::string text = "{\"pr\":\"a b/\u00e9\",\"ch\":\"%\"}";
    EXPECT_EQ(percentUnescape(percentEscape(text)), text);
}

TEST(ASCIICaseTest, ComparesOnlyASCIILettersWithoutCase) {
    const std::tuple<std::string_view, std::string_view, bool> cases[] = {
        {"Content-Length", "Content-Length", true},
        {"content-length", "CONTENT-LENGTH", true},
        {"Content-Length", "Content-Lengt", false},
        {"Content-Length", "Content-Lengtj", false},
        {"", "", true},
        {"[", "{", false},  // 0x5B and 0x7B differ by the case bit but are not letters
        {"@", "`", false},
        {"\xc3\xa9", "\xc3\x89", false},  // no case folding beyond ASCII
    };
    for (const auto& [a, b, equal] : cases) {
        EXPECT_EQ(equalsIgnoringASCIICase(a, b), equal) << a << " / " << b;
        EXPECT_EQ(equalsIgnoringASCIICase(b, a), equal) << b << " / " << a;
    }
    EXPECT_EQ(lowercasedASCII("MiXeD-Case_\xc3\x89"), "mixed-case_\xc3\x89");
}

TEST(URLComponentsTest, ReadsPathAndQueryOfAnyScheme) {
    auto parsed = URLComponents::parse("myapp://host/c%2Fx?d=a+b%20c&e&=v&d=%zz#frag?d=no");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->path, "/c/x");
    EXPECT_EQ(parsed->query, "d=a+b%20c&e&=v&d=%zz");
    EXPECT_EQ(parsed->lastQueryValue("d"), "a+b c") << "a bad escape gives no value";
    EXPECT_EQ(parsed->lastQueryValue("e"), "") << "no \"=\", no value";
    EXPECT_EQ(parsed->lastQueryValue(""), "v");
    auto many = URLComponents::parse("a://h/c?d=1&%64=2&d=&d=%20&dd=3&&x=d&d");
    EXPECT_EQ(many->lastQueryValue("d"), "2") << "decoded name; \"\" and \" \" never win";
    EXPECT_EQ(URLComponents::parse("https://example.com/a/../c")->path, "/a/../c");
    EXPECT_FALSE(URLComponents::parse("https://example.com/c")->query);
    // URLs without an authority keep their whole path.
    EXPECT_EQ(URLComponents::parse("myapp:/c?d=1")->path, "/c");
    EXPECT_EQ(URLComponents::parse("myapp:///c/x?d=1")->path, "/c/x");
    EXPECT_EQ(URLComponents::parse("myapp:c?d=1")->path, "c");
    EXPECT_EQ(URLComponents::parse("myapp://c?d=1")->path, "/") << "c is the host here";
    for (const char* host : {"a,b", "a+b=c", "!$&'()*;"})  // RFC 3986 sub-delimiters
        EXPECT_EQ(URLComponents::parse(std::string("demoapp://") + host + "/c?d=1")->path, "/c");

    for (const char* bad : {"", "/c?d=1", "no scheme", "https://exa mple.com/c", "1ab://host/c",
                            "https://host:99999/c"}) {
        EXPECT_FALSE(URLComponents::parse(bad)) << bad;
    }
    EXPECT_FALSE(URLComponents::parse(std::string("https://host/c\0/x", 17)));
    EXPECT_FALSE(URLComponents::parse("https://host/%FF/c")->path) << "not UTF-8 once decoded";
}

// What a transfer is handed: these are what libcurl's own parser makes of the same texts.
TEST(ParsedURLTest, NormalisesAsTheTransferReads) {
    const std::pair<const char*, const char*> cases[] = {
        {"HTTP://u:@Ex%41mple.com:0080/a/./b/../c?q#f", "http://u:@ExAmple.com:80/a/c?q"},
        {"http:/h", "http://h/"},
        {"http://h:/x?", "http://h/x"},
        {"http://[0:0::1]:8", "http://[::1]:8/"},
        {"http://[fe80::1%25eth0]/", "http://[fe80::1%25eth0]/"},
        {"http://0x7f.1/", "http://127.0.0.1/"},
        {"http://010.0.0.255:00065535/", "http://8.0.0.255:65535/"},
        {"http://256.1.1.1/", "http://256.1.1.1/"},
        {"http://h%zz/", "http://h%25zz/"},
        {"file://localhost/x", "file:///x"},
    };
    for (const auto& [text, normalised] : cases) {
        const auto parsed = ParsedURL::parse(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->normalisedText(), normalised) << text;
    }
    EXPECT_EQ(ParsedURL::parse("https://h")->portOrDefault(), "443");
    for (const char* refused : {"http:////h", "http:h", "http://h:65536/", "http://h:0065536/",
                                "http://[::1x]/", "http://a%01b/", "http://a%7Fb/", "http://a b/",
                                "file://host/x", "file:/c:/x", "file:\r?x"}) {
        EXPECT_FALSE(ParsedURL::parse(refused)) << refused;
    }
}

}  // namespace
}  // namespace plovendale
