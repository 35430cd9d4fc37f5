#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/clock.h"
#include "plovendale/platform/main_queue.h"
#include "plovendale/platform/platform.h"
#include "plovendale/sdk/plovendale.h"
#include "sdk/core_helper.h"
#include "sdk/facade_internal.h"
#include "sdk/outbox.h"
#include "support/disk_faults.h"
#include "support/service_stub.h"
#include "support/test_environment.h"
#include "transport/url_session.h"

namespace plovendale {
namespace {

using nlohmann::json;
constexpr const char* kKey = "testAppKey1";
constexpr const char* kAttributed =
    R"({"status":200,"data":{"params_data":"P","channel":"C","trace_id":"T123"}})";

bool logged(test::TestPlatform& platform, const std::string& text) {
    for (const auto& line : platform.log().lines()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

struct Outcome {
    bool arrived = false;
    bool success = false;
    std::optional<AppData> appData;
    std::int64_t code = 0;
    std::optional<std::string> message;
    bool synchronous = false;
};

class InstallTrace : public ::testing::Test {
  protected:
    void SetUp() override {
        platform_.configure();
        Plovendale::initWithDelegate(nullptr, kKey);
        Plovendale::setServerDomain(service_.baseURL());
    }

    // Runs one query and waits for its outcome and every transfer it started.
    Outcome query(double timeoutMs = REQUEST_TIMEOUT) {
        auto outcome = std::make_shared<Outcome>();
        bool returned = false;
        Plovendale::getInstallTraceWithTimeout(
            timeoutMs,
            [outcome, &returned](const std::optional<AppData>& data) {
                *outcome = {true, true, data, 0, std::nullopt, !returned};
            },
            [outcome, &returned](std::int64_t code, const std::optional<std::string>& message) {
                *outcome = {true, false, std::nullopt, code, message, !returned};
            });
        returned = true;
        EXPECT_TRUE(test::runMainQueueUntil(
            [&] { return outcome->arrived && URLSession::liveSessionCount() == 0; },
            std::chrono::seconds(20)));
        return *outcome;
    }

    json lastReport() {
        auto reports = service_.receivedAt("/api/trace/client/state/");
        if (reports.empty()) return nullptr;
        return json::parse(reports.back().body);
    }

    test::TestPlatform platform_;
    test::ServiceStub service_;
};

TEST_F(InstallTrace, FirstInstallSendsTheFingerprintStoresTheAnswerAndReportsFirst) {
    service_.answerReports({200, kAttributed});
    // The curl description of every started request reaches the log: the report must be there
    // before the host is told.
    Platform::keyValueStore()->setBool(true, "STHTTPRequestShowCurlDescription");
    bool reportStartedFirst = false;
    auto outcome = std::make_shared<Outcome>();
    Plovendale::getInstallTrace(
        [&](const std::optional<AppData>& data) {
            outcome->arrived = outcome->success = true;
            outcome->appData = data;
            for (const auto& line : platform_.log().lines()) {
                if (line.find("/api/trace/client/state/testAppKey1") != std::string::npos)
                    reportStartedFirst = true;
            }
        },
        nullptr);
    ASSERT_TRUE(test::runMainQueueUntil(
        [&] { return outcome->arrived && URLSession::liveSessionCount() == 0; }));
    EXPECT_TRUE(reportStartedFirst);
    ASSERT_TRUE(outcome->appData);
    EXPECT_EQ(outcome->appData->paramsData, "P");
    EXPECT_EQ(outcome->appData->channel, "C");

    const auto trace = service_.receivedAt("/api/trace/client/report/");
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].path, std::string("/api/trace/client/report/") + kKey);
    EXPECT_EQ(trace[0].contentType, "application/json");
    const json params = json::parse(trace[0].body);
    // Compact, every key once and in ascending order: the text a JSON tree of them would give.
    EXPECT_EQ(trace[0].body, params.dump());
    EXPECT_EQ(params.size(), 18u);
    EXPECT_EQ(params["ci"], CoreHelper::getClientId());

    const json report = lastReport();
    EXPECT_EQ(service_.receivedAt("/api/trace/client/state/").back().body, report.dump());
    EXPECT_EQ(report["cd"], "200");
    EXPECT_EQ(report["ms"], "1");
    EXPECT_GE(std::stoll(report["t"].get<std::string>()), 0);

    EXPECT_FALSE(Plovendale::isFirstOpen());
    EXPECT_EQ(CoreHelper::getTraceId(), "T123");
}

// However late the writer thread hands the outcome to the main queue, the host is told before
// the report's answer is handled: a fail handler that disables tracking drops the report that the
// 503 would have kept. A host's poster holds up each hand-over of the writer until the I/O thread
// has queued what came after it.
TEST_F(InstallTrace, TheHostIsToldBeforeTheReportsAnswerIsHandledHoweverLateTheWriter) {
    service_.answerReports({503, R"({"status":503})"});
    service_.answerStates({503, R"({"status":503})"});
    // Shared with the poster: a writer still held there when the test ends finds it alive.
    struct Loop {
        std::mutex mutex;
        std::condition_variable queued;
        std::deque<MainQueue::Task> tasks;
        std::size_t fromIO = 0;
        std::atomic<std::thread::id> writer;
        std::thread::id main = std::this_thread::get_id();
    };
    auto loop = std::make_shared<Loop>();
    internal::runOnWriter([loop] { loop->writer = std::this_thread::get_id(); });
    ASSERT_TRUE(test::runMainQueueUntil([&] { return loop->writer.load() != std::thread::id(); }));
    MainQueue::shared().setPoster([loop](MainQueue::Task task) {
        const auto self = std::this_thread::get_id();
        std::unique_lock lock(loop->mutex);
        loop->tasks.push_back(std::move(task));
        if (self != loop->writer.load() && self != loop->main) ++loop->fromIO;
        loop->queued.notify_all();
        if (self != loop->writer.load()) return;
        // An answer comes in several tasks: until the I/O thread has been quiet for a moment.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        std::size_t seen = loop->fromIO;
        const auto more = [&] { return loop->fromIO > seen; };
        loop->queued.wait_until(lock, until, more);
        while (more() && std::chrono::steady_clock::now() < until) {
            seen = loop->fromIO;
            loop->queued.wait_for(lock, std::chrono::milliseconds(100), more);
        }
    });
    bool failed = false;
    Plovendale::getInstallTrace(nullptr, [&](std::int64_t, const std::optional<std::string>&) {
        failed = true;
        Plovendale::setTrackingDisabled(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(failed && URLSession::liveSessionCount() == 0 && !internal::outboxBusy()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::unique_lock lock(loop->mutex);
        if (!loop->queued.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return !loop->tasks.empty(); }))
            continue;
        auto task = std::move(loop->tasks.front());
        loop->tasks.pop_front();
        lock.unlock();
        task();
    }
    MainQueue::shared().setPoster(nullptr);
    std::deque<MainQueue::Task> left;
    {
        std::lock_guard lock(loop->mutex);
        left.swap(loop->tasks);
    }
    for (auto& task : left) task();
    ASSERT_TRUE(failed);
    EXPECT_EQ(service_.receivedAt("/api/trace/client/state/").size(), 1u);
    EXPECT_EQ(Plovendale::queuedReportCount(), 0u) << "the 503 is handled after the disable";
}

TEST_F(InstallTrace, SuccessWithoutDataStoresInitAndLaterQueriesFailFromTheCache) {
    service_.answerReports({200, R"({"status":200})"});
    auto outcome = query();
    EXPECT_TRUE(outcome.success);
    EXPECT_FALSE(outcome.appData);
    EXPECT_EQ(lastReport()["ms"], "0");
    EXPECT_EQ(lastReport()["msg"], "success");
    EXPECT_EQ(CoreHelper::getTraceId(), "init");
    EXPECT_FALSE(CoreHelper::getAppData());

    outcome = query();
    EXPECT_TRUE(outcome.synchronous);
    EXPECT_EQ(outcome.code, -10001);
    EXPECT_EQ(outcome.message, "Can not extract app Data from cache.");
    EXPECT_EQ(platform_.log().lines().back(),
              "[Plovendale] Can not extract app Data from cache: the service answered this "
              "installation without a link (organic); that answer is final.");
    // A key with a typo answered organic, then fixed: the line names the key the answer was for.
    CoreHelper::setAppKey("fixedKey");
    EXPECT_EQ(query().code, -10001);
    EXPECT_EQ(platform_.log().lines().back(),
              "[Plovendale] Can not extract app Data from cache: the stored answer was for the app "
              "key \"testAppKey1\", not \"fixedKey\"; forgetInstallation() lets the service answer "
              "again.");

    // A cache that is not JSON still yields a record with empty fields.
    CoreHelper::saveAppData("not json");
    outcome = query();
    EXPECT_EQ(outcome.appData, (AppData{"", ""}));
}

TEST_F(InstallTrace, ServiceRefusalsAreReportedAndLeaveTheInstallationUnattributed) {
    service_.answerReports({200, R"({"status":403,"error":"unknown trace"})"});
    auto outcome = query();
    EXPECT_FALSE(outcome.success);
    EXPECT_FALSE(outcome.synchronous);
    EXPECT_EQ(outcome.code, 403);
    EXPECT_EQ(outcome.message, "unknown trace");
    EXPECT_EQ(lastReport(), json({{"ci", CoreHelper::getClientId()},
                                  {"t", lastReport()["t"]},
                                  {"ms", "0"},
                                  {"cd", "403"},
                                  {"msg", ""}}));
    EXPECT_TRUE(Plovendale::isFirstOpen());

    service_.answerReports({204, ""});
    outcome = query();
    EXPECT_EQ(outcome.code, 204);
    EXPECT_EQ(outcome.message, "Http statusCode error, code: 204");
    EXPECT_EQ(lastReport()["cd"], "204");

    service_.answerReports({500, "oops"});
    outcome = query();
    EXPECT_EQ(outcome.code, -10004);
    EXPECT_EQ(outcome.message, "HTTP Status 500: Internal Server Error");
    EXPECT_EQ(lastReport()["cd"], "-10004");

    for (const char* body : {"", "<html>", "[1,2]", R"({"status":"200"})"}) {
        service_.answerReports({200, body});
        outcome = query();
        EXPECT_EQ(outcome.code, -10003) << body;
        EXPECT_EQ(outcome.message, "Can not extract data from http result.");
    }
    EXPECT_EQ(lastReport()["cd"], "-10003");
    EXPECT_EQ(service_.receivedAt("/api/trace/client/report/").size(), 7u);
    EXPECT_TRUE(Plovendale::isFirstOpen());
}

// The query hears of every failure of the exchange as a request failure in the platform's words,
// and the installation stays unattributed. The catalogue of misbehaving services runs against
// the transport in its own test.
TEST_F(InstallTrace, TransportFailuresArriveAsRequestFailures) {
    // 1000 ms is raised to the 4-second floor; the service answers later than that.
    service_.answerReports({200, R"({"status":200})", std::chrono::milliseconds(8000)});
    const auto started = std::chrono::steady_clock::now();
    auto outcome = query(1000);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome.code, -10004);
    EXPECT_EQ(outcome.message, "The request timed out.");
    EXPECT_EQ(platform_.log().lines().back(), "[Plovendale] The install-trace query to " +
                                                  service_.baseURL() +
                                                  " failed (-10004): The request timed out.");
    EXPECT_GE(waited, std::chrono::milliseconds(3500));
    EXPECT_EQ(lastReport()["cd"], "-10004");

    // An answer far longer than any real one is refused, however well-formed.
    service_.answerReports({200, R"({"status":200,"pad":")" + std::string(2 << 20, 'p') + "\"}"});
    outcome = query();
    EXPECT_EQ(outcome.code, -10004);
    EXPECT_EQ(outcome.message, "resource exceeds maximum size");
    EXPECT_TRUE(Plovendale::isFirstOpen());

    // 0 asks for the default timeout, not the floor: a service that answers in 5 s is waited for.
    service_.answerReports({200, R"({"status":200})", std::chrono::milliseconds(5000)});
    outcome = query(0);
    EXPECT_TRUE(outcome.success) << outcome.code << " " << outcome.message.value_or("");
}

// While the query waits for a service that answers too late, the wall clock is set back or
// forward by hours: the timeout fires neither early nor late, and the report's elapsed time is
// the time the query took.
TEST_F(InstallTrace, AWallClockThatJumpsBreaksNeitherTheTimeoutNorTheElapsedTime) {
    using Clock = std::chrono::steady_clock;
    auto offset = std::make_shared<std::atomic<double>>(0);
    platform_.config().wallClock = [offset] {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count() + offset->load();
    };
    platform_.configure();
    service_.answerReports({200, kAttributed, std::chrono::milliseconds(8000)});
    for (const double jump : {-3 * 3600.0, 3 * 3600.0}) {
        SCOPED_TRACE(jump);
        *offset = 0;
        auto outcome = std::make_shared<Outcome>();
        const auto started = Clock::now();
        Plovendale::getInstallTraceWithTimeout(
            4000, nullptr, [outcome](std::int64_t code, const std::optional<std::string>& message) {
                *outcome = {true, false, std::nullopt, code, message};
            });
        *offset = jump;
        ASSERT_TRUE(test::runMainQueueUntil(
            [&] { return outcome->arrived && URLSession::liveSessionCount() == 0; },
            std::chrono::seconds(8)));
        const auto waitedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
        EXPECT_EQ(outcome->code, -10004);
        EXPECT_EQ(outcome->message, "The request timed out.");
        EXPECT_GE(waitedMs, 3500);
        EXPECT_LE(waitedMs, 4000 + 1500);
        const long long reportedMs = std::stoll(lastReport()["t"].get<std::string>());
        EXPECT_GE(reportedMs, 3500);
        EXPECT_LE(reportedMs, waitedMs);
    }
    // Given only a start time on the wall clock, one it has not reached yet counts as no time.
    const std::size_t reports = service_.receivedAt("/api/trace/client/state/").size();
    internal::reportState(Date::timeIntervalSince1970() + 60, 403, std::nullopt, "");
    ASSERT_TRUE(test::runMainQueueUntil([&] {
        return service_.receivedAt("/api/trace/client/state/").size() > reports &&
               URLSession::liveSessionCount() == 0;
    }));
    EXPECT_EQ(lastReport()["t"], "0");
}

TEST_F(InstallTrace, KeylessAndUnaddressableQueriesAnswerAtOnce) {
    CoreHelper::setAppKey("");
    auto outcome = query();
    EXPECT_TRUE(outcome.synchronous);
    EXPECT_EQ(outcome.code, -10000);
    EXPECT_EQ(outcome.message, "The app key is not available.");
    // The line says which of stopped, refused or not started it is; the message stays.
    const auto reason = [this](const char* why) {
        EXPECT_EQ(query().message, "The app key is not available.");
        EXPECT_EQ(platform_.log().lines().back(),
                  std::string("[Plovendale] The app key is not available: ") + why + ".");
    };
    ASSERT_TRUE(Plovendale::shutdown(std::chrono::milliseconds(0)));
    reason("the library was stopped by shutdown (start it again first)");
    EXPECT_FALSE(Plovendale::startWith("bad key"));
    reason("the app key was refused at start (see the start line above)");
    ASSERT_TRUE(Plovendale::startWith(kKey));

    // A key that cannot stand in a URL: nothing is sent or queued, and the host still hears back.
    for (const char* key : {"bad key\n", "k\xc3\xa9y12345"}) {
        CoreHelper::setAppKey(key);  // past the start-up's own check, as a property list could
        outcome = query();
        EXPECT_TRUE(outcome.synchronous) << key;
        EXPECT_EQ(outcome.code, -10004);
        EXPECT_EQ(outcome.message, "can't create task");
        EXPECT_TRUE(service_.received().empty());
        EXPECT_EQ(Plovendale::queuedReportCount(), 0u) << key;
    }
}

TEST_F(InstallTrace, WithoutAHostDomainTheServiceBaseURLComesFromTheKey) {
    CoreHelper::setTargetDomain("");
    EXPECT_EQ(Plovendale::getDomainUrl("K1234567"),
              "https://clb-K1234567." PLOVENDALE_TEST_BASE_DOMAIN);
    // One the host meant but wrote wrong does not send its users' data to the default service:
    // queries fail at once, and what waits to be sent has no URL to go to.
    EXPECT_FALSE(Plovendale::setServerDomain("127.0.0.1:8787"));
    EXPECT_EQ(Plovendale::getDomainUrl("K1234567"), "");
    const Outcome outcome = query();
    EXPECT_TRUE(outcome.synchronous);
    EXPECT_EQ(outcome.code, -10008);
    EXPECT_EQ(outcome.message, "The service URL given to setServerDomain was refused.");
    EXPECT_TRUE(service_.received().empty());
    EXPECT_TRUE(Plovendale::setServerDomain(service_.baseURL()));
    EXPECT_TRUE(query().success);
}

TEST_F(InstallTrace, QueriesWithoutHandlersAndConcurrentQueriesStillDoTheirWork) {
    service_.answerReports(
        {200, R"({"status":200,"data":{"params_data":"P2","channel":"C2","trace_id":"T2"}})"});
    Plovendale::getInstallTrace(nullptr, nullptr);
    ASSERT_TRUE(test::runMainQueueUntil([&] {
        return !service_.receivedAt("/api/trace/client/state/").empty() &&
               URLSession::liveSessionCount() == 0;
    }));
    EXPECT_FALSE(Plovendale::isFirstOpen());
    EXPECT_EQ(CoreHelper::getTraceId(), "T2");

    CoreHelper::saveTraceId("");
    int successes = 0;
    for (int i = 0; i < 2; ++i) {
        Plovendale::getInstallTrace([&](const std::optional<AppData>&) { ++successes; }, nullptr);
    }
    ASSERT_TRUE(test::runMainQueueUntil([&] {
        return successes == 2 && URLSession::liveSessionCount() == 0 && !internal::outboxBusy();
    }));
    EXPECT_EQ(service_.receivedAt("/api/trace/client/report/").size(), 3u);
    EXPECT_EQ(service_.receivedAt("/api/trace/client/state/").size(), 3u);
}

// Each row breaks the store in one way, from one of its writes on (the client identifier, the
// pasteboard capture, the answer), for one launch; files that cannot be opened stay so for the
// next launch too. Every launch is still answered; the next one answers from the cache only when
// the answer was stored, and keeps the client identifier once it was written.
TEST_F(InstallTrace, StoreFaultsAtEveryWriteCostNeitherTheAnswerNorTheInstallation) {
    constexpr const char* kTrace = "T0123456789xyz";
    auto& disk = test::DiskFaults::install();
    service_.answerReports({200, kAttributed});
    enum class Lock { None, AtStartUp, AtAnswer };
    struct Row {
        const char* fault;
        std::function<void(const std::string& storePath)> breakStore;
        Lock lock;
        bool answerStored;    // in the first launch
        bool clientIdStored;  // in the first launch
        bool lasting;         // the next launch cannot open the file either
    };
    const auto existing = [](const std::string& path) { makeSQLiteKeyValueStore(path); };
    const auto fullAfter = [&](int commits) {
        return [&, commits](const std::string& path) {
            existing(path);
            disk.fillAfterCommits(commits);
        };
    };
    const Row rows[] = {
        {"disk full from the client identifier on", fullAfter(0), Lock::None, false, false, false},
        {"disk full from the pasteboard capture on", fullAfter(1), Lock::None, false, true, false},
        {"disk full at the answer", fullAfter(2), Lock::None, false, true, false},
        {"write-protected file",
         [&](const std::string& path) {
             existing(path);
             disk.protectFiles();
         },
         Lock::None, false, false, false},
        {"locked by another process at start-up", existing, Lock::AtStartUp, true, true, false},
        {"locked by another process at the answer", existing, Lock::AtAnswer, false, true, false},
        // Stands for every file the store cannot open (each is a row of the store's own test).
        {"not a database",
         [](const std::string& path) { std::ofstream(path) << std::string(4096, 'x'); }, Lock::None,
         false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        test::TestPlatform launch;
        const std::string storePath = launch.dataDirectory() + "/defaults.sqlite";
        std::filesystem::create_directories(launch.dataDirectory());
        launch.config().pasteboard->setItems(
            {{{Pasteboard::kHTMLType, test::pasteboardAnchor(kKey, kTrace)}}});
        auto start = [&] {
            test::resetProcessState();
            launch.configure();
            Plovendale::startWith(kKey);
            Plovendale::setServerDomain(service_.baseURL());
        };
        auto lastQuery = [&] {
            return json::parse(service_.receivedAt("/api/trace/client/report/").back().body);
        };

        row.breakStore(storePath);
        std::optional<test::StoreWriteLock> lock;
        if (row.lock == Lock::AtStartUp) {
            ASSERT_TRUE(lock.emplace(storePath).held());
        }
        const auto startedAt = std::chrono::steady_clock::now();
        start();
        // The host's thread waits for a locked store, but not for long.
        Plovendale::isFirstOpen();
        EXPECT_LT(std::chrono::steady_clock::now() - startedAt, std::chrono::seconds(4));
        lock.reset();
        if (row.lock == Lock::AtAnswer) {
            ASSERT_TRUE(lock.emplace(storePath).held());
        }
        const std::size_t asked = service_.receivedAt("/api/trace/client/report/").size();
        const int syncsHere = disk.walSyncsOnThisThread();
        auto outcome = query();
        lock.reset();
        // The answer's durable write waits for the disk on the library's thread, not the host's.
        EXPECT_EQ(disk.walSyncsOnThisThread(), syncsHere);
        if (!row.lasting) disk.clear();
        EXPECT_TRUE(outcome.success) << outcome.code << " " << outcome.message.value_or("");
        EXPECT_EQ(outcome.appData, (AppData{"P", "C"}));
        // What was captured goes with this launch's query, whether or not the store took it.
        EXPECT_EQ(lastQuery()["clip"], kTrace);
        const std::string firstClientId = CoreHelper::getClientId();
        EXPECT_EQ(lastQuery()["ci"], firstClientId);
        EXPECT_TRUE(logged(launch, "key-value store"));

        start();  // the next launch, on the same files and pasteboard
        outcome = query();
        disk.clear();
        EXPECT_TRUE(outcome.success) << outcome.code << " " << outcome.message.value_or("");
        EXPECT_EQ(outcome.appData, (AppData{"P", "C"}));
        EXPECT_EQ(outcome.synchronous, row.answerStored) << "from the cache only once stored";
        EXPECT_EQ(service_.receivedAt("/api/trace/client/report/").size(),
                  asked + (row.answerStored ? 1 : 2));
        if (!row.answerStored) {
            EXPECT_EQ(lastQuery()["clip"], kTrace);
        }
        if (row.clientIdStored) {
            EXPECT_EQ(CoreHelper::getClientId(), firstClientId);
        }
        EXPECT_FALSE(Plovendale::isFirstOpen());
    }
}

TEST_F(InstallTrace, ThrowingHandlersAreContainedAndReleasedOnTheMainQueue) {
    auto record = std::make_shared<test::ReleaseRecord>();
    auto throwing = [&] {
        auto witness = std::make_shared<test::ReleaseWitness>(record);
        Plovendale::getInstallTrace(
            [witness](const std::optional<AppData>&) { throw std::runtime_error("from success"); },
            [witness](std::int64_t, const std::optional<std::string>&) { throw 42; });
    };
    // A refusal (fail handler), an answer from the service, then one from the cache (before
    // the call returns).
    for (const char* answer : {R"({"status":403})", kAttributed, kAttributed}) {
        SCOPED_TRACE(answer);
        service_.answerReports({200, answer});
        record = std::make_shared<test::ReleaseRecord>();
        throwing();
        ASSERT_TRUE(test::runMainQueueUntil(
            [&] { return record->released && URLSession::liveSessionCount() == 0; }));
        EXPECT_EQ(record->thread, std::this_thread::get_id());
    }
    EXPECT_TRUE(logged(platform_, "[Plovendale] The fail handler threw."));
    EXPECT_TRUE(logged(platform_, "[Plovendale] The success handler threw: from success"));
    EXPECT_EQ(service_.receivedAt("/api/trace/client/report/").size(), 2u);
}

}  // namespace
}  // namespace plovendale
