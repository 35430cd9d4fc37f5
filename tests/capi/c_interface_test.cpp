#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "plovendale/plovendale.h"
#include "plovendale/plovendale_c.h"
#include "support/service_stub.h"
#include "support/test_environment.h"

namespace plovendale {
namespace {

constexpr const char* kKey = "cInterfaceKey";
// "d" of a wake-up link: base64 of {"pr":"room=7","ch":"mail"}.
constexpr const char* kLink =
    "plovendale-cInterfaceKey://open/c?d=eyJwciI6InJvb209NyIsImNoIjoibWFpbCJ9";

struct Outcome {
    int calls = 0;
    bool success = false;
    std::optional<std::string> params, channel, message;
    std::int64_t code = 0;
};

std::optional<std::string> copied(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

void onSuccess(void* context, const char* params, const char* channel) {
    auto& outcome = *static_cast<Outcome*>(context);
    ++outcome.calls;
    outcome.success = true;
    outcome.params = copied(params);
    outcome.channel = copied(channel);
}

void onFailure(void* context, int64_t code, const char* message) {
    auto& outcome = *static_cast<Outcome*>(context);
    ++outcome.calls;
    outcome.code = code;
    outcome.message = copied(message);
}

// plovendale_install_trace_state's details, kept in an Outcome (`success`: not failed).
void onState(void* context, int kind, const char* params, const char* channel, int64_t code,
             const char* message) {
    auto& outcome = *static_cast<Outcome*>(context);
    outcome.calls = kind;
    outcome.success = kind != PLOVENDALE_TRACE_FAILED;
    outcome.params = copied(params);
    outcome.channel = copied(channel);
    outcome.code = code;
    outcome.message = copied(message);
}

int arrived(void* context) {
    return static_cast<Outcome*>(context)->calls > 0;
}

void collectLine(void* context, const char* line) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
}

class CInterface : public ::testing::Test {
  protected:
    void SetUp() override {
        // What a binding set lives in this layer, beyond the library's own reset between tests.
        plovendale_set_log_callback(collectLine, &log_);
        plovendale_set_wake_up_callback(nullptr, nullptr);
        ASSERT_EQ(plovendale_configure(platform_.dataDirectory().c_str(),
                                       platform_.bundleDirectory().c_str()),
                  PLOVENDALE_OK);
    }
    void TearDown() override {
        plovendale_set_log_callback(nullptr, nullptr);
        plovendale_set_wake_up_callback(nullptr, nullptr);
        plovendale_set_main_queue_poster(nullptr, nullptr);
    }
    void startWithService() {
        ASSERT_EQ(plovendale_start_with_key(kKey), PLOVENDALE_OK);
        ASSERT_EQ(plovendale_set_server_domain(service_.baseURL().c_str()), PLOVENDALE_OK);
    }

    std::vector<std::string> log_;  // the library calls the log callback one line at a time
    test::TestPlatform platform_;
    test::ServiceStub service_;
};

TEST_F(CInterface, EveryEntryPointRefusesMissingArgumentsBeforeStartUp) {
    const std::pair<const char*, std::function<int()>> calls[] = {
        {"start with key", [] { return plovendale_start_with_key(nullptr); }},
        {"server domain", [] { return plovendale_set_server_domain(nullptr); }},
        {"scheme link", [] { return plovendale_handle_scheme_link(nullptr); }},
        {"universal link", [] { return plovendale_handle_universal_link(nullptr); }},
        {"run until", [] { return plovendale_run_main_queue_until(nullptr, nullptr, 10); }},
        {"negative wait", [] { return plovendale_run_main_queue_until(arrived, nullptr, -1); }},
        {"task", [] { return plovendale_task_run(nullptr); }},
        {"observer", [] { return int(plovendale_add_install_trace_observer(nullptr, nullptr)); }},
        {"no token", [] { return plovendale_remove_install_trace_observer(0); }},
        {"link key", [] { return plovendale_set_link_verification_key(nullptr); }},
        {"event name", [] { return plovendale_track_event(nullptr, "{}", "1", "EUR", "i"); }},
        {"params array", [] { return plovendale_track_event("e", "[]", nullptr, nullptr, 0); }},
        {"param number", [] { return plovendale_track_event("e", R"({"a":1})", 0, 0, 0); }},
        {"params not JSON", [] { return plovendale_track_event("e", R"({"a":)", 0, 0, 0); }},
        {"half revenue", [] { return plovendale_track_event("e", nullptr, "1", 0, 0); }},
        {"negative shutdown wait", [] { return plovendale_shutdown(-1); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(call(), PLOVENDALE_ERROR_INVALID_ARGUMENT) << name;
    }
    // NULL where it means "none" or "default" is accepted, and nothing has started meanwhile.
    EXPECT_EQ(plovendale_install_trace_state(nullptr, nullptr), PLOVENDALE_TRACE_UNKNOWN);
    EXPECT_EQ(plovendale_configure(nullptr, nullptr), PLOVENDALE_OK);
    plovendale_configuration shortOne{};
    shortOne.size = offsetof(plovendale_configuration, bundle_directory);
    EXPECT_EQ(plovendale_configure_with(&shortOne), PLOVENDALE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(plovendale_configure_with(nullptr), PLOVENDALE_ERROR_INVALID_ARGUMENT);
    // A language or time zone that is not one is refused where it enters, and nothing changes.
    const std::pair<const char*, const char*> signals[] = {
        {"de_CH", nullptr},   {"d-CH", nullptr},          {"de-toolongsubtag", nullptr},
        {nullptr, "Europe/"}, {nullptr, "../etc/passwd"}, {nullptr, "Europe/Zurich\n"}};
    for (const auto& [language, zone] : signals) {
        plovendale_configuration refused{};
        refused.size = sizeof refused;
        refused.data_directory = "/nonexistent/never/made";
        refused.language = language;
        refused.time_zone = zone;
        EXPECT_EQ(plovendale_configure_with(&refused), PLOVENDALE_ERROR_INVALID_ARGUMENT)
            << (language ? language : zone);
        EXPECT_NE(log_.back().find(language ? "refused the language" : "refused the time zone"),
                  std::string::npos)
            << log_.back();
    }
    EXPECT_EQ(plovendale_get_install_trace(0, nullptr, nullptr, nullptr), PLOVENDALE_OK);
    // An answer that needs no network comes before the call returns.
    Outcome noKey;
    ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &noKey), PLOVENDALE_OK);
    EXPECT_EQ(noKey.calls, 1);
    EXPECT_EQ(noKey.code, -10000);
    EXPECT_EQ(log_.back(),
              "[Plovendale] The app key is not available: the library was not started (call "
              "start or startWith first, or set com.plovendale.APP_KEY in Info.plist).");
    // Before start-up an event has no key to go under: refused, not written to a default place.
    EXPECT_EQ(plovendale_track_event("purchase", nullptr, "9.99", "EUR", nullptr), 0);
    EXPECT_EQ(plovendale_queued_event_count(), 0);
    // While it runs, neither another directory nor another key is taken.
    ASSERT_EQ(plovendale_start_with_key(kKey), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_configure(nullptr, nullptr), PLOVENDALE_ERROR_STATE);
    EXPECT_EQ(plovendale_start_with_key("anotherKey"), PLOVENDALE_ERROR_STATE);
    EXPECT_EQ(plovendale_start_with_key(kKey), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_is_first_open(), 1);
    EXPECT_EQ(plovendale_is_tracking_disabled(), 0);
    EXPECT_EQ(plovendale_set_event_observer(nullptr, nullptr), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_queued_report_count(), 0);
    EXPECT_STREQ(plovendale_version(), "2.3.1");
    EXPECT_EQ(plovendale_shutdown(0), 1);
}

// The service's answers a binding must be able to tell apart, NULL for what is absent.
TEST_F(CInterface, InstallTraceOutcomesArriveOnTheMainQueueWithTheContext) {
    struct Case {
        std::string answer;
        bool success;
        std::optional<std::string> params, channel, message;
        std::int64_t code;
    };
    const Case cases[] = {
        {R"({"status":200,"data":{"params_data":"a=1 é","channel":"web","trace_id":"T"}})", true,
         "a=1 é", "web", std::nullopt, 0},
        {R"({"status":200})", true, std::nullopt, std::nullopt, std::nullopt, 0},
        {R"({"status":404,"error":"no link for this trace id"})", false, std::nullopt, std::nullopt,
         "no link for this trace id", 404},
        {R"({"status":409})", false, std::nullopt, std::nullopt, std::nullopt, 409},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        test::TempDir data;  // each answer meets an unattributed installation
        // Every host signal a binding has, through the C surface alone.
        plovendale_configuration configuration{};
        configuration.size = sizeof configuration;
        const std::string dataDirectory = data.path(), bundle = platform_.bundleDirectory();
        configuration.data_directory = dataDirectory.c_str();
        configuration.bundle_directory = bundle.c_str();
        configuration.device_model = "Pixel8,1";
        configuration.os_version = "14.2.1";
        configuration.screen_width = 414;
        configuration.screen_height = 896;
        configuration.screen_scale = 2;
        configuration.screen_native_scale = 2;
        configuration.language = "de-CH";
        configuration.time_zone = "America/Port-au-Prince";
        ASSERT_EQ(plovendale_configure_with(&configuration), PLOVENDALE_OK);
        ASSERT_EQ(plovendale_set_pasteboard(nullptr,
                                            test::pasteboardAnchor(kKey, "pasteTrace1234").c_str()),
                  PLOVENDALE_OK);
        startWithService();
        service_.answerReports({200, c.answer});
        Outcome observed, removed;
        std::vector<std::string> events;
        ASSERT_GT(plovendale_add_install_trace_observer(onState, &observed), 0);
        ASSERT_EQ(plovendale_remove_install_trace_observer(
                      plovendale_add_install_trace_observer(onState, &removed)),
                  PLOVENDALE_OK);
        plovendale_set_event_observer(
            [](void* seen, const char* name, const char* values) {
                static_cast<std::vector<std::string>*>(seen)->push_back(std::string(name) + values);
            },
            &events);
        Outcome outcome;
        ASSERT_EQ(plovendale_get_install_trace(4000, onSuccess, onFailure, &outcome),
                  PLOVENDALE_OK);
        EXPECT_EQ(outcome.calls, 0) << "a networked answer waits for the main queue";
        ASSERT_EQ(plovendale_run_main_queue_until(arrived, &outcome, 10000), 1);
        plovendale_drain_main_queue();
        EXPECT_EQ(outcome.calls, 1);
        const std::string sent = service_.receivedAt("/api/trace/client/report/").back().body;
        for (const char* member : {R"("md":"Pixel8,1")", R"("osvn":"14.2.1")", R"("sw":"828")",
                                   R"("sh":"1792")", R"("clip":"pasteTrace1234")",
                                   R"("lang":"de-CH")", R"("tz":"America/Port-au-Prince")"})
            EXPECT_NE(sent.find(member), std::string::npos) << member << " in " << sent;
        EXPECT_EQ(outcome.success, c.success);
        EXPECT_EQ(outcome.params, c.params);
        EXPECT_EQ(outcome.channel, c.channel);
        EXPECT_EQ(outcome.message, c.message);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(plovendale_is_first_open(), c.success ? 0 : 1);
        // The state tells the same, and forgetting it leaves an installation never asked about.
        Outcome state;
        const int kind = !c.success ? PLOVENDALE_TRACE_FAILED
                         : c.params ? PLOVENDALE_TRACE_ATTRIBUTED
                                    : PLOVENDALE_TRACE_ORGANIC;
        EXPECT_EQ(plovendale_install_trace_state(onState, &state), kind);
        EXPECT_EQ(state.calls, kind);
        EXPECT_EQ(std::tie(state.success, state.params, state.channel, state.message, state.code),
                  std::tie(c.success, c.params, c.channel, c.message, c.code));
        EXPECT_EQ(std::tie(observed.calls, observed.params, observed.message),
                  std::tie(state.calls, state.params, state.message));
        EXPECT_EQ(removed.calls, 0);
        EXPECT_EQ(std::count(events.begin(), events.end(), R"(query.started{"source":"network"})"),
                  1);
        plovendale_set_event_observer(nullptr, nullptr);
        EXPECT_EQ(plovendale_forget_installation(), 1);
        EXPECT_EQ(plovendale_install_trace_state(nullptr, nullptr), PLOVENDALE_TRACE_UNKNOWN);
        // Shutdown joins the I/O and delivery threads (and the event writer, when an earlier
        // case started it); until the next case starts the library again, a query fails at once.
        const int threads = test::threadCount();
        EXPECT_EQ(plovendale_shutdown(1000), 1);
        EXPECT_LE(test::threadCount(), threads - 2);
        Outcome stopped;
        ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &stopped), PLOVENDALE_OK);
        EXPECT_EQ(std::tie(stopped.calls, stopped.code), std::make_tuple(1, -10000));
        EXPECT_EQ(plovendale_is_first_open(), 1);
    }
    // A query still on the wire at the timeout is dropped: no handler runs, none stays in flight.
    ASSERT_EQ(plovendale_configure(platform_.dataDirectory().c_str(),
                                   platform_.bundleDirectory().c_str()),
              PLOVENDALE_OK);
    startWithService();
    service_.answerReports({200, R"({"status":200})", std::chrono::milliseconds(3000)});
    Outcome dropped;
    ASSERT_EQ(plovendale_get_install_trace(4000, onSuccess, onFailure, &dropped), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_shutdown(50), 0);
    EXPECT_EQ(dropped.calls, 0);
    EXPECT_EQ(plovendale_install_trace_state(nullptr, nullptr), PLOVENDALE_TRACE_UNKNOWN);
}

TEST_F(CInterface, TrackingDisabledRefusesQueriesAndEventsAtOnceAndIsKept) {
    startWithService();
    ASSERT_EQ(plovendale_set_tracking_disabled(1), 1) << "stored";
    EXPECT_EQ(plovendale_is_tracking_disabled(), 1);
    Outcome refused;
    ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &refused), PLOVENDALE_OK);
    EXPECT_EQ(refused.calls, 1);
    EXPECT_EQ(refused.code, -10006);
    EXPECT_EQ(plovendale_track_event("e", nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(plovendale_set_tracking_disabled(0), 1);
    EXPECT_EQ(plovendale_is_tracking_disabled(), 0);
    EXPECT_EQ(plovendale_track_event("a b", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(plovendale_track_event("e", nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(plovendale_track_event("e", R"({"k":"v"})", "9.99", "EUR", "id-1"), 1);
    EXPECT_EQ(plovendale_flush(5000), 1) << "written, and sent as the query has ended";
    EXPECT_EQ(plovendale_queued_event_count(), 0);
    EXPECT_EQ(service_.receivedAt("/api/trace/client/events/").size(), 1u);
}

TEST_F(CInterface, WakeUpLinksReachTheRegisteredCallback) {
    ASSERT_EQ(plovendale_start_with_key(kKey), PLOVENDALE_OK);
    Outcome woken;
    ASSERT_EQ(plovendale_set_wake_up_callback(onSuccess, &woken), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_handle_scheme_link(kLink), 1);
    EXPECT_EQ(woken.calls, 1);
    EXPECT_EQ(woken.params, "room=7");
    EXPECT_EQ(woken.channel, "mail");

    const std::string universal = std::string("https://clb-") + kKey + ".example/c";
    EXPECT_EQ(plovendale_handle_universal_link(universal.c_str()), 1);
    EXPECT_EQ(woken.calls, 2);
    EXPECT_EQ(woken.params, "") << "a link without \"d\" hands over empty strings, not NULL";
    EXPECT_EQ(plovendale_handle_scheme_link("other-app://open/c?d=x"), 0);
    EXPECT_EQ(plovendale_handle_universal_link("not a url"), 0);

    ASSERT_EQ(plovendale_set_wake_up_callback(nullptr, nullptr), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_handle_scheme_link(kLink), 1) << "still this application's link";
    EXPECT_EQ(woken.calls, 2);
}

// The host's loop: the poster may be called on any thread, the tasks run on this one.
struct PostedTasks {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<plovendale_task*> tasks;
    std::vector<std::int64_t> delays;
};

void postTask(void* context, plovendale_task* task, int64_t delayMs) {
    auto& loop = *static_cast<PostedTasks*>(context);
    std::lock_guard lock(loop.mutex);
    loop.tasks.push_back(task);
    loop.delays.push_back(delayMs);
    loop.posted.notify_one();
}

// A loop that runs the newest task first (as a swap-remove queue does) breaks the order the main
// queue promises; the log says so, the query still gets its answer, and an answer it cannot read
// is blamed on the loop. Each row installs a new poster: one that keeps the order again is owed
// the service's own failure, and the next one that breaks it is told again.
TEST_F(CInterface, APosterReceivesTheMainQueueWorkInsteadOfTheBuiltInQueue) {
    startWithService();
    constexpr const char* kGood = R"({"status":200,"data":{"params_data":"P","channel":"C"}})";
    const struct {
        bool newestFirst;
        const char* answer;
        std::int64_t code;  // 0: the answer's parameters arrive
    } rows[] = {
        {false, kGood, 0}, {true, kGood, 0}, {false, "<html>", -10003}, {true, "<html>", -10007}};
    for (const auto& [newestFirst, answer, code] : rows) {
        SCOPED_TRACE(std::to_string(newestFirst) + " " + answer);
        service_.answerReports({200, answer});
        plovendale_forget_installation();
        log_.clear();
        PostedTasks loop;
        ASSERT_EQ(plovendale_set_main_queue_poster(postTask, &loop), PLOVENDALE_OK);
        Outcome outcome;
        ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &outcome), PLOVENDALE_OK);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int ran = 0;
        while (outcome.calls == 0 && std::chrono::steady_clock::now() < deadline) {
            std::unique_lock lock(loop.mutex);
            if (!loop.posted.wait_until(lock, deadline, [&] { return !loop.tasks.empty(); })) break;
            // Newest first: every task of the moment arrives before the newest of them runs.
            for (std::size_t seen = 0; newestFirst && seen != loop.tasks.size();) {
                seen = loop.tasks.size();
                loop.posted.wait_for(lock, std::chrono::milliseconds(50),
                                     [&] { return loop.tasks.size() != seen; });
            }
            plovendale_task* task = newestFirst ? loop.tasks.back() : loop.tasks.front();
            newestFirst ? loop.tasks.pop_back() : loop.tasks.pop_front();
            lock.unlock();
            EXPECT_EQ(plovendale_task_run(task), PLOVENDALE_OK);
            ++ran;
        }
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_GT(ran, 0) << "nobody drains the built-in queue: the outcome came through a task";
        EXPECT_EQ(outcome.code, code) << outcome.message.value_or("");
        if (code == 0) {
            EXPECT_EQ(outcome.params, "P");
        }
        EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                                [](const std::string& line) {
                                    return line.find("in the order posted") != std::string::npos;
                                }),
                  newestFirst ? 1 : 0);
        // Work still posted after the outcome (the state report's) is the host's to run.
        ASSERT_EQ(plovendale_set_main_queue_poster(nullptr, nullptr), PLOVENDALE_OK);
        std::lock_guard lock(loop.mutex);
        for (auto* task : loop.tasks) plovendale_task_run(task);
    }
}

TEST_F(CInterface, TheLogCallbackOutlivesALaterConfiguration) {
    ASSERT_EQ(plovendale_configure(platform_.dataDirectory().c_str(), nullptr), PLOVENDALE_OK);
    ASSERT_EQ(plovendale_set_server_domain(""), PLOVENDALE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(log_, std::vector<std::string>{
                        "[Plovendale] setServerDomain failed, domain cannot be empty."});
    ASSERT_EQ(plovendale_set_log_callback(nullptr, nullptr), PLOVENDALE_OK);
    plovendale_set_server_domain(" ");
    EXPECT_EQ(log_.size(), 1u) << "back on stderr";
}

// ---- Host callbacks that call back into the library ----

std::atomic<std::thread::id> hostThread;  // the row's main thread: only its callbacks re-enter
std::atomic<int> reentries{0};
thread_local bool reentering = false;  // callbacks met while re-entering do not re-enter again
std::string serviceURL;

void reenterLine(void*, const char*);
void reenterSink(std::string_view);

// Every entry point the table re-enters, C and C++; each must come back within a second.
void reenter(const char* from) {
    if (reentering || std::this_thread::get_id() != hostThread.load()) return;
    reentering = true;
    // Each entry point in C and in C++, joined by a comma so that a row stays one line.
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"log callback",
         [] { plovendale_set_log_callback(nullptr, nullptr), Log::setSink(nullptr); }},
        {"log callback set",
         [] { plovendale_set_log_callback(reenterLine, nullptr), Log::setSink(reenterSink); }},
        {"isFirstOpen", [] { Plovendale::isFirstOpen(), plovendale_is_first_open(); }},
        {"setServerDomain",
         [] {
             Plovendale::setServerDomain(serviceURL),
                 plovendale_set_server_domain(serviceURL.c_str());
         }},
        {"getInstallTrace",
         [] {
             Plovendale::getInstallTrace(nullptr, nullptr),
                 plovendale_get_install_trace(0, nullptr, nullptr, nullptr);
         }},
        {"installTraceState",
         [] { Plovendale::installTraceState(), plovendale_install_trace_state(nullptr, nullptr); }},
        {"forgetInstallation",
         [] { Plovendale::forgetInstallation(), plovendale_forget_installation(); }},
        {"setTrackingDisabled",
         [] { Plovendale::setTrackingDisabled(true), plovendale_set_tracking_disabled(0); }},
    };
    for (const auto& [name, call] : calls) {
        const auto start = std::chrono::steady_clock::now();
        call();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
            << name << " from the " << from;
    }
    ++reentries;
    reentering = false;
}

void reenterLine(void*, const char*) {
    reenter("C log callback");
}

void reenterSink(std::string_view) {
    reenter("log sink");
}

struct ReenteringStore final : KeyValueStore {
    std::shared_ptr<KeyValueStore> kept = makeInMemoryKeyValueStore();
    std::optional<std::string> stringForKey(const std::string& key) const override {
        reenter("key-value store");
        return kept->stringForKey(key);
    }
    bool setString(const std::string& value, const std::string& key) override {
        reenter("key-value store");
        return kept->setString(value, key);
    }
    bool setStrings(const std::map<std::string, std::string>& values) override {
        reenter("key-value store");
        return kept->setStrings(values);
    }
    bool boolForKey(const std::string& key) const override { return kept->boolForKey(key); }
    bool setBool(bool value, const std::string& key) override { return kept->setBool(value, key); }
    bool removeObjectForKey(const std::string& key) override {
        return kept->removeObjectForKey(key);
    }
};

struct ReenteringBundle final : Bundle {
    std::shared_ptr<Bundle> kept;
    std::optional<InfoValue> infoValue(const std::string& key) const override {
        reenter("bundle");
        return kept->infoValue(key);
    }
    std::string bundlePath() const override { return kept->bundlePath(); }
};

struct ReenteringDevice final : DeviceServices {
    std::optional<ScreenMetrics> mainScreen() const override {
        reenter("device");
        return std::nullopt;
    }
    OperatingSystemVersion operatingSystemVersion() const override { return {14, 2, 0}; }
    std::optional<std::string> machineName() const override { return "arm64"; }
};

struct ReenteringPasteboard final : Pasteboard {
    std::vector<PasteboardItem> items() const override {
        reenter("pasteboard");
        return {};
    }
    void setItems(std::vector<PasteboardItem>) override {}
};

struct ReenteringDelegate final : PlovendaleDelegate {
    void getWakeUpTrace(const AppData&) override { reenter("delegate"); }
};

// What the posters were handed, run once the row is over.
std::mutex heldMutex;
std::vector<MainQueue::Task> heldTasks;
std::vector<plovendale_task*> heldCTasks;

void hold(MainQueue::Task task) {
    std::lock_guard lock(heldMutex);
    heldTasks.push_back(std::move(task));
}

// Runs `body` as the host's main thread; a call that never comes back ends the process, since
// the thread holding a lock cannot be got back.
void onHostThreadWithin(std::chrono::seconds bound, const std::function<void()>& body) {
    std::promise<void> finished;
    auto done = finished.get_future();
    std::thread host([&] {
        hostThread = std::this_thread::get_id();
        body();
        finished.set_value();
    });
    if (done.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "a call into the library from a host callback did not come back";
        std::fflush(stdout);
        std::_Exit(1);
    }
    host.join();
}

TEST_F(CInterface, EveryHostCallbackMayCallEveryEntryPointBackAtOnce) {
    serviceURL = service_.baseURL();
    service_.answerReports({200, R"({"status":200,"data":{"params_data":"P","channel":"C"}})"});
    const std::string unopenable = platform_.dir().file("plain-file") + "/data";
    std::ofstream(platform_.dir().file("plain-file")) << "not a directory";
    const auto start = [] {
        Plovendale::setServerDomain(serviceURL);
        Plovendale::startWith(kKey);
    };
    const auto query = [&] {
        start();
        Plovendale::getInstallTrace(nullptr, nullptr);
    };
    auto delegate = std::make_shared<ReenteringDelegate>();
    using Configure = std::function<void(PlatformConfiguration&)>;
    const Configure as = [](PlatformConfiguration&) {};
    const struct {
        const char* callback;
        Configure configure;
        std::function<void()> trigger;
    } rows[] = {
        {"log sink", [](auto& c) { c.logSink = reenterSink; },
         [] { Plovendale::setServerDomain(""); }},
        {"log sink, store failing to open",
         [&](auto& c) {
             c.logSink = reenterSink;
             c.dataDirectory = unopenable;
         },
         [] { Plovendale::isFirstOpen(); }},
        {"C log callback", as,
         [] {
             plovendale_set_log_callback(reenterLine, nullptr);
             plovendale_set_server_domain("");
         }},
        {"C log callback, store failing to open", as,
         [&] {
             plovendale_set_log_callback(reenterLine, nullptr);
             plovendale_configure(unopenable.c_str(), platform_.bundleDirectory().c_str());
             plovendale_is_first_open();
         }},
        {"main-queue poster", as,
         [] {
             MainQueue::shared().setPoster([](MainQueue::Task task) {
                 reenter("main-queue poster");
                 hold(std::move(task));
             });
             MainQueue::shared().async([] {});
         }},
        {"delayed poster", as,
         [] {
             MainQueue::shared().setDelayedPoster([](auto, MainQueue::Task task) {
                 reenter("delayed poster");
                 hold(std::move(task));
             });
             MainQueue::shared().asyncAfter(std::chrono::milliseconds(0), [] {});
         }},
        {"C poster", as,
         [] {
             plovendale_set_main_queue_poster(
                 [](void*, plovendale_task* task, int64_t) {
                     reenter("C poster");
                     std::lock_guard lock(heldMutex);
                     heldCTasks.push_back(task);
                 },
                 nullptr);
             MainQueue::shared().async([] {});
         }},
        {"install trace observer", as,
         [&] {
             start();
             Plovendale::addInstallTraceObserver([](auto&) { reenter("observer"); });
             Plovendale::getInstallTrace(nullptr, nullptr);
         }},
        {"event observer", as,
         [&] {
             Plovendale::setEventObserver([](auto&) { reenter("event observer"); });
             start();
         }},
        {"delegate", as,
         [&] {
             start();
             Plovendale::registerPlovendaleDelegate(delegate);
             Plovendale::handleSchemeLinkURL(std::string(kLink));
         }},
        {"C wake-up callback", as,
         [&] {
             start();
             plovendale_set_wake_up_callback([](void*, auto, auto) { reenter("wake-up"); },
                                             nullptr);
             plovendale_handle_scheme_link(kLink);
         }},
        {"success handler", as,
         [&] {
             start();
             Plovendale::getInstallTrace([](auto&) { reenter("success handler"); }, nullptr);
         }},
        {"C failure callback", as,
         [] {  // no key: it fails before the call returns
             plovendale_get_install_trace(
                 0, nullptr, [](void*, int64_t, auto) { reenter("C failure callback"); }, nullptr);
         }},
        {"wall clock",
         [](auto& c) {
             c.wallClock = [] {
                 reenter("wall clock");
                 return 1.7e9;
             };
         },
         query},
        {"key-value store", [](auto& c) { c.keyValueStore = std::make_shared<ReenteringStore>(); },
         query},
        {"bundle",
         [&](auto& c) {
             auto bundle = std::make_shared<ReenteringBundle>();
             bundle->kept = makeBundle(platform_.bundleDirectory(),
                                       {{"CFBundleIdentifier", std::string("com.example.host")}});
             c.bundle = bundle;
             c.dataDirectory.clear();  // named after the bundle, under XDG_DATA_HOME
         },
         [] { Plovendale::isFirstOpen(); }},
        // With the store open, start-up reads the pasteboard on the host's thread (on a store not
        // yet open, on start-up's worker).
        {"pasteboard", [](auto& c) { c.pasteboard = std::make_shared<ReenteringPasteboard>(); },
         [&] { Plovendale::isFirstOpen(), start(); }},
        {"device", [](auto& c) { c.device = std::make_shared<ReenteringDevice>(); }, query},
    };
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const std::string keptDataHome = dataHome ? dataHome : "";
    ::setenv("XDG_DATA_HOME", platform_.dir().file("data-home").c_str(), 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.callback);
        test::resetProcessState();
        test::TempDir data;
        PlatformConfiguration configuration;
        configuration.dataDirectory = data.path();
        configuration.bundleDirectory = platform_.bundleDirectory();
        row.configure(configuration);
        Platform::configure(configuration);
        reentries = 0;
        onHostThreadWithin(std::chrono::seconds(20), [&] {
            row.trigger();
            MainQueue::shared().runUntil([] { return reentries > 0; }, std::chrono::seconds(10));
            MainQueue::shared().setPoster(nullptr);
            MainQueue::shared().setDelayedPoster(nullptr);
            plovendale_set_main_queue_poster(nullptr, nullptr);
            plovendale_set_log_callback(nullptr, nullptr);
            plovendale_set_wake_up_callback(nullptr, nullptr);
            std::unique_lock lock(heldMutex);
            auto tasks = std::exchange(heldTasks, {});
            auto cTasks = std::exchange(heldCTasks, {});
            lock.unlock();
            for (auto& task : tasks) task();
            for (auto* task : cTasks) plovendale_task_run(task);
        });
        EXPECT_GT(reentries.load(), 0) << "the callback was not called on the host's thread";
    }
    if (dataHome) {
        ::setenv("XDG_DATA_HOME", keptDataHome.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

}  // namespace
}  // namespace plovendale
