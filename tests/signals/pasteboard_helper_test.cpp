#include "signals/pasteboard_helper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "support/disk_faults.h"
#include "support/test_environment.h"

namespace plovendale {
namespace {

constexpr const char* kAppKey = "ab3Kx9PqZ";
constexpr const char* kTrace = "T0123456789xyz";

using test::encodeKey;
using test::encodeTrace;

std::string anchor(const std::string& key, const std::string& trace,
                   const std::string& before = "") {
    return test::pasteboardAnchor(key, trace, before);
}

class PasteboardHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_.configure();
        CoreHelper::setAppKey(kAppKey);
        Plovendale::registerPlovendaleDelegate(nullptr);
    }
    void putHTML(const std::vector<std::string>& texts) {
        std::vector<PasteboardItem> items;
        for (const auto& text : texts) items.push_back({{Pasteboard::kHTMLType, text}});
        Platform::generalPasteboard()->setItems(items);
    }
    std::optional<std::string> stored() const {
        return Platform::keyValueStore()->stringForKey(CoreHelper::kPasteKey);
    }

    test::TestPlatform platform_;
};

TEST_F(PasteboardHelperTest, StartUpCapturesAMarkerForThisApplicationOnly) {
    putHTML({anchor("zz9Qw1Rt0", "OtherTrace99")});
    Plovendale::startWith(kAppKey);
    EXPECT_FALSE(stored());
    EXPECT_EQ(UIPasteboardHelper::getPasteValue(), anchor("zz9Qw1Rt0", "OtherTrace99"));

    putHTML({anchor(kAppKey, kTrace)});
    Plovendale::initWithDelegate(nullptr, kAppKey);
    EXPECT_EQ(stored(), kTrace);
    EXPECT_EQ(UIPasteboardHelper::getCacheTraceId(), kTrace);
    EXPECT_EQ(UIPasteboardHelper::getPasteValue(), "");
    const auto items = Platform::generalPasteboard()->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(std::get<std::string>(items[0].at(Pasteboard::kPlainTextType)), "");

    // A later capture replaces the value; an attributed installation no longer looks.
    putHTML({anchor(kAppKey, "SecondTrace42")});
    UIPasteboardHelper::setUp(kAppKey);
    EXPECT_EQ(stored(), "SecondTrace42");
    putHTML({anchor(kAppKey, "ThirdTrace777")});
    CoreHelper::saveTraceId("init");
    Plovendale::start();
    EXPECT_EQ(stored(), "SecondTrace42");
    EXPECT_EQ(UIPasteboardHelper::getPasteValue(), anchor(kAppKey, "ThirdTrace777"));

    // While another process holds the file, a query made during the write carries the trace.
    test::StoreWriteLock held(platform_.dataDirectory() + "/defaults.sqlite");
    ASSERT_TRUE(held.held());
    std::atomic<bool> done{false};
    std::thread capturing([&] {
        UIPasteboardHelper::capture(kAppKey);
        done = true;
    });
    bool seenWhileWriting = false;
    for (int i = 0; i < 100 && !done && !seenWhileWriting; ++i) {
        seenWhileWriting = UIPasteboardHelper::getCacheTraceId() == "ThirdTrace777" && !done;
        if (!seenWhileWriting) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    held.release();
    capturing.join();
    EXPECT_TRUE(seenWhileWriting);
    EXPECT_EQ(UIPasteboardHelper::getCacheTraceId(), "ThirdTrace777");
}

TEST_F(PasteboardHelperTest, RecognisesOnlyTheAnchorFormat) {
    const std::string marker = "PLOVENDALE:" + encodeKey(kAppKey) + ":" + encodeTrace(kTrace);
    const std::pair<std::string, std::string> cases[] = {
        {anchor(kAppKey, kTrace), kTrace},
        {marker, ""},
        {" " + anchor(kAppKey, kTrace), ""},
        {"<a id=\"" + marker + ":extra\">", ""},
        {anchor(kAppKey, kTrace, "class=\"x\" "), kTrace},
        {"<a data-id=\"" + marker + "\" id=\"other\">", kTrace},
        {"<a id=\"other\" data-id=\"" + marker + "\">", ""},  // only the first id attribute counts
        {anchor("AB3KX9PQZ", kTrace), ""},
        {"<a id=\"PLOVENDALE:" + encodeKey(kAppKey) + ":\n" + encodeTrace(kTrace) + "\">", ""},
        // Chromium keeps HTML written through the asynchronous clipboard in this document
        // wrapper; the anchor must still come first inside it.
        {"<html><head></head><body>" + anchor(kAppKey, kTrace) + "</body></html>", kTrace},
        {"<html><head></head><body> " + anchor(kAppKey, kTrace), ""},
        {"<html><body>" + anchor(kAppKey, kTrace), ""},
        {"<html><head></head><body><p>x</p>" + anchor(kAppKey, kTrace), ""},
    };
    for (const auto& [text, trace] : cases)
        EXPECT_EQ(UIPasteboardHelper::extractTraceId(text, kAppKey), trace) << text;
    EXPECT_EQ(UIPasteboardHelper::extractTraceId(anchor(kAppKey, kTrace), ""), "");

    // Plain text is not read, and only the last HTML item is.
    Platform::generalPasteboard()->setString(marker);
    UIPasteboardHelper::setUp(kAppKey);
    putHTML({anchor(kAppKey, kTrace), "<p>later</p>"});
    UIPasteboardHelper::setUp(kAppKey);
    EXPECT_FALSE(stored());
    EXPECT_EQ(UIPasteboardHelper::getPasteValue(), "<p>later</p>");
}

TEST_F(PasteboardHelperTest, FieldsDecodeAtUTF16Positions) {
    EXPECT_EQ(UIPasteboardHelper::decodeAppKey("fffffABCDEgggF"), "ABCDEF");
    EXPECT_EQ(UIPasteboardHelper::decodeAppKey("fffffABCDEggg"), "");
    EXPECT_EQ(UIPasteboardHelper::decodeAppKey(""), "");
    EXPECT_EQ(UIPasteboardHelper::decodeTrackId("hhh0123456789iiiiiX"), "0123456789X");
    EXPECT_EQ(UIPasteboardHelper::decodeTrackId("hhh0123456789iiiii"), "");
    EXPECT_EQ(UIPasteboardHelper::decodeTrackId("hhh0123456789iiiii "), "") << "one space is empty";
    EXPECT_EQ(UIPasteboardHelper::decodeTrackId("hh"), "");
    // Each emoji is two units and "é" one, so the filler below is exactly five and three units.
    EXPECT_EQ(UIPasteboardHelper::decodeAppKey("\U0001F600\U0001F600f\u00e9\u00e9\u00e9\u00e9\u00e9"
                                               "\U0001F600g\u00e9\u00e9"),
              "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9");

    const std::string unicodeKey = "\u043a\u043b\u044e\u0447\u0438\U0001F511";
    const std::string text = "<a id=\"PLOVENDALE:12345" + unicodeKey.substr(0, 10) + "678" +
                             unicodeKey.substr(10) + ":" + encodeTrace(kTrace) + "\">";
    EXPECT_EQ(UIPasteboardHelper::extractTraceId(text, unicodeKey), kTrace);
}

TEST_F(PasteboardHelperTest, HostileTextIsAnsweredWithoutAMatch) {
    // Megabytes of unterminated id attributes, each preceded by a run of white space: a naive
    // search for the attribute is quadratic here.
    std::string flood = "<a ";
    while (flood.size() < 4 * 1024 * 1024)
        flood += std::string(1000, ' ') + "id=\"" + std::string(600, 'x') + "\n";
    EXPECT_EQ(UIPasteboardHelper::extractTraceId(flood, kAppKey), "");
    std::string lines = "<a ";
    while (lines.size() < 4 * 1024 * 1024) lines += "id=\"\n" + std::string(1000, ' ');
    putHTML({lines});
    UIPasteboardHelper::setUp(kAppKey);
    EXPECT_FALSE(stored());
    EXPECT_EQ(UIPasteboardHelper::getPasteValue(), lines);

    // Ill-formed UTF-8 and NUL bytes around a valid marker neither crash nor hide it.
    const std::string noisy =
        std::string("<a \xff\xfe\0 ", 7) + anchor(kAppKey, kTrace).substr(3) + "\xc3";
    EXPECT_EQ(UIPasteboardHelper::extractTraceId(noisy, kAppKey), kTrace);
    EXPECT_EQ(UIPasteboardHelper::extractTraceId("<a id=\"PLOVENDALE:" + encodeKey(kAppKey) + ":" +
                                                     std::string("hhh\xff\0", 5) + "\"",
                                                 kAppKey),
              "");
}

}  // namespace
}  // namespace plovendale
