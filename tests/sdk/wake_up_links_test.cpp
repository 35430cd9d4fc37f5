#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "plovendale/sdk/core_helper.h"
#include "plovendale/sdk/plovendale.h"
#include "support/test_environment.h"
#include "util/base64.h"
#include "util/percent.h"

namespace plovendale {
namespace {

constexpr const char* kAppKey = "k7Hq2Lm";

class RecordingDelegate : public PlovendaleDelegate {
  public:
    void getWakeUpTrace(const AppData& appData) override { received.push_back(appData); }
    std::vector<AppData> received;
};

class SilentDelegate : public PlovendaleDelegate {
  public:
    bool implementsGetWakeUpTrace() const override { return false; }
    void getWakeUpTrace(const AppData&) override {
        ADD_FAILURE() << "not offered to this delegate";
    }
};

std::string payload(const std::string& json, bool escape = true) {
    return base64Encode(toBytes(escape ? percentEscape(json) : json));
}

// "d" as it stands in a query: base64's "+", "/" and "=" escaped.
std::string queryValue(const std::string& base64) {
    return percentEscape(base64);
}

std::string link(const std::string& d, const std::string& path = "/c") {
    return std::string("plovendale-") + kAppKey + "://open" + path + "?d=" + queryValue(d);
}

const std::string kPayload = payload(R"({"pr":"a=1&b=\u00e9 +x","ch":"web","ou":"ignored"})");

class WakeUpLinksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_.configure();
        CoreHelper::setAppKey(kAppKey);
        Plovendale::registerPlovendaleDelegate(delegate_);
    }
    std::vector<AppData>& received() { return delegate_->received; }

    test::TestPlatform platform_;
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(WakeUpLinksTest, SchemeLinkReachesTheDelegate) {
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(link(kPayload)));
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0], (AppData{"a=1&b=\u00e9 +x", "web"}));

    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(link(payload(R"({"pr":"P","ch":"C"})", false))));
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL("https://example.com/" + std::string(kAppKey) +
                                                "/cx?x=1&d=" + queryValue(kPayload) + "#d=no"));
    ASSERT_EQ(received().size(), 3u);
    EXPECT_EQ(received()[1], (AppData{"P", "C"}));
    EXPECT_EQ(received()[2].channel, "web");
    EXPECT_TRUE(Plovendale::isFirstOpen()) << "wake-up links leave the installation state alone";
}

TEST_F(WakeUpLinksTest, LinksOfOtherApplicationsAreRefused) {
    for (const std::string& refused :
         {"plovendale://open/c?d=" + queryValue(kPayload), link(kPayload, "/x"),
          link(kPayload, ""), link(kPayload, "/C"), "not a url " + std::string(kAppKey) + "/c"})
        EXPECT_FALSE(Plovendale::handleSchemeLinkURL(refused)) << refused;
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL(std::nullopt));
    CoreHelper::setAppKey("");
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL(link(kPayload)));
    EXPECT_TRUE(received().empty());
}

TEST_F(WakeUpLinksTest, PayloadRules) {
    const std::string base = std::string("myapp://host/c?key=") + kAppKey;
    const std::string other = payload(R"({"pr":"P2","ch":"C2"})");
    EXPECT_TRUE(Plovendale::processLinkUrl(base));
    EXPECT_TRUE(Plovendale::processLinkUrl(base + "&d="));
    EXPECT_TRUE(Plovendale::processLinkUrl(base + "&d=" + queryValue(kPayload) +
                                           "&d=" + queryValue(other)));
    EXPECT_TRUE(Plovendale::processLinkUrl(base + "&d=" + queryValue(other) + "&d=&d=%20"));
    EXPECT_TRUE(Plovendale::processLinkUrl(base + "&d=not*base64"));
    EXPECT_TRUE(Plovendale::processLinkUrl(base + "&d=" + queryValue(payload(R"(["P","C"])"))));
    EXPECT_TRUE(
        Plovendale::processLinkUrl(base + "&d=" + queryValue(payload(R"({"pr":5,"ch":"C"})"))));
    // Unescaped base64 in the query: its "+" stays a "+".
    EXPECT_TRUE(Plovendale::processLinkUrl(base + "&d=eyJwciI6Ij8+Pz4iLCJjaCI6IkMifQ=="));
    const std::vector<AppData> expected{{"", ""}, {"", ""}, {"P2", "C2"}, {"P2", "C2"},
                                        {"", ""}, {"", ""}, {"", "C"},    {"?>?>", "C"}};
    EXPECT_EQ(received(), expected);
}

TEST_F(WakeUpLinksTest, DelegateIsOptional) {
    Plovendale::registerPlovendaleDelegate(nullptr);
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(link(kPayload)));
    Plovendale::registerPlovendaleDelegate(std::make_shared<SilentDelegate>());
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(link(kPayload)));
    {
        auto shortLived = std::make_shared<RecordingDelegate>();
        Plovendale::registerPlovendaleDelegate(shortLived);
    }
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(link(kPayload)));
    EXPECT_TRUE(received().empty());
}

TEST_F(WakeUpLinksTest, UniversalLinksMustBeWebBrowsing) {
    const std::string web =
        "https://example.com/c/" + std::string(kAppKey) + "?d=" + queryValue(kPayload);
    EXPECT_FALSE(Plovendale::handleUniversalLink(UserActivity{"com.example.handoff", web}));
    EXPECT_FALSE(Plovendale::handleUniversalLink(UserActivity{"", web}));
    EXPECT_FALSE(Plovendale::handleUniversalLink(std::nullopt));
    EXPECT_FALSE(
        Plovendale::handleUniversalLink(UserActivity{NSUserActivityTypeBrowsingWeb, std::nullopt}));
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(Plovendale::handleUniversalLink(UserActivity{NSUserActivityTypeBrowsingWeb, web}));
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].paramsData, "a=1&b=\u00e9 +x");
}

TEST_F(WakeUpLinksTest, ExtractRefusesMalformedPayloads) {
    const AppData empty{"", ""};
    EXPECT_EQ(Plovendale::extractAppData(std::nullopt), empty);
    EXPECT_EQ(Plovendale::extractAppData(" "), empty);
    EXPECT_EQ(Plovendale::extractAppData(kPayload + "\n"), empty);
    EXPECT_EQ(Plovendale::extractAppData(kPayload.substr(1)), empty);
    EXPECT_EQ(Plovendale::extractAppData(base64Encode(toBytes("%7B%zz"))), empty);
    EXPECT_EQ(Plovendale::extractAppData(base64Encode(toBytes("%7B%22pr%22:%22%FF%22}"))), empty);
    EXPECT_EQ(Plovendale::extractAppData(base64Encode(toBytes("{\"pr\":\"\xc3\"}"))), empty);
    // A lone lead byte that an escape would complete is still not UTF-8 text before unescaping.
    EXPECT_EQ(Plovendale::extractAppData(base64Encode(toBytes("{\"pr\":\"\xc3%A9\"}"))), empty);
    EXPECT_EQ(Plovendale::extractAppData(
                  base64Encode(toBytes(std::string_view("{\"pr\":\"x\"}\0{", 12)))),
              empty);
    EXPECT_EQ(Plovendale::extractAppData(payload(R"({"pr":"\u0000","ch":"C"})")),
              (AppData{std::string(1, '\0'), "C"}));
}

TEST_F(WakeUpLinksTest, HostileLinksAreAnsweredSafely) {
    // A megabyte of payload still decodes.
    const std::string big(1024 * 1024, 'p');
    EXPECT_TRUE(
        Plovendale::handleSchemeLinkURL(link(payload("{\"pr\":\"" + big + "\",\"ch\":\"C\"}"))));
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].paramsData, big);

    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "{\"pr\":";
    deep += "1" + std::string(10000, '}');
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(link(payload(deep, false))));
    EXPECT_EQ(received().back(), (AppData{"", ""}));

    EXPECT_FALSE(
        Plovendale::handleSchemeLinkURL(std::string("myapp://host/c?x=", 17) + '\0' + kAppKey));
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL("myapp://host/%FF/c?k=" + std::string(kAppKey)));
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL("myapp://host/\xff/c?k=" + std::string(kAppKey)));
    EXPECT_TRUE(
        Plovendale::handleSchemeLinkURL("myapp://host/c?k=" + std::string(kAppKey) + "&d=%FF%00"));
    EXPECT_EQ(received().size(), 3u);
    EXPECT_EQ(received().back(), (AppData{"", ""}));
}

}  // namespace
}  // namespace plovendale
