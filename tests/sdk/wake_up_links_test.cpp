#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "plovendale/platform/main_queue.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/facade_internal.h"
#include "support/attribution_service_process.h"
#include "support/ed25519_keys.h"
#include "support/test_environment.h"
#include "util/text.h"

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

// "d" stands in the query with base64's "+", "/" and "=" escaped.
std::string link(const std::string& d, const std::string& path = "/c") {
    return std::string("plovendale-") + kAppKey + "://open" + path + "?d=" + percentEscape(d);
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
                                                "/cx?x=1&d=" + percentEscape(kPayload) + "#d=no"));
    ASSERT_EQ(received().size(), 3u);
    EXPECT_EQ(received()[1], (AppData{"P", "C"}));
    EXPECT_EQ(received()[2].channel, "web");
    EXPECT_TRUE(Plovendale::isFirstOpen()) << "wake-up links leave the installation state alone";
}

TEST_F(WakeUpLinksTest, LinksOfOtherApplicationsAreRefusedAndTheHostLearnsWhy) {
    std::vector<PlovendaleEvent> events;
    Plovendale::setEventObserver([&](const PlovendaleEvent& event) { events.push_back(event); });
    const std::pair<std::optional<std::string>, const char*> refused[] = {
        {"plovendale://open/c?d=" + percentEscape(kPayload), "other key"},
        {link(kPayload, "/x"), "no marker path"},
        {link(kPayload, ""), "no marker path"},
        {link(kPayload, "/C"), "capital path"},
        {"not a url " + std::string(kAppKey) + "/c", "not a url"},
        {std::nullopt, "no url"},
        {link(kPayload) + "&x=" + std::string(MAX_LINK_LENGTH, 'x'), "too long"},
    };
    for (const auto& [url, reason] : refused) {
        EXPECT_FALSE(Plovendale::handleSchemeLinkURL(url)) << url.value_or("nothing");
        MainQueue::shared().drain();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), (PlovendaleEvent{"link.refused", {{"reason", reason}}}));
    }
    EXPECT_FALSE(
        Plovendale::handleUniversalLink(UserActivity{"com.example.handoff", link(kPayload)}));
    CoreHelper::setAppKey("");
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL(link(kPayload)));
    MainQueue::shared().drain();
    EXPECT_EQ(events[events.size() - 2].values.at("reason"), "not web browsing");
    EXPECT_EQ(events.back().values.at("reason"), "no key");
    CoreHelper::setAppKey(kAppKey);
    EXPECT_FALSE(Plovendale::handleUniversalLink(std::nullopt));
    EXPECT_FALSE(
        Plovendale::handleUniversalLink(UserActivity{NSUserActivityTypeBrowsingWeb, std::nullopt}));
    MainQueue::shared().drain();  // their events reach `events` while it lives
    EXPECT_TRUE(received().empty());
}

TEST_F(WakeUpLinksTest, WithAVerificationKeyOnlyLinksTheServiceSignedAreTaken) {
    test::TempDir dir;
    std::ofstream(dir.file("link.key")) << test::kLinkPrivateKeyPEM;
    std::string error;
    auto service = test::AttributionServiceProcess::start(
        {std::string(PLOVENDALE_BIN_DIR) + "/attribution-service",
         "",
         {"--quiet", "--link-signing-key", dir.file("link.key"), "--link-lifetime", "3600"}},
        &error);
    ASSERT_TRUE(service) << error;
    const std::string signedLink = service->registerLink(kAppKey, "invite=bob", "sms", "link");
    const auto signature = signedLink.find("&s=");
    ASSERT_NE(signature, std::string::npos) << signedLink;
    const std::string unsignedLink = signedLink.substr(0, signature);
    std::string tampered = signedLink;
    const auto payloadStart = tampered.find("?d=") + 3;
    tampered[payloadStart] = tampered[payloadStart] == 'e' ? 'f' : 'e';
    const std::string otherKeys = service->registerLink(kAppKey, "invite=eve", "sms", "link");
    const std::string foreignSignature = unsignedLink + otherKeys.substr(otherKeys.find("&s="));
    // The same service key signs for another app whose key contains this one.
    const std::string otherApp =
        service->registerLink(std::string(kAppKey) + "x", "invite=bob", "sms", "link");
    std::string laterExpiry = signedLink;
    laterExpiry[signature - 1] = laterExpiry[signature - 1] == '9' ? '8' : '9';

    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(unsignedLink))
        << "without a key the signature is not asked for";
    ASSERT_TRUE(Plovendale::setLinkVerificationKey(test::kLinkPublicKeyPEM));
    const std::pair<std::string, bool> cases[] = {
        {signedLink, true},        {signedLink + "==", true},
        {tampered, false},         {unsignedLink, false},
        {foreignSignature, false}, {unsignedLink + "&s=" + std::string(86, 'A'), false},
        {otherApp, false},         {laterExpiry, false},
    };
    for (const auto& [url, taken] : cases)
        EXPECT_EQ(Plovendale::handleSchemeLinkURL(url), taken) << url;
    EXPECT_EQ(received(), (std::vector<AppData>(3, AppData{"invite=bob", "sms"})));

    // Once its signed expiry has passed, the link is refused.
    std::vector<PlovendaleEvent> events;
    Plovendale::setEventObserver([&](const PlovendaleEvent& event) { events.push_back(event); });
    platform_.config().wallClock = [] { return std::time(nullptr) + 7200.0; };
    platform_.configure();
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL(signedLink));
    MainQueue::shared().drain();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (PlovendaleEvent{"link.refused", {{"reason", "expired"}}}));
    Plovendale::setEventObserver(nullptr);  // `events` goes before the test's later events

    // A key that cannot be read never leaves links unchecked; "" turns checking off.
    EXPECT_FALSE(Plovendale::setLinkVerificationKey("-----BEGIN PUBLIC KEY-----\nnot a key\n"));
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL(signedLink));
    EXPECT_FALSE(Plovendale::setLinkVerificationKey(test::kLinkPrivateKeyPEM));
    EXPECT_TRUE(Plovendale::setLinkVerificationKey(""));
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(unsignedLink));
}

TEST_F(WakeUpLinksTest, PayloadRules) {
    const std::string base = std::string("myapp://host/c?key=") + kAppKey;
    const std::string other = payload(R"({"pr":"P2","ch":"C2"})");
    EXPECT_TRUE(internal::processLinkUrl(base));
    EXPECT_TRUE(internal::processLinkUrl(base + "&d="));
    EXPECT_TRUE(internal::processLinkUrl(base + "&d=" + percentEscape(kPayload) +
                                         "&d=" + percentEscape(other)));
    EXPECT_TRUE(internal::processLinkUrl(base + "&d=" + percentEscape(other) + "&d=&d=%20"));
    EXPECT_TRUE(internal::processLinkUrl(base + "&d=not*base64"));
    EXPECT_TRUE(internal::processLinkUrl(base + "&d=" + percentEscape(payload(R"(["P","C"])"))));
    EXPECT_TRUE(
        internal::processLinkUrl(base + "&d=" + percentEscape(payload(R"({"pr":5,"ch":"C"})"))));
    // Unescaped base64 in the query: its "+" stays a "+".
    EXPECT_TRUE(internal::processLinkUrl(base + "&d=eyJwciI6Ij8+Pz4iLCJjaCI6IkMifQ=="));
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

TEST_F(WakeUpLinksTest, ExtractRefusesMalformedPayloads) {
    for (const std::optional<std::string>& refused : std::vector<std::optional<std::string>>{
             std::nullopt, " ", kPayload + "\n", kPayload.substr(1),
             base64Encode(toBytes("%7B%zz")), base64Encode(toBytes("%7B%22pr%22:%22%FF%22}")),
             base64Encode(toBytes("{\"pr\":\"\xc3\"}")),
             // A lone lead byte that an escape would complete is still not UTF-8 before unescaping.
             base64Encode(toBytes("{\"pr\":\"\xc3%A9\"}")),
             base64Encode(toBytes(std::string_view("{\"pr\":\"x\"}\0{", 12)))}) {
        EXPECT_EQ(internal::extractAppData(refused), (AppData{"", ""})) << refused.value_or("");
    }
    EXPECT_EQ(internal::extractAppData(payload(R"({"pr":"\u0000","ch":"C"})")),
              (AppData{std::string(1, '\0'), "C"}));
}

TEST_F(WakeUpLinksTest, HostileLinksAreAnsweredSafely) {
    // A payload near the length bound still decodes.
    const std::string big(40 * 1024, 'p');
    EXPECT_TRUE(
        Plovendale::handleSchemeLinkURL(link(payload("{\"pr\":\"" + big + "\",\"ch\":\"C\"}"))));
    ASSERT_EQ(received().size(), 1u);
    EXPECT_EQ(received()[0].paramsData, big);

    EXPECT_FALSE(
        Plovendale::handleSchemeLinkURL(std::string("myapp://host/c?x=", 17) + '\0' + kAppKey));
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL("myapp://host/%FF/c?k=" + std::string(kAppKey)));
    EXPECT_FALSE(Plovendale::handleSchemeLinkURL("myapp://host/\xff/c?k=" + std::string(kAppKey)));
    EXPECT_TRUE(
        Plovendale::handleSchemeLinkURL("myapp://host/c?k=" + std::string(kAppKey) + "&d=%FF%00"));
    EXPECT_EQ(received().size(), 2u);
    EXPECT_EQ(received().back(), (AppData{"", ""}));
}

}  // namespace
}  // namespace plovendale
