#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>

#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/start_up.h"
#include "support/test_environment.h"

namespace plovendale {
namespace {

const std::string kVersionInit = "[Plovendale] PlovendaleSDK version: 2.3.1, init ...";
const std::string kInitialized = "[Plovendale] PlovendaleSDK 2.3.1 successfully initialized.";
const std::string kNoKey = "[Plovendale] The app key is not available.";

struct RecordingDelegate : PlovendaleDelegate {
    std::vector<AppData> received;
    void getWakeUpTrace(const AppData& appData) override { received.push_back(appData); }
};

TEST(StartUp, KeyFromThePropertyListCreatesAndKeepsAClientIdentifier) {
    test::TestPlatform platform({{"com.plovendale.APP_KEY", "appkey123"}});
    platform.configure();
    auto delegate = std::make_shared<RecordingDelegate>();

    EXPECT_TRUE(Plovendale::isFirstOpen());
    Plovendale::initWithDelegate(delegate);
    EXPECT_EQ(platform.log().lines(), (std::vector<std::string>{kVersionInit, kInitialized}));
    const std::string clientId = CoreHelper::getClientId();
    EXPECT_TRUE(std::regex_match(clientId, std::regex("[0-9a-f]{32}"))) << clientId;
    EXPECT_EQ(CoreHelper::getAppKey(), "appkey123");
    EXPECT_TRUE(Plovendale::isFirstOpen());

    Plovendale::initWithDelegate(delegate);
    EXPECT_EQ(CoreHelper::getClientId(), clientId);
    EXPECT_EQ(platform.log().lines().size(), 4u);

    // The application's next launch finds the same identifier. Its start-up works on the store off
    // the host's thread, a second start-up meanwhile included, and what needs the store waits.
    test::resetProcessState();
    platform.configure();
    platform.log().clear();
    Plovendale::start();
    Plovendale::start();
    EXPECT_TRUE(Plovendale::isFirstOpen());
    auto lines = platform.log().lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kInitialized), 2);
    EXPECT_EQ(CoreHelper::getClientId(), clientId);

    // Once attributed, start-up logs only the version line.
    CoreHelper::saveTraceId("trace");
    EXPECT_FALSE(Plovendale::isFirstOpen());
    Plovendale::start();
    lines = platform.log().lines();
    EXPECT_EQ(lines.back(), "[Plovendale] PlovendaleSDK version: 2.3.1, start ...");
}

TEST(StartUp, AStoreStillLockedAfterTwoSecondsLeavesTheRunInMemoryWithOneLine) {
    test::TestPlatform platform({{"com.plovendale.APP_KEY", "appkey123"}});
    std::filesystem::create_directories(platform.dataDirectory());
    sqlite3* other = nullptr;  // another launch, making the file and holding it
    sqlite3_open((platform.dataDirectory() + "/defaults.sqlite").c_str(), &other);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE t(x); BEGIN EXCLUSIVE; INSERT INTO t VALUES(1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    platform.configure();
    const auto started = std::chrono::steady_clock::now();
    Plovendale::start();
    EXPECT_TRUE(Plovendale::isFirstOpen());
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GT(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(3));
    EXPECT_FALSE(Platform::keyValueStore()->persists());
    internal::finishStartUp();  // its open gives up later, and says nothing more
    sqlite3_close(other);
    const auto lines = platform.log().lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const auto& l) { return l.find("key-value store") != l.npos; }),
              1)
        << ::testing::PrintToString(lines);
}

TEST(StartUp, MissingKeyStoresTheDelegateButCreatesNothingUntilAnArgumentGivesOne) {
    test::TestPlatform platform;  // a key of another type counts as absent
    test::writeInfoPlist(platform.bundleDirectory(), {},
                         {{"com.plovendale.APP_KEY", "<integer>123456</integer>"}});
    platform.configure();
    auto delegate = std::make_shared<RecordingDelegate>();
    Plovendale::initWithDelegate(delegate, "");
    EXPECT_EQ(platform.log().lines(), (std::vector<std::string>{kVersionInit, kNoKey}));
    EXPECT_EQ(Plovendale::shareInstance().plovendaleDelegate(), delegate);
    EXPECT_EQ(CoreHelper::getClientId(), "");
    Plovendale::start();
    EXPECT_EQ(platform.log().lines().back(), kNoKey);

    // The library never keeps the delegate alive.
    delegate.reset();
    EXPECT_EQ(Plovendale::shareInstance().plovendaleDelegate(), nullptr);

    Plovendale::startWith("fromArgument");
    EXPECT_EQ(platform.log().lines()[4],
              "[Plovendale] PlovendaleSDK version: 2.3.1, startWith ...");
    EXPECT_EQ(CoreHelper::getAppKey(), "fromArgument");
    EXPECT_FALSE(CoreHelper::getClientId().empty());
    // A key no service URL can carry is refused at the door, and the one in force stays.
    // The service's rule exactly: what one refuses the other never accepts.
    const std::string tooLong(129, 'k');
    for (const std::string& key : std::vector<std::string>{
             "bad key", "k\xc3\xa9y12345", "a/b", "a?b", "a%41", "my.app", "app~1", tooLong}) {
        EXPECT_FALSE(Plovendale::startWith(key)) << key;
        EXPECT_EQ(platform.log().lines().back(),
                  "[Plovendale] startWith failed, the app key may hold only 1 to 128 letters, "
                  "digits, \"-\" and \"_\" (no \".\", \"~\" or spaces).");
    }
    // While it runs with one key, a start-up with another is refused and the key stays; the same
    // key again is harmless.
    EXPECT_FALSE(Plovendale::startWith("otherKey"));
    EXPECT_EQ(platform.log().lines().back(),
              "[Plovendale] startWith failed, the library already runs with another app key; "
              "call shutdown first to start with a new one.");
    EXPECT_EQ(CoreHelper::getAppKey(), "fromArgument");
    EXPECT_TRUE(Plovendale::startWith("fromArgument"));
    ASSERT_TRUE(Plovendale::shutdown(std::chrono::milliseconds(0)));
    EXPECT_TRUE(Plovendale::startWith("key-1_2" + std::string(121, '3')));
}

TEST(StartUp, ServerDomainAndPersistedStateFollowTheirRules) {
    test::TestPlatform platform({{"com.plovendale.SERVER_DOMAIN", "https://plist.example"}});
    platform.configure();
    EXPECT_EQ(CoreHelper::getTargetDomain(), "https://plist.example");
    Plovendale::setServerDomain(" ");
    EXPECT_EQ(
        platform.log().lines(),
        std::vector<std::string>{"[Plovendale] setServerDomain failed, domain cannot be empty."});
    const std::pair<const char*, const char*> domains[] = {
        {"https://h.example//", "https://h.example"},
        {"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
        {"http://127.0.0.1:8080/api", nullptr},
        {"h.example", nullptr},
        {"ftp://h.example", nullptr},
        {"https://h.example/?q=1", nullptr},
        {"https://h.example/#top", nullptr},
        {"https://exa mple.com", nullptr},
    };
    for (const auto& [domain, taken] : domains) {
        EXPECT_EQ(Plovendale::setServerDomain(domain), taken != nullptr) << domain;
        // A refused domain leaves the last one taken in force.
        EXPECT_EQ(CoreHelper::getTargetDomain(), taken ? taken : "http://127.0.0.1:8080") << domain;
    }

    CoreHelper::saveClientId("x");
    CoreHelper::saveClientId("y");
    EXPECT_EQ(CoreHelper::getClientId(), "x");

    // A stored trace identifier that is empty by the emptiness test reads as "".
    using Case = std::pair<const char*, const char*>;
    for (const auto& [stored, read] :
         {Case{"", ""}, Case{" ", ""}, Case{"  ", "  "}, Case{"\t", "\t"}, Case{"null", "null"},
          Case{"init", "init"}}) {
        CoreHelper::saveTraceId(stored);
        EXPECT_EQ(CoreHelper::getTraceId(), read) << '"' << stored << '"';
        EXPECT_EQ(CoreHelper::isFirstInstall(), std::string(read).empty()) << '"' << stored << '"';
    }
}

}  // namespace
}  // namespace plovendale
