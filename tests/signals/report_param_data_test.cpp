#include "signals/report_param_data.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "plovendale/platform/platform.h"
#include "sdk/core_helper.h"
#include "signals/sign_info_utils.h"
#include "support/test_environment.h"
#include "util/json_serialization.h"

namespace plovendale {
namespace {

class ReportParamDataTest : public ::testing::Test {
  protected:
    void configure(std::optional<ScreenMetrics> screen, std::string model) {
        platform_.config().screen = screen;
        platform_.config().machineName = std::move(model);
        platform_.config().osVersion = OperatingSystemVersion{16, 4, 1};
        platform_.configure();
    }
    void writeMarker(const std::string& content) {
        const std::string dir = platform_.bundleDirectory() + "/_CodeSignature";
        std::filesystem::create_directories(dir);
        std::ofstream(dir + "/.pvignore", std::ios::binary) << content;
    }
    std::pair<std::string, std::string> screenSize(std::optional<ScreenMetrics> screen,
                                                   const std::string& model) {
        configure(screen, model);
        auto params = ReportParamData::getParams();
        return {params["sw"], params["sh"]};
    }

    test::TestPlatform platform_{{"CFBundleIdentifier", "com.example.host"},
                                 {"CFBundleVersion", "42"}};
};

TEST_F(ReportParamDataTest, ParamsCarryTheSeventeenKeys) {
    configure(ScreenMetrics{414, 896, 3.0, 3.0}, "MacBookPro18,1");
    const auto expected =
        nlohmann::json::parse(R"({"di":"","pkg":"com.example.host","osvn":"16.4.1",
        "vc":"42","clip":"","ai":"","sw":"1242","sh":"2688","li":"","br":"Apple","gr":"","gv":"",
        "ti":"","svn":"2.3.1","md":"MacBookPro18,1","os":"iOS","ch":""})");
    EXPECT_EQ(nlohmann::json(ReportParamData::getParams()), expected);
}

// Sent only when the host gave them, and only as a tag and a zone name: what the host got wrong
// is dropped where it enters, or where its own device services give it, with a line either way.
TEST_F(ReportParamDataTest, LanguageAndTimeZoneGoOnlyWhenTheHostGaveValidOnes) {
    struct Case {
        std::optional<std::string> language, zone;
        bool accepted;
        std::optional<std::string> lang, tz;
    };
    const Case cases[] = {
        {"de-CH", "Europe/Zurich", true, "de-CH", "Europe/Zurich"},
        {"zh-Hant-TW", "Etc/GMT+5", true, "zh-Hant-TW", "Etc/GMT+5"},
        {std::nullopt, "UTC", true, std::nullopt, "UTC"},
        {"en_US", "Europe//Zurich", false, std::nullopt, std::nullopt},
        {"en-", "/etc/localtime", false, std::nullopt, std::nullopt},
        {std::string(36, 'a'), "Europe/Zürich", false, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language.value_or("-") + " " + c.zone.value_or("-"));
        platform_.config().language = c.language;
        platform_.config().timeZone = c.zone;
        platform_.log().clear();
        EXPECT_EQ(Platform::configure(platform_.config()), c.accepted);
        EXPECT_EQ(platform_.log().lines().size(), c.accepted ? 0u : 2u);
        auto params = ReportParamData::getParams();
        EXPECT_EQ(params.contains("lang") ? std::optional(params["lang"]) : std::nullopt, c.lang);
        EXPECT_EQ(params.contains("tz") ? std::optional(params["tz"]) : std::nullopt, c.tz);
    }

    class HostDevice final : public DeviceServices {
      public:
        std::optional<ScreenMetrics> mainScreen() const override { return std::nullopt; }
        OperatingSystemVersion operatingSystemVersion() const override { return {}; }
        std::optional<std::string> machineName() const override { return std::nullopt; }
        std::optional<std::string> language() const override { return "fr-CA"; }
        std::optional<std::string> timeZone() const override { return "Europe/Paris;"; }
    };
    platform_.config().language.reset();
    platform_.config().timeZone.reset();
    platform_.config().device = std::make_shared<HostDevice>();
    platform_.log().clear();
    ASSERT_TRUE(Platform::configure(platform_.config()));
    auto params = ReportParamData::getParams();
    EXPECT_EQ(params["lang"], "fr-CA");
    EXPECT_FALSE(params.contains("tz"));
    ASSERT_EQ(platform_.log().lines().size(), 1u);
    EXPECT_NE(platform_.log().lines()[0].find("The device services' time zone is not an IANA"),
              std::string::npos);
}

TEST_F(ReportParamDataTest, ScreenSizeInPixels) {
    using Size = std::pair<std::string, std::string>;
    EXPECT_EQ(screenSize(ScreenMetrics{390.3, 844.9, 3.0, 3.0}, "x86_64"), Size("1170", "2534"));
    EXPECT_EQ(screenSize(std::nullopt, "x86_64"), Size("0", "0"));
    EXPECT_EQ(screenSize(ScreenMetrics{414, 896, 3.0, 2.0}, "iPhone11,8"), Size("828", "1792"));
    EXPECT_EQ(screenSize(ScreenMetrics{414, 896, 3.0, 2.5}, "iPhone12,1"), Size("1242", "2688"));
    EXPECT_EQ(screenSize(ScreenMetrics{414, 896, 3.0, NAN}, "iPhone12,1"), Size("828", "1792"));
    EXPECT_EQ(screenSize(std::nullopt, "iPhone12,1"), Size("828", "1792"));
    EXPECT_EQ(screenSize(ScreenMetrics{414, 896, 3.0, 2.0}, "iPhone12,10"), Size("1242", "2688"));
    EXPECT_EQ(screenSize(ScreenMetrics{414, 896, 3.0, 2.0}, "iphone12,1"), Size("1242", "2688"));
    // Metrics a host got wrong still give whole numbers.
    EXPECT_EQ(screenSize(ScreenMetrics{NAN, INFINITY, 1.0, 1.0}, "x86_64"), Size("0", "0"));
    EXPECT_EQ(screenSize(ScreenMetrics{1e30, -1e30, 1.0, 1.0}, "x86_64"),
              Size("9223372036854775807", "-9223372036854775808"));
}

TEST_F(ReportParamDataTest, TraceAndChannelSources) {
    configure(std::nullopt, "x86_64");
    Platform::keyValueStore()->setString("PasteTrace1", CoreHelper::kPasteKey);
    // The marker's trace wins over the pasteboard's unless it is empty; its channel is taken.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {nullptr, "PasteTrace1", ""},
        {R"({"traceId":" ","pv_channel":"store"})", "PasteTrace1", "store"},
        {R"({"traceId":"MarkerTrace","pv_channel":"store"})", "MarkerTrace", "store"},
    };
    for (const auto& [marker, ti, ch] : cases) {
        if (marker) writeMarker(marker);
        auto params = ReportParamData::getParams();
        EXPECT_EQ(params["clip"], "PasteTrace1");
        EXPECT_EQ(params["ti"], ti);
        EXPECT_EQ(params["ch"], ch);
    }
}

TEST_F(ReportParamDataTest, HostValuesThatAreNotUTF8CountAsAbsentAndTheParamsStillSerialise) {
    const std::string bad = "\xc3\x28";
    platform_.config().bundle =
        makeBundle(platform_.bundleDirectory(),
                   {{"CFBundleIdentifier", "com." + bad}, {"CFBundleVersion", "\xff"}});
    configure(std::nullopt, bad);
    auto params = ReportParamData::getParams();
    EXPECT_EQ(params.size(), 16u);
    EXPECT_FALSE(params.contains("md")) << "a model that is not text is no model";
    EXPECT_EQ(params.at("pkg"), "Unknown");
    EXPECT_EQ(params.at("vc"), "Unknown");
    EXPECT_TRUE(JSONSerialization::dataWithJSONObject(nlohmann::json(params), 0));

    // An entry of another type counts as absent too.
    platform_.config().bundle.reset();
    test::writeInfoPlist(platform_.bundleDirectory(), {{"CFBundleIdentifier", "com.example.host"}},
                         {{"CFBundleVersion", "<integer>42</integer>"}});
    configure(std::nullopt, "x86_64");
    EXPECT_EQ(ReportParamData::getParams().at("vc"), "Unknown");
}

TEST_F(ReportParamDataTest, SignMarkerReading) {
    configure(std::nullopt, "x86_64");
    EXPECT_FALSE(SignInfoUtils::getSignData());
    // Unreadable markers: the info_plist fuzz target replays them (marker-* seeds).
    const std::vector<std::pair<std::string, SignData>> cases{
        {"[1,2]", SignData{"", ""}},
        {R"({"pv_channel":"web"})", SignData{"web", ""}},
        {R"({"traceId":7,"pv_channel":null})", SignData{"", ""}},
        {R"({"traceId":" ","channel":"web"})", SignData{"", ""}},
        {R"({"traceId":"T1","pv_channel":"  "})", SignData{"  ", "T1"}},
    };
    for (const auto& [content, expected] : cases) {
        writeMarker(content);
        EXPECT_EQ(SignInfoUtils::getSignData(), expected) << content;
    }

    // A file of the cap is read; a longer one, or a FIFO, is not.
    const auto padded = [](std::size_t size) {
        const std::string head = R"({"pv_channel":"web","pad":")";
        return head + std::string(size - head.size() - 2, 'x') + "\"}";
    };
    writeMarker(padded(SignInfoUtils::kMaxMarkerSize));
    EXPECT_EQ(SignInfoUtils::getSignData(), (SignData{"web", ""}));
    writeMarker(padded(SignInfoUtils::kMaxMarkerSize + 1));
    EXPECT_FALSE(SignInfoUtils::getSignData());
    const std::string path = platform_.bundleDirectory() + "/_CodeSignature/.pvignore";
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(SignInfoUtils::getSignData()) << "a FIFO without a writer must not block";
}

}  // namespace
}  // namespace plovendale
