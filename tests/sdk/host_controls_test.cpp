// Outbox, install-trace state, events, consent and forgetting, against the reference service.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "host/clock.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/outbox.h"
#include "sdk/outbox_store.h"
#include "support/attribution_service_process.h"
#include "support/disk_faults.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

using nlohmann::json;
using Kind = InstallTraceState::Kind;
constexpr const char* kKey = "hostCtl42key";
const std::string kService = std::string(PLOVENDALE_BIN_DIR) + "/attribution-service";

// The reports the outbox holds now, oldest first, as stored.
json storedReports() {
    json reports = json::array();
    auto store = Platform::keyValueStore();
    const auto index = json::parse(store->stringForKey(internal::kOutboxIndexKey).value_or("[]"));
    for (const auto& key : index) {
        for (auto& entry : json::parse(store->stringForKey(key.get<std::string>()).value_or("[]")))
            if (entry.value("kind", "") == "report") reports.push_back(entry);
    }
    return reports;
}

struct Outcome {
    bool arrived = false;
    std::optional<AppData> appData;
    std::int64_t code = 0;
    std::optional<std::string> message;
    bool synchronous = false;
};

class HostControls : public ::testing::Test {
  protected:
    void SetUp() override { startService({}); }

    void startService(const std::vector<std::string>& args) {
        // These tests are about outcomes the host must be told of: installs the service cannot
        // credit are answered "not yet" (404) rather than as final organic ones.
        std::vector<std::string> all = {"--quiet", "--unmatched-status", "404"};
        all.insert(all.end(), args.begin(), args.end());
        service_.reset();  // the database stays: it lives in serviceDir_
        std::string error;
        service_ = test::AttributionServiceProcess::start(
            {kService, serviceDir_.file("service.db"), all}, &error);
        ASSERT_TRUE(service_) << error;
    }

    // Starts the library as a host's launch does; every earlier launch's memory is gone.
    void launch(bool observeEvents = true) {
        test::resetProcessState();
        platform_.configure();
        events_.clear();
        if (observeEvents)
            Plovendale::setEventObserver(
                [this](const PlovendaleEvent& e) { events_.push_back(e); });
        Plovendale::initWithDelegate(nullptr, kKey);
        Plovendale::setServerDomain(service_->baseUrl());
    }

    // One query, waiting for its outcome and everything it sent.
    Outcome query() {
        Outcome outcome;
        bool returned = false;
        Plovendale::getInstallTrace(
            [&](const std::optional<AppData>& data) {
                outcome = {true, data, 200, std::nullopt, !returned};
            },
            [&](std::int64_t code, const std::optional<std::string>& message) {
                outcome = {true, std::nullopt, code, message, !returned};
            });
        returned = true;
        settle([&] { return outcome.arrived; });
        return outcome;
    }

    void settle(const std::function<bool()>& also = [] { return true; }) {
        EXPECT_TRUE(test::runMainQueueUntil(
            [&] {
                return also() && URLSession::liveSessionCount() == 0 && !internal::outboxBusy();
            },
            std::chrono::seconds(20)));
        MainQueue::shared().drain();
    }

    std::vector<std::string> eventNames() const {
        std::vector<std::string> names;
        for (const auto& event : events_) names.push_back(event.name);
        return names;
    }

    json reports() { return json::parse(service_->stateReports(kKey)); }
    json installs() {
        httplib::Client client("127.0.0.1", service_->port());
        auto res = client.Get(
            (std::string("/api/installs/") + kKey).c_str(),
            {{"Authorization", test::AttributionServiceProcess::operatorAuthorization()}});
        return res ? json::parse(res->body, nullptr, false) : json();
    }
    void putOnPasteboard(const std::string& html) {
        platform_.config().pasteboard->setItems(
            {PasteboardItem{{Pasteboard::kHTMLType, PasteboardValue{html}}}});
    }

    std::string registerTrace() { return service_->registerLink(kKey, "room=7", "web"); }

    // Every key in the library's store file (whose value holds `text`), read with SQLite itself.
    std::vector<std::string> storedKeys(const std::string& text = "") {
        sqlite3* db = nullptr;
        std::vector<std::string> keys;
        if (sqlite3_open_v2((platform_.dataDirectory() + "/defaults.sqlite").c_str(), &db,
                            SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_exec(
                db,
                ("SELECT key FROM kv WHERE instr(CAST(value AS TEXT), '" + text +
                 "') > 0 ORDER BY key;")
                    .c_str(),
                [](void* out, int, char** values, char**) {
                    static_cast<std::vector<std::string>*>(out)->push_back(values[0]);
                    return 0;
                },
                &keys, nullptr);
        }
        sqlite3_close(db);
        return keys;
    }

    test::TempDir serviceDir_;
    std::unique_ptr<test::AttributionServiceProcess> service_;
    test::TestPlatform platform_;
    std::vector<PlovendaleEvent> events_;
};

TEST_F(HostControls, AFirstInstallQueryTellsItsEventsInOrderAndItsFinalStateToLateListeners) {
    putOnPasteboard(test::pasteboardAnchor(kKey, registerTrace()));
    launch();
    bool calledEarly = false;
    InstallTraceState early;
    Plovendale::addInstallTraceObserver([&](const InstallTraceState& state) {
        early = state;
        calledEarly = true;
    });
    EXPECT_EQ(Plovendale::installTraceState().kind, Kind::Unknown);

    const Outcome outcome = query();
    const InstallTraceState attributed{Kind::Attributed, AppData{"room=7", "web"}, 0, {}};
    EXPECT_EQ(outcome.appData, attributed.appData);
    EXPECT_TRUE(calledEarly);
    EXPECT_EQ(early, attributed);
    EXPECT_EQ(eventNames(),
              (std::vector<std::string>{"pasteboard.captured", "query.started", "query.answered",
                                        "report.sent", "report.delivered"}));
    EXPECT_EQ(events_[1].values, (std::map<std::string, std::string>{{"source", "network"}}));
    EXPECT_EQ(events_[2].values.at("code"), "200");
    EXPECT_GT(std::stoi(events_[2].values.at("responseBytes")), 20);
    for (const auto& event : events_) {
        for (const auto& [name, value] : event.values) {
            EXPECT_EQ(value.find("room=7"), std::string::npos) << event.name << " carries the link";
        }
    }

    // A listener of a later launch gets the stored answer, posted rather than on its stack.
    launch();
    std::optional<InstallTraceState> late;
    Plovendale::addInstallTraceObserver([&](const InstallTraceState& state) { late = state; });
    EXPECT_FALSE(late);
    EXPECT_TRUE(test::runMainQueueUntil([&] { return late.has_value(); }));
    EXPECT_EQ(late, attributed);
}

TEST_F(HostControls, AFailureIsKeptForLaterLaunchesButALateListenerWaitsForThisLaunchsQuery) {
    launch();
    EXPECT_EQ(query().code, 404);
    const InstallTraceState failed{Kind::Failed, std::nullopt, 404,
                                   "the request carries no trace id"};
    EXPECT_EQ(Plovendale::installTraceState(), failed);

    launch();
    EXPECT_EQ(Plovendale::installTraceState(), failed);
    std::vector<InstallTraceState> seen;
    Plovendale::addInstallTraceObserver(
        [&](const InstallTraceState& state) { seen.push_back(state); });
    settle();
    EXPECT_TRUE(seen.empty()) << "a failure of an earlier launch is not this launch's answer";
    query();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], failed);
}

TEST_F(HostControls, AReportTheServiceCannotTakeWaitsForTheNextLaunchAndOneItRejectsIsDropped) {
    startService({"--state-status", "503"});
    launch();
    EXPECT_EQ(query().code, 404);
    EXPECT_EQ(Plovendale::queuedReportCount(), 1u);
    EXPECT_EQ(eventNames().back(), "report.queued");
    EXPECT_EQ(reports(), json::array());
    const std::string clientId = CoreHelper::getClientId();

    startService({});  // the service is back, on another port
    launch();
    settle([] { return Plovendale::queuedReportCount() == 0; });
    const json delivered = reports();
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0]["cd"], "404");
    EXPECT_EQ(delivered[0]["ci"], clientId);
    EXPECT_EQ(eventNames().back(), "report.delivered");
    EXPECT_EQ(events_.back().values.at("attempts"), "2");

    startService({"--state-status", "400"});
    launch();
    query();
    EXPECT_EQ(Plovendale::queuedReportCount(), 0u);
    EXPECT_EQ(eventNames().back(), "report.dropped");
    EXPECT_EQ(events_.back().values.at("reason"), "rejected");
}

// The sender looks at the file, not at this launch's copy of it: reports that another launch
// (gone since) left there after this one started go out at the next pass, one after the other;
// the pass after a query's answer tries them too.
TEST_F(HostControls, AReportAnotherLaunchLeftInTheFileMeanwhileGoesOut) {
    launch();
    settle();
    int made = 0;
    const auto leave = [&](std::initializer_list<const char*> clients) {
        json chunk = json::array();
        for (const char* client : clients) {
            const json body = {{"cd", "503"}, {"ci", client}, {"ms", "0"}, {"msg", ""}, {"t", "9"}};
            chunk.push_back(json::parse(
                internal::reportEntry(client,
                                      static_cast<long long>(Date::timeIntervalSince1970() * 1000),
                                      body.dump(), 1)
                    .text));
        }
        // As another launch writes: a new chunk and its index entry in one transaction.
        const std::string key =
            internal::kOutboxChunkKeyPrefix + std::string("other.") + std::to_string(++made);
        sqlite3* other = nullptr;
        sqlite3_open((platform_.dataDirectory() + "/defaults.sqlite").c_str(), &other);
        sqlite3_stmt* read = nullptr;
        sqlite3_prepare_v2(other, "SELECT value FROM kv WHERE key = ?", -1, &read, nullptr);
        sqlite3_bind_text(read, 1, internal::kOutboxIndexKey, -1, SQLITE_STATIC);
        json index = json::array();
        if (sqlite3_step(read) == SQLITE_ROW)
            index = json::parse(reinterpret_cast<const char*>(sqlite3_column_text(read, 0)));
        sqlite3_finalize(read);
        index.push_back(key);
        const std::string write = "BEGIN; INSERT OR REPLACE INTO kv VALUES ('" + key + "', 0, '" +
                                  chunk.dump() + "'); INSERT OR REPLACE INTO kv VALUES ('" +
                                  internal::kOutboxIndexKey + "', 0, '" + index.dump() +
                                  "'); COMMIT;";
        EXPECT_EQ(sqlite3_exec(other, write.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);
    };
    leave({"other", "another"});
    Plovendale::setTrackingDisabled(false);
    settle([&] { return reports().size() == 2; });
    EXPECT_EQ(reports()[0]["ci"], "other");
    EXPECT_EQ(reports()[1]["ci"], "another");

    // The query's own report is not taken, so no delivery starts a pass: the answer does.
    startService({"--state-status", "503"});
    launch();
    settle();
    leave({"third"});
    const std::size_t before = events_.size();
    EXPECT_EQ(query().code, 404);
    settle();
    // The query's own report and the one left are on the wire together: either may fail first.
    const auto names = eventNames();
    EXPECT_NE(std::find(names.begin() + static_cast<std::ptrdiff_t>(before), names.end(),
                        "report.retrying"),
              names.end())
        << ::testing::PrintToString(names);
}

TEST_F(HostControls, TheOutboxKeepsAtMostAHundredReportsOfTheLastSevenDays) {
    startService({"--state-status", "503"});
    const double now = Date::timeIntervalSince1970();
    json outbox = json::array();
    outbox.push_back({{"body", "stale"}, {"queuedAt", now - 8 * 24 * 3600}, {"attempts", 3}});
    const std::string escaped = "\"\\\n\x01\x7f\u00e9";  // written as the JSON library writes them
    for (int i = 0; i < 101; ++i)
        outbox.push_back(
            {{"body", std::to_string(i) + escaped}, {"queuedAt", now - 60}, {"attempts", 1}});
    // Another launch, still running, is sending this one.
    outbox.back().update({{"claimedBy", "1-other"}, {"claimedAt", now}, {"id", "x"}});
    // Not as the library writes them: each is dropped, with one line for all.
    outbox.push_back({{"body", "far"}, {"queuedAt", 1e300}});
    outbox.push_back({{"queuedAt", now}});
    outbox.push_back("body");
    platform_.configure();
    // As an earlier version stored them: moved once into the outbox, within its bounds.
    ASSERT_TRUE(
        Platform::keyValueStore()->setString(outbox.dump(), internal::kLegacyReportOutboxKey));

    launch();
    settle();
    EXPECT_FALSE(Platform::keyValueStore()->stringForKey(internal::kLegacyReportOutboxKey));
    const json kept = storedReports();
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept[0]["body"], "1" + escaped);
    EXPECT_EQ(kept[0]["attempts"], 2) << "the oldest was sent once more and failed";
    int dropLines = 0;
    for (const auto& line : platform_.log().lines()) {
        dropLines += line.find("Dropped 2 undelivered") != std::string::npos;
        dropLines +=
            line.find("Dropped 3 stored state reports that could not") != std::string::npos;
    }
    EXPECT_EQ(dropLines, 2);

    // A value past the size bound is not parsed at all.
    ASSERT_TRUE(Platform::keyValueStore()->setString(
        "[" + std::string(internal::kLegacyReportOutboxMaxBytes, ' ') + "]",
        internal::kLegacyReportOutboxKey));
    EXPECT_EQ(Plovendale::queuedReportCount(), 100u);
    EXPECT_FALSE(Platform::keyValueStore()->stringForKey(internal::kLegacyReportOutboxKey));
    settle();  // its event
}

TEST(OutboxBackoff, DoublesFromOneSecondUpToFiveMinutesWithJitterAndHonoursRetryAfter) {
    using std::chrono::milliseconds;
    const struct {
        int failures;
        double random;
        const char* retryAfter;  // the answer's header, if any
        milliseconds expected;
    } cases[] = {
        {1, 0.0, nullptr, milliseconds(500)},     {1, 0.999, nullptr, milliseconds(999)},
        {2, 0.0, nullptr, milliseconds(1000)},    {4, 0.5, nullptr, milliseconds(6000)},
        {9, 0.0, nullptr, milliseconds(128000)},  {40, 0.999, nullptr, milliseconds(299850)},
        {1, 0.0, "120", milliseconds(120000)},    {1, 0.999, "120", milliseconds(120000)},
        {1, 0.0, "18000", std::chrono::hours(1)},
    };
    for (const auto& c : cases) {
        Error::Headers headers;
        if (c.retryAfter) headers["Retry-After"] = c.retryAfter;
        const auto retryAfter = internal::retryAfterOf(headers).value_or(milliseconds(0));
        EXPECT_EQ(internal::outboxBackoff(c.failures, c.random, retryAfter), c.expected)
            << c.failures;
    }
}

TEST_F(HostControls, WithTrackingDisabledNothingIsSentOrReadAndQueriesFailAtOnce) {
    platform_.configure();
    EXPECT_TRUE(Plovendale::setTrackingDisabled(true));
    putOnPasteboard(test::pasteboardAnchor(kKey, registerTrace()));

    launch();  // the choice outlives the process
    EXPECT_TRUE(Plovendale::isTrackingDisabled());
    const Outcome outcome = query();
    EXPECT_TRUE(outcome.synchronous);
    EXPECT_EQ(outcome.code, -10006);
    EXPECT_EQ(outcome.message, "Tracking is disabled.");
    EXPECT_EQ(CoreHelper::getClientId(), "");
    EXPECT_EQ(platform_.config().pasteboard->items().size(), 1u) << "the pasteboard was not read";
    EXPECT_EQ(reports(), json::array());
    EXPECT_EQ(installs(), json::array());
    settle([&] { return !events_.empty(); });  // start-up's worker tells it, in its own time
    EXPECT_EQ(eventNames(), std::vector<std::string>{"pasteboard.ignored"});
    EXPECT_TRUE(Plovendale::handleSchemeLinkURL(std::string(kKey) + "://open/c"))
        << "links are still decoded";

    EXPECT_TRUE(Plovendale::setTrackingDisabled(false));
    launch();
    EXPECT_EQ(Plovendale::installTraceState().kind, Kind::Unknown) << "a refusal is not kept";
    EXPECT_EQ(query().appData, (AppData{"room=7", "web"}));
}

// The host forgets the installation or disables tracking while its query or its report is on the
// wire; the report's late 503 (or the query's answer) must not bring any of it back.
TEST_F(HostControls, AForgetOrADisableWhileAQueryOrItsReportIsInFlightIsFinal) {
    const struct {
        const char* name;
        bool forget;
        bool fromFailHandler;  // else right after the query started
        const char* stateStatus;
    } rows[] = {
        {"forget from the fail handler", true, true, "503"},
        {"disable from the fail handler", false, true, "503"},
        {"disable while the query is in flight", false, false, "200"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        startService({"--state-status", row.stateStatus});
        launch();
        Plovendale::setTrackingDisabled(false);
        ASSERT_TRUE(Plovendale::forgetInstallation());
        launch();
        const std::string clientId = CoreHelper::getClientId();
        const auto change = [&] {
            EXPECT_TRUE(row.forget ? Plovendale::forgetInstallation()
                                   : Plovendale::setTrackingDisabled(true));
        };
        bool failed = false;
        Plovendale::getInstallTrace(nullptr, [&](std::int64_t, const std::optional<std::string>&) {
            failed = true;
            if (row.fromFailHandler) change();
        });
        if (!row.fromFailHandler) change();
        settle([&] { return failed; });
        EXPECT_EQ(Plovendale::queuedReportCount(), 0u);

        startService({});
        launch();
        if (row.forget) {
            EXPECT_EQ(query().code, 404);
        }
        settle();
        for (const auto& report : reports()) EXPECT_NE(report["ci"], clientId);
        EXPECT_EQ(Plovendale::queuedReportCount(), 0u);
        if (row.forget) {
            EXPECT_EQ(storedKeys(clientId), std::vector<std::string>{});
        }
    }
}

TEST_F(HostControls, ForgettingErasesEveryStoredKeyInOneWriteAndTheNextQueryIsAFirstInstall) {
    putOnPasteboard(test::pasteboardAnchor(kKey, registerTrace()));
    startService({"--state-status", "503"});
    launch();
    ASSERT_TRUE(query().appData);
    const std::string firstClientId = CoreHelper::getClientId();
    ASSERT_EQ(Plovendale::queuedReportCount(), 1u);

    auto& disk = test::DiskFaults::install();
    launch();  // the store opens over the disk that can fill up
    disk.fillAfterCommits(0);
    EXPECT_FALSE(Plovendale::forgetInstallation());
    disk.clear();
    EXPECT_FALSE(Plovendale::isFirstOpen()) << "a forget the disk refused changes nothing";
    EXPECT_EQ(CoreHelper::getClientId(), firstClientId);

    ASSERT_TRUE(Plovendale::forgetInstallation());
    EXPECT_EQ(storedKeys(), std::vector<std::string>{});
    EXPECT_TRUE(Plovendale::isFirstOpen());
    EXPECT_EQ(Plovendale::installTraceState().kind, Kind::Unknown);
    EXPECT_EQ(Plovendale::queuedReportCount(), 0u);

    startService({});
    launch();
    EXPECT_EQ(query().code, 404) << "the pasteboard trace was forgotten too";
    const std::string newClientId = CoreHelper::getClientId();
    EXPECT_NE(newClientId, firstClientId);
    EXPECT_EQ(reports().back()["ci"], newClientId);
}

}  // namespace
}  // namespace plovendale
