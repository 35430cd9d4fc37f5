// What the library does is tested on the library; here, what the tool prints and how it exits.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "host/clock.h"
#include "plovendale/platform/key_value_store.h"
#include "support/attribution_service_process.h"
#include "support/ed25519_keys.h"
#include "support/local_server.h"
#include "support/test_environment.h"

namespace plovendale {
namespace {

using nlohmann::json;
using test::runAttributionCommand;

const std::string kCli = std::string(PLOVENDALE_BIN_DIR) + "/plovendale";
const std::string kService = std::string(PLOVENDALE_BIN_DIR) + "/attribution-service";
constexpr const char* kKey = "cliTestKey42";

test::AttributionCommandResult run(std::vector<std::string> args) {
    args.insert(args.begin(), kCli);
    return runAttributionCommand(args);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        service_ = test::AttributionServiceProcess::start({kService, "", {"--quiet"}}, &error);
        ASSERT_TRUE(service_) << error;
    }

    test::TempDir dir_;
    std::unique_ptr<test::AttributionServiceProcess> service_;
};

TEST_F(Cli, TracePrintsTheOutcomeAndExitsOnceTheReportIsSent) {
    const std::string traceId = service_->registerLink(kKey, "invite=alice", "newsletter");
    const auto marker = run({"make-marker", "--app-key", kKey, "--trace-id", traceId});
    ASSERT_EQ(marker.exitCode, 0) << marker.err;
    test::writeInfoPlist(dir_.file("bundle"), {{"com.plovendale.APP_KEY", kKey}});
    const auto found =
        run({"trace", "--bundle", dir_.file("bundle"), "--data-dir", dir_.file("a"), "--server",
             service_->baseUrl(), "--pasteboard-html", trimmed(marker.out)});
    EXPECT_EQ(found.exitCode, 0) << found.err;
    EXPECT_EQ(
        found.out,
        R"({"outcome":"success","appData":{"paramsData":"invite=alice","channel":"newsletter"}})"
        "\n");
    EXPECT_EQ(json::parse(service_->stateReports(kKey)).size(), 1u);
}

// A service that drips its answers: the query gives up at its timeout, and the tool does not then
// wait the report's own ten seconds; the report waits in the outbox for the next launch.
TEST_F(Cli, TraceEndsByItsTimeoutAndTheNextLaunchDeliversTheReport) {
    test::MisbehavingServer dripping(test::Misbehaviour::TrickleBody);
    auto trace = [&](const std::string& server, std::vector<std::string> more) {
        more.insert(more.begin(), {"trace", "--app-key", kKey, "--data-dir", dir_.file("drip"),
                                   "--server", server});
        return run(more);
    };
    const auto started = std::chrono::steady_clock::now();
    const auto slow = trace(dripping.url(""), {"--timeout-ms", "4000"});
    // Well under the 4 s timeout plus the report's own 10 s; the rest is room for a launch and its
    // shutdown on a loaded machine under a sanitizer.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(9000));
    EXPECT_EQ(json::parse(slow.out)["code"], -10004) << slow.out;

    EXPECT_EQ(trace(service_->baseUrl(), {}).out, "{\"outcome\":\"success\",\"appData\":null}\n");
    httplib::Client client("127.0.0.1", service_->port());
    auto state =
        client.Get((std::string("/api/state/") + kKey).c_str(),
                   {{"Authorization", test::AttributionServiceProcess::operatorAuthorization()}});
    ASSERT_TRUE(state);
    std::multiset<std::string> codes;
    for (const auto& report : json::parse(state->body)) codes.insert(report["cd"]);
    EXPECT_EQ(codes, (std::multiset<std::string>{"-10004", "200"}));
}

// Pairs of launches at once on one data directory: first while the service refuses reports, so
// that each queues its own, then while it takes them. Each report arrives once: no launch
// overwrites the other's outbox, and no two send the same report.
TEST_F(Cli, ConcurrentLaunchesOnOneDataDirectoryDeliverEveryReportOnce) {
    std::string error;
    // Both services answer "not yet" (404), so that each launch asks again.
    service_ = test::AttributionServiceProcess::start(
        {kService, "", {"--quiet", "--unmatched-status", "404"}}, &error);
    ASSERT_TRUE(service_) << error;
    auto refusing = test::AttributionServiceProcess::start(
        {kService, "", {"--quiet", "--state-status", "503", "--unmatched-status", "404"}}, &error);
    ASSERT_TRUE(refusing) << error;
    for (int pair = 0; pair < 3; ++pair) {
        SCOPED_TRACE(pair);
        const std::string key = "cliPair" + std::to_string(pair);
        const std::string data = dir_.file("pair" + std::to_string(pair));
        auto both = [&](const std::string& server) {
            auto launch = [&] {
                return run({"trace", "--app-key", key, "--data-dir", data, "--server", server});
            };
            auto other = std::async(std::launch::async, launch);
            EXPECT_EQ(json::parse(launch().out)["code"], 404);
            EXPECT_EQ(json::parse(other.get().out)["code"], 404);
        };
        both(refusing->baseUrl());
        EXPECT_EQ(run({"outbox", "--app-key", key, "--data-dir", data}).out, "{\"queued\":2}\n");
        both(service_->baseUrl());
        EXPECT_EQ(run({"outbox", "--app-key", key, "--data-dir", data}).out, "{\"queued\":0}\n");
        EXPECT_EQ(json::parse(service_->stateReports(key)).size(), 4u);
    }
}

// A data directory that main at e06e7ea left (two state reports in one JSON array, 250 events in
// two chunks, its sending lease) moves into the outbox once, and all of it is delivered once.
TEST_F(Cli, AStoreAnEarlierVersionLeftIsMovedOnceAndDelivered) {
    const std::string data = dir_.file("earlier");
    std::filesystem::create_directories(data);
    std::filesystem::copy_file(
        std::string(PLOVENDALE_SOURCE_DIR) + "/tests/data/e06e7ea-store.sqlite",
        data + "/defaults.sqlite");
    const std::string key = "demoKey1";
    {
        // Its times move to a minute ago: as the file ages, the outbox's age bounds would drop it.
        auto store = makeSQLiteKeyValueStore(data + "/defaults.sqlite");
        const auto ago = static_cast<long long>(Date::timeIntervalSince1970()) - 60;
        json reports = json::parse(*store->stringForKey("com.plovendale.report_outbox"));
        for (auto& report : reports) report["queuedAt"] = ago;
        ASSERT_TRUE(store->setString(reports.dump(), "com.plovendale.report_outbox"));
        for (const auto& chunk : json::parse(*store->stringForKey("com.plovendale.event_chunks"))) {
            json events = json::parse(*store->stringForKey(chunk));
            for (auto& event : events) event["ts"] = ago * 1000;
            ASSERT_TRUE(store->setString(events.dump(), chunk));
        }
    }
    EXPECT_EQ(run({"outbox", "--app-key", key, "--data-dir", data}).out, "{\"queued\":2}\n");
    const auto sent = run({"event", "--app-key", key, "--data-dir", data, "--server",
                           service_->baseUrl(), "--timeout-ms", "8000", "after"});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(run({"outbox", "--app-key", key, "--data-dir", data}).out, "{\"queued\":0}\n");

    std::multiset<std::string> times;
    for (const auto& report : json::parse(service_->stateReports(key))) {
        EXPECT_EQ(report["ci"], "d9157305c8834beb99f9234938494123");
        times.insert(report["t"].get<std::string>());
    }
    EXPECT_EQ(times, (std::multiset<std::string>{"4", "17"}));
    httplib::Client client("127.0.0.1", service_->port());
    const auto events =
        client.Get(("/api/events/" + key + "?limit=500").c_str(),
                   {{"Authorization", test::AttributionServiceProcess::operatorAuthorization()}});
    ASSERT_TRUE(events);
    std::set<std::string> ids;
    for (const auto& event : json::parse(events->body)) ids.insert(event["id"].get<std::string>());
    EXPECT_EQ(ids.size(), 251u) << events->body.substr(0, 300);
}

TEST_F(Cli, ConcurrentLaunchesOnOneDataDirectorySendEachStoredEventOnce) {
    std::mutex mutex;
    std::vector<std::string> received;
    test::LocalServer events;
    events.server().Post(R"(/api/trace/client/events/.*)",
                         [&](const httplib::Request& request, httplib::Response& response) {
                             const json batch = json::parse(request.body);
                             std::lock_guard lock(mutex);
                             for (const auto& e : batch["events"]) received.push_back(e["id"]);
                             response.set_content(R"({"status":200})", "application/json");
                         });
    ASSERT_TRUE(events.start());
    const std::string data = dir_.file("events");
    std::filesystem::create_directories(data);
    json stored = json::array();
    const auto nowMs = static_cast<long long>(Date::timeIntervalSince1970() * 1000);
    for (int i = 0; i < 1000; ++i) {
        stored.push_back({{"id", "earlier" + std::to_string(i)},
                          {"name", "n"},
                          {"ts", nowMs},
                          {"params", json::object()}});
    }
    ASSERT_TRUE(makeSQLiteKeyValueStore(data + "/defaults.sqlite")
                    ->setString(stored.dump(), "com.plovendale.event_outbox"));
    auto launch = [&](const char* name) {
        return run({"event", "--app-key", kKey, "--data-dir", data, "--server", events.url(""),
                    "--timeout-ms", "8000", name});
    };
    auto other = std::async(std::launch::async, launch, "mine");
    EXPECT_EQ(launch("mine").exitCode, 0);
    EXPECT_EQ(other.get().exitCode, 0);
    std::lock_guard lock(mutex);
    std::erase_if(received, [](const std::string& id) { return id.rfind("earlier", 0) != 0; });
    EXPECT_EQ(received.size(), 1000u) << "two launches sent the same events";
    EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), 1000u);
}

TEST_F(Cli, LinkAndParamsPrintWhatTheLibraryDecodedAndGathered) {
    std::ofstream(dir_.file("link.key")) << test::kLinkPrivateKeyPEM;
    std::ofstream(dir_.file("link.pub")) << test::kLinkPublicKeyPEM;
    auto makeLink = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"make-link", "--app-key", kKey, "--params", "a=1&b=é",
                                   "--channel", "push", "--sign-key", dir_.file("link.key")});
        return trimmed(run(args).out);
    };
    auto open = [&](const std::string& url, const char* option = "--events") {
        return run({"link", option, "--app-key", kKey, "--data-dir", dir_.file("d"), "--verify-key",
                    dir_.file("link.pub"), url});
    };
    const std::string link = makeLink({});
    const auto handled = open(link);
    EXPECT_EQ(handled.exitCode, 0) << handled.err;
    EXPECT_EQ(
        json::parse(handled.out),
        json({{"handled", true}, {"appData", {{"paramsData", "a=1&b=é"}, {"channel", "push"}}}}));
    EXPECT_EQ(open(link, "--universal").exitCode, 0);
    // Only links with the right signature, before their expiry, are taken.
    const auto unsignedLink = open(link.substr(0, link.find("&s=")));
    EXPECT_EQ(unsignedLink.exitCode, 1);
    EXPECT_EQ(unsignedLink.out, "{\"handled\":false}\n");
    EXPECT_NE(unsignedLink.err.find(R"({"event":"link.refused","reason":"bad signature"})"),
              std::string::npos)
        << unsignedLink.err;
    EXPECT_NE(open(makeLink({"--expires", "1"})).err.find(R"("reason":"expired")"),
              std::string::npos);

    const auto marker = run({"make-marker", "--app-key", kKey, "--trace-id", "ABCDEFGHIJKLMN"});
    const auto params =
        run({"params", "--app-key", kKey, "--data-dir", dir_.file("p"), "--pasteboard-html",
             trimmed(marker.out), "--device-model", "iPhone12,1", "--screen", "414x896@2",
             "--native-scale", "2", "--os-version", "16.4.1"});
    ASSERT_EQ(params.exitCode, 0) << params.err;
    const json map = json::parse(params.out);
    EXPECT_EQ(map.size(), 17u);
    EXPECT_EQ(map["clip"], "ABCDEFGHIJKLMN");
    EXPECT_EQ(map["sw"], "828");
    EXPECT_EQ(map["osvn"], "16.4.1");
    EXPECT_EQ(map["md"], "iPhone12,1");
}

TEST_F(Cli, HostCommandsPrintWhatAnInstallationKeeps) {
    const std::string data = dir_.file("c");
    auto host = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--data-dir", data});
        return run(args);
    };
    EXPECT_EQ(host({"consent", "off"}).exitCode, 2) << "no directory made for a mistyped path";
    std::filesystem::create_directory(data);
    EXPECT_EQ(host({"consent", "off"}).out, "{\"trackingDisabled\":true,\"stored\":true}\n");
    host({"consent", "on"});  // else the trace below is refused at once
    const auto traced =
        host({"trace", "--app-key", kKey, "--server", service_->baseUrl(), "--events", "--quiet"});
    // No link accounts for this install: organic, a final answer the installation keeps.
    EXPECT_EQ(traced.exitCode, 0);
    EXPECT_EQ(traced.out, "{\"outcome\":\"success\",\"appData\":null}\n");
    EXPECT_NE(traced.err.find("{\"event\":\"report.delivered\""), std::string::npos) << traced.err;
    EXPECT_EQ(traced.err.find("[Plovendale]"), std::string::npos) << "--quiet: events only";
    EXPECT_EQ(host({"state", "--app-key", kKey}).out, "{\"state\":\"organic\"}\n");
    // The next launch gets that answer again: said as organic, not as a failure.
    const auto again =
        host({"trace", "--app-key", kKey, "--server", service_->baseUrl(), "--quiet"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out,
              "{\"outcome\":\"organic\",\"code\":-10001,\"message\":\"Can not extract app Data "
              "from cache.\"}\n");
    EXPECT_EQ(host({"outbox"}).out, "{\"queued\":0}\n");
    EXPECT_EQ(host({"event", "--app-key", kKey, "buy", "--param", "a=1", "--revenue", "9.99", "EUR",
                    "--timeout-ms", "0"})
                  .out,
              "{\"queued\":1}\n");
    EXPECT_EQ(host({"forget"}).out, "{\"forgotten\":true}\n");
    EXPECT_EQ(host({"state"}).out, "{\"state\":\"unknown\"}\n");
}

TEST(CliUsage, MistakesExitWithTwoAndPrintNothingOnStdout) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"nonsense"},
             {"trace", "--timeout-ms"},
             {"trace", "--timeout-ms", "soon"},
             {"trace", "--screen", "big"},
             {"trace", "--os-version", "17"},
             {"trace", "--bogus", "1"},
             {"link"},
             {"make-link", "--app-key", "k"},
             {"make-link", "--app-key", "k", "--params", "p", "--channel", "c", "--sign-key", "/"},
             {"consent", "maybe"},
             {"event"},
             {"event", "buy", "--param", "a"},
             {"event", "buy", "--revenue", "9.99"},
             {"forget"},
             {"state", "--data-dir", "/proc/no-such-plovendale-dir"},
             {"make-link", "--app-key", "two words", "--params", "p", "--channel", "c"},
             {"make-marker", "--app-key", "short", "--trace-id", "ABCDEFGHIJKL"},
             {"make-marker", "--app-key", "cliTestKey42", "--trace-id", "has:colon:inside"},
         }) {
        const auto result = run(args);
        EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(args);
        EXPECT_EQ(result.out, "") << testing::PrintToString(args);
        EXPECT_FALSE(result.err.empty());
    }
    for (const char* command : {"trace", "event", "link", "params", "make-link", "make-marker",
                                "outbox", "state", "consent", "forget"}) {
        const auto help = run({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.out.find("usage: plovendale"), std::string::npos);
    }
    EXPECT_NE(run({"trace", "--help"}).out.find("production service"), std::string::npos);
    for (const std::string& tool : {kCli, kService}) {
        const auto version = runAttributionCommand({tool, "--version"});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_NE(version.out.find(" 2.3.1\n"), std::string::npos) << tool;
    }
}

}  // namespace
}  // namespace plovendale
