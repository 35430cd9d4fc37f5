// In-app events: arguments, the durable outbox, its bounds, and delivery to a local service.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>

#include "host/clock.h"
#include "plovendale/platform/key_value_store.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/outbox.h"
#include "sdk/outbox_store.h"
#include "support/attribution_service_process.h"
#include "support/service_stub.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

using nlohmann::json;
using Params = std::map<std::string, std::string>;
constexpr const char* kKey = "eventsKey1";

// The SQLite store, counting what its writes store and holding them while the gate is shut.
class GatedStore final : public KeyValueStore {
  public:
    explicit GatedStore(std::shared_ptr<KeyValueStore> inner) : inner_(std::move(inner)) {}
    std::optional<std::string> stringForKey(const std::string& key) const override {
        return inner_->stringForKey(key);
    }
    bool boolForKey(const std::string& key) const override { return inner_->boolForKey(key); }
    bool setString(const std::string& value, const std::string& key) override {
        return setStrings({{key, value}});
    }
    bool setStrings(const std::map<std::string, std::string>& values) override {
        pass(values);
        return inner_->setStrings(values);
    }
    bool setBool(bool value, const std::string& key) override {
        pass({});
        return inner_->setBool(value, key);
    }
    bool removeObjectForKey(const std::string& key) override {
        pass({});
        return inner_->removeObjectForKey(key);
    }
    bool update(const std::string& key, const Change& change,
                const std::map<std::string, std::string>& alsoSet) override {
        pass(alsoSet);
        return inner_->update(
            key,
            [&](const std::optional<std::string>& current) {
                auto next = change(current);
                if (next && next != current) bytes += next->size();
                return next;
            },
            alsoSet);
    }
    void shut(bool shut) {
        std::lock_guard lock(mutex_);
        shut_ = shut;
        changed_.notify_all();
    }
    bool writerHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return held_ > 0; });
    }
    std::atomic<std::size_t> bytes{0};
    std::atomic<bool> timedOut{false};

  private:
    void pass(const std::map<std::string, std::string>& values) {
        for (const auto& [key, value] : values) bytes += value.size();
        std::unique_lock lock(mutex_);
        ++held_;
        changed_.notify_all();
        if (!changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !shut_; }))
            timedOut = true;
        --held_;
    }
    std::shared_ptr<KeyValueStore> inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool shut_ = false;
    int held_ = 0;
};

class Events : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_.configure();
        Plovendale::setEventObserver([this](const PlovendaleEvent& e) { events_.push_back(e); });
        Plovendale::startWith(kKey);
        Plovendale::setServerDomain(service_.baseURL());
    }

    void query() {
        bool ended = false;
        Plovendale::getInstallTrace([&](const auto&) { ended = true; },
                                    [&](auto, const auto&) { ended = true; });
        // Its state report too: its event must not reach an observer of a later test.
        ASSERT_TRUE(test::runMainQueueUntil([&] {
            return ended && URLSession::liveSessionCount() == 0 && !internal::outboxBusy();
        }));
    }

    std::vector<json> batches() {
        std::vector<json> sent;
        for (const auto& r : service_.receivedAt(std::string("/api/trace/client/events/") + kKey))
            sent.push_back(json::parse(r.body));
        return sent;
    }

    std::size_t logLines(const std::string& text) {
        std::size_t n = 0;
        for (const auto& line : platform_.log().lines()) n += line.find(text) != std::string::npos;
        return n;
    }

    // An event the writer thread posted while flush made its last check still waits.
    void TearDown() override { MainQueue::shared().drain(); }

    test::TestPlatform platform_;
    test::ServiceStub service_;
    std::vector<PlovendaleEvent> events_;
};

TEST_F(Events, EventsWaitForTheFirstAnswerThenGoOnceInBatchesThroughA503) {
    ASSERT_TRUE(Plovendale::trackEvent("signup", {{"plan", "gold"}}, Revenue{"9.99", "EUR"}, "e1"));
    for (int i = 0; i < 150; ++i) ASSERT_TRUE(Plovendale::trackEvent("tap." + std::to_string(i)));
    ASSERT_TRUE(internal::waitUntilWritten(std::chrono::seconds(5)));
    MainQueue::shared().drain();  // the send the write asked for
    EXPECT_EQ(Plovendale::queuedEventCount(), 151u);
    EXPECT_TRUE(batches().empty()) << "held until the install trace has ended";

    service_.answerEvents({503, 200, 400});
    service_.answerReports({200, R"({"status":200})"});
    query();
    ASSERT_TRUE(test::runMainQueueUntil([] { return Plovendale::queuedEventCount() == 0; }));
    auto sent = batches();
    ASSERT_EQ(sent.size(), 3u) << "100 refused with 503 and sent again, then 51 refused for good";
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_EQ(sent[1]["events"].size(), 100u);
    EXPECT_EQ(sent[2]["events"].size(), 51u);
    EXPECT_EQ(sent[0]["ci"], CoreHelper::getClientId());
    const json first = sent[0]["events"][0];
    EXPECT_EQ(first["id"], "e1");
    EXPECT_EQ(first["name"], "signup");
    EXPECT_EQ(first["params"], json({{"plan", "gold"}}));
    EXPECT_EQ(first["revenue"], json({{"amount", "9.99"}, {"currency", "EUR"}}));
    EXPECT_TRUE(first["ts"].is_number_integer());
    const json later = sent[2]["events"][50];
    EXPECT_EQ(later["name"], "tap.149");
    EXPECT_EQ(later["params"], json::object());
    EXPECT_FALSE(later.contains("revenue"));

    // Once the installation has its answer, a new event goes without waiting.
    ASSERT_TRUE(Plovendale::trackEvent("after"));
    ASSERT_TRUE(test::runMainQueueUntil([&] { return batches().size() == 4; }));
    EXPECT_EQ(Plovendale::flush(5000), FlushResult::Delivered);
    EXPECT_EQ(Plovendale::queuedEventCount(), 0u);
    std::set<std::string> names;
    for (const auto& e : events_) names.insert(e.name);
    const auto dropped = std::find_if(events_.begin(), events_.end(),
                                      [](const auto& e) { return e.name == "event.dropped"; });
    ASSERT_NE(dropped, events_.end());
    EXPECT_EQ(dropped->values, (std::map<std::string, std::string>{
                                   {"reason", "rejected"}, {"status", "400"}, {"count", "51"}}));
    EXPECT_EQ(names,
              (std::set<std::string>{"event.queued", "event.sent", "event.delivered",
                                     "event.dropped", "query.started", "query.answered",
                                     "report.sent", "report.delivered", "pasteboard.ignored"}));
}

TEST_F(Events, BadArgumentsAreRefusedWithOneLineAndNothingIsQueued) {
    const std::string k64(64, 'k');
    Params fifty, fiftyOne, big;
    for (int i = 0; i < 51; ++i) (i < 50 ? fifty : fiftyOne)[std::to_string(i)] = "v";
    fiftyOne.insert(fifty.begin(), fifty.end());
    for (int i = 0; i < 5; ++i) big[std::to_string(i)] = std::string(1000, 'x');
    struct Row {
        std::string name;
        Params params;
        std::optional<Revenue> revenue;
        std::optional<std::string> id;
        const char* problem;  // nullptr: taken
    } rows[] = {
        {"", {}, {}, {}, "the name"},
        {std::string(65, 'n'), {}, {}, {}, "the name"},
        {"a b", {}, {}, {}, "the name"},
        {"ok", fiftyOne, {}, {}, "more than 50 params"},
        {"ok", {{"", "v"}}, {}, {}, "param key"},
        {"ok", {{std::string(65, 'k'), "v"}}, {}, {}, "param key"},
        {"ok", {{"k", std::string(1025, 'v')}}, {}, {}, "longer than 1024"},
        {"ok", {{"k", "\xff"}}, {}, {}, "UTF-8"},
        {"ok", {}, Revenue{"1e3", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"9.", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{".5", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"1234567890123456", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"1.1234567", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"--1", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"1.5x", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"1.2.3", "EUR"}, {}, "amount"},
        {"ok", {}, Revenue{"1", "eur"}, {}, "currency"},
        {"ok", {}, Revenue{"1", "EURO"}, {}, "currency"},
        {"ok", {}, {}, "has space", "event id"},
        {"ok", {}, {}, "", "event id"},
        {"ok", big, {}, {}, "4 KiB"},
        {std::string(64, 'n'), fifty, Revenue{"-999999999999999.123456", "USD"}, k64, nullptr},
        {"a.b-c_D9", {{k64, std::string(1024, 'v')}}, Revenue{"0", "JPY"}, {}, nullptr},
    };
    std::size_t taken = 0;
    Plovendale::isFirstOpen();  // start-up's own lines are written
    for (const auto& row : rows) {
        const auto before = platform_.log().lines().size();
        EXPECT_EQ(Plovendale::trackEvent(row.name, row.params, row.revenue, row.id), !row.problem)
            << row.name << " " << (row.problem ? row.problem : "");
        taken += !row.problem;
        const auto lines = platform_.log().lines();
        ASSERT_EQ(lines.size(), before + (row.problem ? 1 : 0));
        if (row.problem) {
            EXPECT_NE(lines.back().find(row.problem), std::string::npos) << lines.back();
        }
    }
    ASSERT_EQ(Plovendale::flush(5000), FlushResult::Delivered) << "no query held them";
    EXPECT_EQ(batches().size(), 1u);
    EXPECT_EQ(batches()[0]["events"].size(), taken);
}

TEST_F(Events, ConsentOffRecordsNothingAndForgetErasesWrittenAndUnwrittenEvents) {
    Plovendale::setTrackingDisabled(true);
    EXPECT_FALSE(Plovendale::trackEvent("blocked"));
    EXPECT_EQ(logLines("trackEvent failed, tracking is disabled."), 1u);
    Plovendale::setTrackingDisabled(false);

    ASSERT_TRUE(Plovendale::trackEvent("one"));
    ASSERT_TRUE(internal::waitUntilWritten(std::chrono::seconds(5)));
    ASSERT_TRUE(Plovendale::trackEvent("two"));  // not written yet
    ASSERT_TRUE(Plovendale::forgetInstallation());
    EXPECT_EQ(Plovendale::flush(5000), FlushResult::Delivered);
    EXPECT_EQ(Plovendale::queuedEventCount(), 0u);
    EXPECT_FALSE(Platform::keyValueStore()->stringForKey(internal::kOutboxIndexKey));

    service_.answerReports({200, R"({"status":200})"});
    query();
    EXPECT_EQ(Plovendale::flush(5000), FlushResult::Delivered);
    EXPECT_TRUE(batches().empty());
}

// Another process on the data directory (the CLI) forgets the installation while this one runs:
// this one's next event must not carry the erased client identifier.
TEST_F(Events, AForgetInAnotherProcessIsSeenBeforeTheNextEvent) {
    service_.answerReports({200, R"({"status":200})"});
    query();
    const std::string erased = CoreHelper::getClientId();
    ASSERT_FALSE(erased.empty());
    const auto forgot =
        test::runAttributionCommand({std::string(PLOVENDALE_BIN_DIR) + "/plovendale", "forget",
                                     "--data-dir", platform_.dataDirectory()});
    ASSERT_EQ(forgot.out, "{\"forgotten\":true}\n") << forgot.err;
    ASSERT_TRUE(Plovendale::trackEvent("after"));
    EXPECT_EQ(Plovendale::flush(5000), FlushResult::Delivered);
    const auto sent = batches();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0]["ci"], erased);
    EXPECT_FALSE(Platform::keyValueStore()->stringForKey(CoreHelper::kInstallKey));
}

TEST_F(Events, TheOutboxKeepsTheNewestTenThousandEventsOfThirtyDays) {
    const auto nowMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    json stored = json::array();
    stored.push_back({{"id", "stale"},
                      {"name", "n"},
                      {"ts", nowMs - 31LL * 24 * 3600 * 1000},
                      {"params", json::object()}});
    stored.push_back(
        {{"id", "bad"}, {"name", "n"}, {"ts", "yesterday"}, {"params", json::object()}});
    for (int i = 0; i < 10000; ++i)
        stored.push_back(
            {{"id", std::to_string(i)}, {"name", "n"}, {"ts", nowMs}, {"params", json::object()}});
    ASSERT_TRUE(
        Platform::keyValueStore()->setString(stored.dump(), internal::kLegacyEventOutboxKey));

    service_.answerEvents(
        {503});  // they stay: one batch of earlier launches' events goes and fails
    ASSERT_TRUE(Plovendale::trackEvent("newest"));
    ASSERT_EQ(Plovendale::flush(10000), FlushResult::StoredNotSent) << "503: a retry follows";
    // An earlier version's outbox is moved into chunks.
    EXPECT_FALSE(Platform::keyValueStore()->stringForKey(internal::kLegacyEventOutboxKey));
    internal::refreshOutbox(internal::outboxGeneration());
    std::vector<json> kept;
    internal::visitKnownEntries([&](const auto& e) {
        kept.push_back(json::parse(e.text));
        return true;
    });
    ASSERT_EQ(kept.size(), 10000u);
    EXPECT_EQ(kept.front()["id"], "1");
    EXPECT_EQ(kept.back()["name"], "newest");
    EXPECT_GE(logLines("undelivered events (unreadable, older than 30 days or beyond 10000)"), 1u);
    ASSERT_TRUE(test::runMainQueueUntil([&] {
        std::set<std::string> reasons;
        for (const auto& e : events_)
            if (e.name == "event.dropped") reasons.insert(e.values.at("reason"));
        return reasons == std::set<std::string>{"malformed", "too old", "too many"};
    }));
}

TEST_F(Events, AWriteStoresWhatItAddsAndCountingNeverWaitsForTheWriter) {
    auto gated = std::make_shared<GatedStore>(makeSQLiteKeyValueStore(platform_.dir().file("g")));
    platform_.config().keyValueStore = gated;
    const std::size_t lines = platform_.log().lines().size();
    EXPECT_FALSE(Platform::configure(platform_.config())) << "refused while the library runs";
    EXPECT_EQ(platform_.log().lines().size(), lines + 1);
    EXPECT_EQ(logLines("Platform::configure refused: the library is running; call "
                       "Plovendale::shutdown first"),
              1u);
    ASSERT_TRUE(Plovendale::shutdown(std::chrono::seconds(5)));
    ASSERT_TRUE(Platform::configure(platform_.config()));
    ASSERT_TRUE(Plovendale::startWith(kKey));
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(Plovendale::trackEvent("tap"));
    ASSERT_TRUE(internal::waitUntilWritten(std::chrono::seconds(5)));
    gated->bytes = 0;
    gated->shut(true);
    ASSERT_TRUE(Plovendale::trackEvent("one"));
    ASSERT_TRUE(Plovendale::trackEvent("two"));
    ASSERT_TRUE(gated->writerHeld());
    EXPECT_EQ(Plovendale::queuedEventCount(), 2002u) << "exact while the writer is held";
    gated->shut(false);
    ASSERT_TRUE(internal::waitUntilWritten(std::chrono::seconds(5)));
    EXPECT_FALSE(gated->timedOut) << "queuedEventCount waited for the write";
    EXPECT_LT(gated->bytes.load(), 40000u) << "the last chunk, not all 2,002 events";
    EXPECT_EQ(Plovendale::queuedEventCount(), 2002u);

    // A burst while the writer is held: what waits in memory stays within the bound, the oldest
    // go first, and the whole burst is told in one line.
    gated->shut(true);
    ASSERT_TRUE(Plovendale::trackEvent("held"));
    ASSERT_TRUE(gated->writerHeld());
    for (int i = 0; i < 12000; ++i) ASSERT_TRUE(Plovendale::trackEvent("b" + std::to_string(i)));
    EXPECT_EQ(Plovendale::queuedEventCount(), 2003u + 10000u) << "stored, being written, waiting";
    gated->shut(false);
    ASSERT_TRUE(internal::waitUntilWritten(std::chrono::seconds(20)));
    std::vector<std::string> names;
    internal::visitKnownEntries([&](const auto& e) {
        names.push_back(json::parse(e.text)["name"]);
        return true;
    });
    ASSERT_EQ(names.size(), 10000u);
    EXPECT_EQ(names.front(), "b2000");
    EXPECT_EQ(names.back(), "b11999");
    EXPECT_EQ(logLines("Dropped 4003 undelivered events"), 1u);
}

TEST_F(Events, AStoreOfManyChunksIsCutToTheBoundInOneRead) {
    const auto nowMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    json index = json::array();
    std::map<std::string, std::string> values;
    for (int c = 0; c < 120; ++c) {
        json chunk = json::array();
        for (int i = 0; i < 200; ++i)
            chunk.push_back({{"id", std::to_string(c * 200 + i)},
                             {"name", "n"},
                             {"ts", nowMs},
                             {"params", json::object()}});
        const std::string key =
            internal::kOutboxChunkKeyPrefix + std::string("old.") + std::to_string(c);
        index.push_back(key);
        values[key] = chunk.dump();
    }
    values[internal::kOutboxIndexKey] = index.dump();
    ASSERT_TRUE(Platform::keyValueStore()->setStrings(values));
    internal::refreshOutbox(internal::outboxGeneration());  // as a new launch reads it
    EXPECT_EQ(Plovendale::queuedEventCount(), 10000u);
}

// A damaged stored event costs itself: the rest of its chunk goes, and the count is exact.
TEST_F(Events, ADamagedStoredEventIsDroppedAloneAndCounted) {
    const auto nowMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    const auto chunkOf = [&](int from, int count) {
        json chunk = json::array();
        for (int i = from; i < from + count; ++i)
            chunk.push_back({{"id", "s" + std::to_string(i)},
                             {"name", "n"},
                             {"ts", nowMs},
                             {"params", json::object()}});
        return chunk;
    };
    std::string badByte = chunkOf(0, 150).dump();
    badByte.insert(badByte.find("\"s10\"") + 2, "\xff");
    std::string cut = chunkOf(200, 150).dump();
    cut.resize(cut.size() - 20);
    json big = chunkOf(400, 10);
    for (const long long days : {1, 29}) {  // unsent for long, still within the 30 days
        big.push_back({{"id", "d" + std::to_string(days)},
                       {"name", "n"},
                       {"ts", nowMs - days * 24 * 3600 * 1000},
                       {"params", json::object()}});
    }
    big.push_back({{"id", "big"},
                   {"name", "n"},
                   {"ts", nowMs},
                   {"params", {{"k", std::string(70000, 'v')}}}});
    const std::string prefix = internal::kOutboxChunkKeyPrefix;
    const std::map<std::string, std::string> values{
        {prefix + "a", badByte},
        {prefix + "b", cut},
        {prefix + "c", big.dump()},
        {internal::kOutboxIndexKey,
         json::array({prefix + "a", prefix + "b", prefix + "c"}).dump()}};
    ASSERT_TRUE(Platform::keyValueStore()->setStrings(values));
    internal::refreshOutbox(internal::outboxGeneration());  // as a new launch reads it
    EXPECT_EQ(Plovendale::flush(10000), FlushResult::Delivered);
    std::size_t sent = 0;
    for (const auto& batch : batches()) sent += batch["events"].size();
    EXPECT_EQ(sent, 149u + 149u + 12u);
    EXPECT_EQ(logLines("Dropped 3 undelivered events"), 1u);
}

// A 401 or 404 is a wrong key or domain: the events wait for the fix. A refusal that names one
// event drops that one alone.
TEST_F(Events, AWrongKeyKeepsTheEventsAndARefusalNamingOneDropsItAlone) {
    service_.answerEventsWith({{404, R"({"status":404,"error":"not found"})"},
                               {401, R"({"status":401,"error":"bad key"})"},
                               {400, R"({"status":400,"error":"event 1: bad","event":1})"}});
    for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(Plovendale::trackEvent(name));
    EXPECT_EQ(Plovendale::flush(5000), FlushResult::StoredNotSent);
    EXPECT_EQ(Plovendale::queuedEventCount(), 3u);
    EXPECT_EQ(logLines("answered HTTP 404 to the events: check the app key"), 1u);
    ASSERT_TRUE(test::runMainQueueUntil(
        [&] { return batches().size() == 4 && Plovendale::queuedEventCount() == 0; },
        std::chrono::seconds(20)));
    const auto sent = batches();
    EXPECT_EQ(sent[3]["events"].size(), 2u);
    EXPECT_EQ(sent[3]["events"][0]["name"], "a");
    EXPECT_EQ(sent[3]["events"][1]["name"], "c");
    const auto dropped = std::find_if(events_.begin(), events_.end(),
                                      [](const auto& e) { return e.name == "event.dropped"; });
    ASSERT_NE(dropped, events_.end());
    EXPECT_EQ(dropped->values.at("count"), "1");
}

}  // namespace
}  // namespace plovendale
