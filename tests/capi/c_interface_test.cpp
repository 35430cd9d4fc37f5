#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
    };
    for (const auto& [name, call] : calls) {
        EXPECT_EQ(call(), PLOVENDALE_ERROR_INVALID_ARGUMENT) << name;
    }
    // NULL where it means "none" or "default" is accepted, and nothing has started meanwhile.
    EXPECT_EQ(plovendale_configure(nullptr, nullptr), PLOVENDALE_OK);
    EXPECT_EQ(plovendale_get_install_trace(0, nullptr, nullptr, nullptr), PLOVENDALE_OK);
    // An answer that needs no network comes before the call returns.
    Outcome noKey;
    ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &noKey), PLOVENDALE_OK);
    EXPECT_EQ(noKey.calls, 1);
    EXPECT_EQ(noKey.code, -10000);
    EXPECT_EQ(plovendale_is_first_open(), 1);
    EXPECT_STREQ(plovendale_version(), "2.3.1");
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
        ASSERT_EQ(plovendale_configure(data.path().c_str(), platform_.bundleDirectory().c_str()),
                  PLOVENDALE_OK);
        startWithService();
        service_.answerReports({200, c.answer});
        Outcome outcome;
        ASSERT_EQ(plovendale_get_install_trace(4000, onSuccess, onFailure, &outcome),
                  PLOVENDALE_OK);
        EXPECT_EQ(outcome.calls, 0) << "a networked answer waits for the main queue";
        ASSERT_EQ(plovendale_run_main_queue_until(arrived, &outcome, 10000), 1);
        plovendale_drain_main_queue();
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.success, c.success);
        EXPECT_EQ(outcome.params, c.params);
        EXPECT_EQ(outcome.channel, c.channel);
        EXPECT_EQ(outcome.message, c.message);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(plovendale_is_first_open(), c.success ? 0 : 1);
        if (c.params) {  // kept, and given again from the store before the call returns
            Outcome cached;
            ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &cached),
                      PLOVENDALE_OK);
            EXPECT_EQ(cached.calls, 1);
            EXPECT_EQ(cached.channel, c.channel);
        }
    }
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

TEST_F(CInterface, APosterReceivesTheMainQueueWorkInsteadOfTheBuiltInQueue) {
    startWithService();
    service_.answerReports({200, R"({"status":200,"data":{"params_data":"P","channel":"C"}})"});
    PostedTasks loop;
    ASSERT_EQ(plovendale_set_main_queue_poster(postTask, &loop), PLOVENDALE_OK);
    Outcome outcome;
    ASSERT_EQ(plovendale_get_install_trace(0, onSuccess, onFailure, &outcome), PLOVENDALE_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int ran = 0;
    while (outcome.calls == 0 && std::chrono::steady_clock::now() < deadline) {
        std::unique_lock lock(loop.mutex);
        if (!loop.posted.wait_until(lock, deadline, [&] { return !loop.tasks.empty(); })) break;
        plovendale_task* task = loop.tasks.front();
        loop.tasks.pop_front();
        lock.unlock();
        EXPECT_EQ(plovendale_task_run(task), PLOVENDALE_OK);
        ++ran;
    }
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.params, "P");
    EXPECT_GT(ran, 0) << "nobody drains the built-in queue here: the outcome came through a task";

    // Work still posted after the outcome (the state report's) is the host's to run.
    ASSERT_EQ(plovendale_set_main_queue_poster(nullptr, nullptr), PLOVENDALE_OK);
    std::lock_guard lock(loop.mutex);
    EXPECT_EQ(loop.delays.front(), 0);
    for (auto* task : loop.tasks) plovendale_task_run(task);
}

TEST_F(CInterface, TheLogCallbackOutlivesALaterConfiguration) {
    std::vector<std::string> lines;
    ASSERT_EQ(plovendale_set_log_callback(collectLine, &lines), PLOVENDALE_OK);
    ASSERT_EQ(plovendale_configure(platform_.dataDirectory().c_str(), nullptr), PLOVENDALE_OK);
    ASSERT_EQ(plovendale_set_server_domain(""), PLOVENDALE_OK);
    EXPECT_EQ(lines, std::vector<std::string>{
                         "[Plovendale] setServerDomain failed, domain cannot be empty."});

    ASSERT_EQ(plovendale_set_log_callback(nullptr, nullptr), PLOVENDALE_OK);
    const auto seen = lines.size();
    plovendale_set_server_domain(" ");
    EXPECT_EQ(lines.size(), seen) << "back on stderr";
}

}  // namespace
}  // namespace plovendale
