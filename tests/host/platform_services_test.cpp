#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "plovendale/platform/bundle.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "support/test_environment.h"
#include "util/json_serialization.h"

namespace plovendale {
namespace {

TEST(Bundle, EntriesKeepTheirTypes) {
    test::TempDir dir;
    test::writeInfoPlist(dir.path(), {{"CFBundleIdentifier", "com.example.app"}},
                         {{"CFBundleVersion", "<integer>42</integer>"},
                          {"Ratio", "<real>1.5</real>"},
                          {"Flag", "<true/>"},
                          {"List", "<array><string>x</string></array>"}});
    auto bundle = makeDirectoryBundle(dir.path());
    EXPECT_EQ(bundle->bundleIdentifier(), "com.example.app");
    ASSERT_TRUE(bundle->infoValue("CFBundleVersion"));
    EXPECT_EQ(std::get<std::int64_t>(*bundle->infoValue("CFBundleVersion")), 42);
    EXPECT_FALSE(bundle->infoString("CFBundleVersion")) << "a number is not a string";
    EXPECT_EQ(std::get<double>(*bundle->infoValue("Ratio")), 1.5);
    EXPECT_TRUE(std::get<bool>(*bundle->infoValue("Flag")));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*bundle->infoValue("List")));
    EXPECT_FALSE(bundle->infoValue("Missing"));
}

// Entries that a careless or hostile build may write: none aborts the host (libplist asserts on a
// NUL inside a string or a UTF-16 key) or hides the entries around it.
TEST(Bundle, OddEntriesNeitherAbortNorHideTheOthers) {
    const std::string head =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.app</string><key>CFBundleVersion</key>";
    // Binary: {"CFBundleIdentifier": "com.example.app", "a\0b\u00e9": "x"}.
    const char binary[] =
        "bplist00\xd2\x01\x02\x03\x04\x5f\x10\x12"
        "CFBundleIdentifier"
        "\x64\x00\x61\x00\x00\x00\x62\x00\xe9\x5f\x10\x0f"
        "com.example.app"
        "\x51\x78\x08"
        "\x0d\x22\x2b\x3d\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x05"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x3f";
    const char nulString[] =
        "<string>1\0\0"
        "2</string></dict></plist>";
    struct Case {
        const char* name;
        std::string plist;
        std::optional<std::string> version;
    };
    const Case cases[] = {
        {"NUL bytes in a string", head + std::string(nulString, sizeof nulString - 1), "1"},
        {"text that is not UTF-8", head + "<string>\xff\xfe</string></dict></plist>", std::nullopt},
        {"a UTF-16 key holding a NUL", std::string(binary, sizeof binary - 1), std::nullopt},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        std::ofstream(dir.file("Info.plist"), std::ios::binary) << c.plist;
        const auto bundle = makeDirectoryBundle(dir.path());
        EXPECT_EQ(bundle->bundleIdentifier(), "com.example.app") << c.name;
        EXPECT_EQ(bundle->infoString("CFBundleVersion"), c.version) << c.name;
    }
}

TEST(JSONSerialization, WritesCompactTextAndRefusesWhatItCannotWrite) {
    nlohmann::json object = {{"a", "x y"}, {"b", "1"}};
    auto data = JSONSerialization::dataWithJSONObject(object, 0);
    ASSERT_TRUE(data);
    EXPECT_EQ(toString(*data), R"({"a":"x y","b":"1"})");

    EXPECT_EQ(toString(*JSONSerialization::dataWithJSONObject({1.5, -0.25}, 0)), "[1.5,-0.25]");

    // JSON has no NaN or infinity: wherever one sits, the write fails instead of writing null.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<nlohmann::json, const char*>> refused{
        {{{"bad", std::string("\xff\xfe")}}, "UTF-8"},
        {nlohmann::json("scalar"), "top-level type"},
        {{{"n", nan}}, "NaN"},
        {{{"a", {1, {{"b", {2.0, inf}}}}}}, "infinite"},
        {nlohmann::json::array({-inf}), "infinite"},
    };
    for (const auto& [value, why] : refused) {
        Error error;
        EXPECT_FALSE(JSONSerialization::dataWithJSONObject(value, 0, &error)) << why;
        EXPECT_EQ(error.domain, kJSONErrorDomain);
        EXPECT_NE(error.localizedDescription().find(why), std::string::npos)
            << error.localizedDescription();
    }
    using Members = std::vector<JSONSerialization::StringMember>;
    Error error;
    EXPECT_FALSE(JSONSerialization::dataWithStringMembers(Members{{"k", "\xff"}}, &error));
    EXPECT_EQ(error.domain, kJSONErrorDomain);
    EXPECT_NE(error.localizedDescription().find("UTF-8"), std::string::npos);
}

TEST(MainQueue, RunsTasksInOrderOnTheDrainingThreadAndBoundsWaits) {
    auto& queue = MainQueue::shared();
    std::vector<int> order;
    const auto mainThread = std::this_thread::get_id();
    bool allOnMain = true;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            queue.async([&, i] {
                order.push_back(i);
                allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
            });
        }
    });
    EXPECT_TRUE(test::runMainQueueUntil([&] { return order.size() == 100; }));
    poster.join();
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);

    // A wait ends by its timeout, also while work keeps arriving: here a task that posts its own
    // successor (it stops by itself after a few seconds, so a broken wait fails instead of
    // hanging).
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.runUntil([] { return false; }, std::chrono::milliseconds(50)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::function<void()> repost = [&] {
        if (std::chrono::steady_clock::now() < giveUp) queue.async(repost);
    };
    queue.async(repost);
    const auto busyStart = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.runUntil([] { return false; }, std::chrono::milliseconds(100)));
    EXPECT_LT(std::chrono::steady_clock::now() - busyStart, std::chrono::seconds(2));
    EXPECT_TRUE(
        test::runMainQueueUntil([&] { return std::chrono::steady_clock::now() >= giveUp; }));
    queue.drain();

    // A poster that throws neither unwinds into the thread that posted nor loses the task.
    int ran = 0;
    queue.setPoster([](MainQueue::Task) { throw std::runtime_error("host loop gone"); });
    queue.setDelayedPoster(
        [](std::chrono::milliseconds, MainQueue::Task) { throw std::runtime_error("no timers"); });
    EXPECT_NO_THROW(queue.async([&] { ++ran; }));
    EXPECT_NO_THROW(queue.asyncAfter(std::chrono::milliseconds(1), [&] { ++ran; }));
    queue.setPoster(nullptr);
    queue.setDelayedPoster(nullptr);
    EXPECT_EQ(queue.drain(), 2u);
    EXPECT_EQ(ran, 2);

    // Work left undrained for seconds is said once, with the call to make; nothing else would
    // tell a host that never drains why no outcome ever arrives.
    test::TestPlatform platform;
    platform.configure();
    queue.async([&] { ++ran; });
    queue.async([&] { ++ran; });
    const auto said = [&] {
        const auto lines = platform.log().lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("[Plovendale] The main queue has not been drained for 3 s") &&
                   line.find("MainQueue::shared().drain()") != std::string::npos;
        });
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (said() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(said(), 1);
    EXPECT_EQ(queue.drain(), 2u);
}

TEST(MainQueue, DelayedTasksRunOnTheQueueInDeadlineOrderAndNotBeforeTheirTime) {
    using namespace std::chrono_literals;
    auto& queue = MainQueue::shared();
    std::vector<int> order;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration lateRanAfter{};
    ASSERT_TRUE(queue.asyncAfter(150ms, [&] {
        order.push_back(3);
        lateRanAfter = std::chrono::steady_clock::now() - start;
    }));
    ASSERT_TRUE(queue.asyncAfter(20ms, [&] { order.push_back(2); }));
    ASSERT_TRUE(queue.asyncAfter(0ms, [&] { order.push_back(1); }));
    EXPECT_TRUE(test::runMainQueueUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(lateRanAfter, 150ms);

    // A host loop with timers of its own is handed the delay.
    std::vector<std::chrono::milliseconds> delays;
    queue.setDelayedPoster(
        [&](std::chrono::milliseconds delay, MainQueue::Task) { delays.push_back(delay); });
    queue.asyncAfter(5s, [] {});
    queue.asyncAfter(48h, [] {});
    queue.setDelayedPoster(nullptr);
    EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{5s, MainQueue::kMaxDelay}));
}

TEST(Platform, DefaultsFollowTheConfiguration) {
    test::TestPlatform platform;
    PlatformConfiguration plain;
    plain.dataDirectory = platform.dataDirectory();
    Platform::configure(plain);
    EXPECT_FALSE(Platform::device()->mainScreen()) << "a desktop host has no screen";
    EXPECT_TRUE(Platform::device()->machineName());
    EXPECT_GT(Platform::device()->operatingSystemVersion().major, 0);

    // A host clock is used as it answers; one that throws or answers no number gives way to the
    // system's instead of unwinding into whichever thread asked.
    const double system = Date::timeIntervalSince1970();
    for (const auto& [clock, expected] : std::vector<std::pair<std::function<double()>, double>>{
             {[] { return 1234.5; }, 1234.5},
             {[]() -> double { throw std::runtime_error("no time"); }, system},
             {[] { return std::nan(""); }, system},
             {[] { return std::numeric_limits<double>::infinity(); }, system},
             {[] { return 1e300; }, system},
             {[] { return -1e300; }, system}}) {
        plain.wallClock = clock;
        Platform::configure(plain);
        double now = 0;
        EXPECT_NO_THROW(now = Date::timeIntervalSince1970());
        EXPECT_NEAR(now, expected, 60);
    }
}

}  // namespace
}  // namespace plovendale
